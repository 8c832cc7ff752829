#include "tools/sim/reply_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace veldoran::sim {
namespace {

using namespace std::chrono_literals;
using Clock = ReplyQueue::Clock;

struct Arrival {
  Clock::duration at;  // since the start
  std::string bytes;
};

// Drains the queue as the simulator's loop does, on simulated time: whatever is ready is written
// in full, then time jumps to the next wake-up.
std::vector<Arrival> Drain(ReplyQueue& queue, Clock::time_point start) {
  std::vector<Arrival> arrivals;
  Clock::time_point now = start;
  for (int guard = 0; guard < 100000 && !queue.Empty(); ++guard) {
    const std::string_view ready = queue.Ready(now);
    if (ready.empty()) {
      const auto wake = queue.NextWake();
      EXPECT_TRUE(wake && *wake > now) << "no progress";
      if (!wake || *wake <= now) break;
      now = *wake;
      continue;
    }
    arrivals.push_back({now - start, std::string(ready)});
    queue.Written(ready.size(), now);
  }
  return arrivals;
}

std::string Joined(const std::vector<Arrival>& arrivals) {
  std::string out;
  for (const auto& a : arrivals) out += a.bytes;
  return out;
}

TEST(ReplyQueue, LineTimeIsTenBitsPerByteAt57600Baud) {
  EXPECT_EQ(ReplyQueue::LineTime(5760), 1s);
  // A full event read of 1000 records of 21 bytes: about 3.65 s.
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(ReplyQueue::LineTime(21000)),
            3645ms);
}

TEST(ReplyQueue, ShortReplyGoesAtOnce) {
  ReplyQueue queue;
  const auto start = Clock::now();
  EXPECT_EQ(queue.Push("S: 01 0000, 0000, 00000000;\r\n", start), "");
  EXPECT_EQ(queue.Ready(start), "S: 01 0000, 0000, 00000000;\r\n");
}

TEST(ReplyQueue, LongReplyNeverRunsAheadOfTheLine) {
  ReplyQueue queue;
  const auto start = Clock::now();
  const std::string reply(21000, 'Z');
  queue.Push(reply, start);
  const auto arrivals = Drain(queue, start);
  EXPECT_EQ(Joined(arrivals), reply);
  std::size_t delivered = 0;
  for (const auto& a : arrivals) {
    // Everything handed out so far fits in the line time elapsed, plus one chunk in hand.
    delivered += a.bytes.size();
    EXPECT_LE(ReplyQueue::LineTime(delivered - a.bytes.size()), a.at);
    EXPECT_LE(a.bytes.size(), ReplyQueue::kChunk);
  }
  EXPECT_GE(arrivals.back().at, ReplyQueue::LineTime(21000 - ReplyQueue::kChunk));
}

TEST(ReplyQueue, LateWakeUpsDoNotSlowTheLine) {
  // A loop that always wakes 1 ms late (poll() counts in milliseconds) still delivers a full
  // read in the line's time, not 657 times 1 ms later.
  ReplyQueue queue;
  const auto start = Clock::now();
  queue.Push(std::string(21000, 'Z'), start);
  Clock::time_point now = start;
  std::size_t delivered = 0;
  while (!queue.Empty()) {
    const std::string_view ready = queue.Ready(now);
    if (ready.empty()) {
      now = *queue.NextWake() + 1ms;
      continue;
    }
    delivered += ready.size();
    queue.Written(ready.size(), now);
    // Catching up never puts more on the wire than the line could carry since the start.
    EXPECT_LE(ReplyQueue::LineTime(delivered),
              now - start + ReplyQueue::LineTime(ReplyQueue::kChunk) + 1ms);
  }
  EXPECT_LT(now - start, ReplyQueue::LineTime(21000) + 5ms);

  // After a real pause the line starts afresh: the next reply does not go early.
  now += 50ms;
  queue.Push(std::string(100, 'S'), now);
  EXPECT_EQ(queue.Ready(now).size(), ReplyQueue::kChunk);
  queue.Written(ReplyQueue::kChunk, now);
  EXPECT_EQ(queue.Ready(now + ReplyQueue::LineTime(ReplyQueue::kChunk) - 1us), "");
}

TEST(ReplyQueue, RepliesFollowOneAnotherAtLinePace) {
  ReplyQueue queue;
  const auto start = Clock::now();
  queue.Push(std::string(19, 'A'), start);
  queue.Push(std::string(19, 'B'), start);
  const auto arrivals = Drain(queue, start);
  ASSERT_EQ(arrivals.size(), 2u);
  EXPECT_EQ(arrivals[0].at, 0s);
  EXPECT_EQ(arrivals[1].at, ReplyQueue::LineTime(19));
  EXPECT_EQ(arrivals[1].bytes, std::string(19, 'B'));
}

TEST(ReplyQueue, PartialWritesKeepTheRest) {
  ReplyQueue queue;
  const auto start = Clock::now();
  queue.Push("0123456789", start);
  queue.Written(4, start);
  EXPECT_EQ(queue.Queued(), 6u);
  EXPECT_EQ(queue.Ready(start), "");  // the line is still busy with the first four
  EXPECT_EQ(queue.Ready(start + ReplyQueue::LineTime(4)), "456789");
}

TEST(ReplyQueue, DropNextReplies) {
  ReplyQueue queue;
  const auto start = Clock::now();
  queue.DropNext(2);
  EXPECT_EQ(queue.Push("first", start), "dropped");
  EXPECT_EQ(queue.Push("second", start), "dropped");
  EXPECT_TRUE(queue.Empty());
  EXPECT_EQ(queue.Push("third", start), "");
  EXPECT_EQ(queue.Ready(start), "third");
}

TEST(ReplyQueue, DelayNextReplies) {
  ReplyQueue queue;
  const auto start = Clock::now();
  queue.DelayNext(1, 300ms);
  EXPECT_NE(queue.Push("late", start).find("delayed 300 ms"), std::string::npos);
  queue.Push("after", start);
  EXPECT_EQ(queue.Ready(start + 299ms), "");
  EXPECT_EQ(queue.NextWake(), start + 300ms);
  const auto arrivals = Drain(queue, start);
  ASSERT_EQ(arrivals.size(), 2u);
  EXPECT_EQ(arrivals[0].at, 300ms);
  EXPECT_EQ(arrivals[1].bytes, "after");
  EXPECT_EQ(arrivals[1].at, 300ms + ReplyQueue::LineTime(4));
  // Only the next one was delayed.
  EXPECT_EQ(queue.Push("on time", start + 1s), "");
  EXPECT_EQ(queue.Ready(start + 1s), "on time");
}

TEST(ReplyQueue, SplitRepliesComeInPiecesWithGaps) {
  ReplyQueue queue;
  const auto start = Clock::now();
  queue.SplitReplies(5, 20ms);
  const std::string reply = "S: 01 0000, 0000, 00000000;\r\n";
  EXPECT_NE(queue.Push(reply, start), "");
  const auto arrivals = Drain(queue, start);
  ASSERT_EQ(arrivals.size(), 6u);
  EXPECT_EQ(Joined(arrivals), reply);
  for (std::size_t i = 1; i < arrivals.size(); ++i) {
    EXPECT_EQ(arrivals[i].at - arrivals[i - 1].at, ReplyQueue::LineTime(5) + 20ms);
  }
  queue.SplitReplies(0, {});
  queue.Push(reply, start);
  EXPECT_EQ(queue.Ready(start + 1s), reply);
}

TEST(ReplyQueue, GarbleChangesBytesAndNoiseBypassesFaults) {
  ReplyQueue queue(3);
  const auto start = Clock::now();
  const std::string reply(1000, 'Q');
  queue.Garble(100);
  queue.DropNext(0);
  EXPECT_NE(queue.Push(reply, start), "");
  const std::string garbled = Joined(Drain(queue, start));
  ASSERT_EQ(garbled.size(), reply.size());
  EXPECT_GT(std::count_if(garbled.begin(), garbled.end(), [](char c) { return c != 'Q'; }), 900);

  queue.Garble(0);
  queue.DropNext(1);
  queue.PushRaw("noise", start);  // neither dropped nor counted as a reply
  EXPECT_EQ(queue.Push("clean", start), "dropped");
  EXPECT_EQ(Joined(Drain(queue, start + 10s)), "noise");
  EXPECT_EQ(queue.DescribeFaults(), "none");
}

TEST(ReplyQueue, OutputThatIsNotReadStopsQueueing) {
  ReplyQueue queue;
  const auto start = Clock::now();
  const std::string read(21000, 'Z');
  EXPECT_EQ(queue.Push(read, start), "");
  EXPECT_EQ(queue.Push(read, start), "");
  EXPECT_EQ(queue.Push(read, start), "");
  EXPECT_EQ(queue.Push(read, start), "dropped: output queue full");
  EXPECT_EQ(queue.Queued(), 3 * read.size());
  queue.Clear();
  EXPECT_TRUE(queue.Empty());
  EXPECT_EQ(queue.NextWake(), std::nullopt);
}

TEST(ReplyQueue, FaultsAreDescribedAndCleared) {
  ReplyQueue queue;
  queue.DropNext(2);
  queue.DelayNext(3, 40ms);
  queue.SplitReplies(4, 10ms);
  queue.Garble(5);
  EXPECT_EQ(queue.DescribeFaults(),
            "drop next 2, delay next 3 by 40 ms, split into 4-byte pieces, 10 ms gaps, garble 5 %");
  queue.ClearFaults();
  EXPECT_EQ(queue.DescribeFaults(), "none");
}

}  // namespace
}  // namespace veldoran::sim
