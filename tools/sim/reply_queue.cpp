#include "tools/sim/reply_queue.h"

#include <algorithm>

namespace veldoran::sim {
namespace {

std::string Milliseconds(ReplyQueue::Duration d) {
  return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(d).count()) + " ms";
}

}  // namespace

ReplyQueue::Duration ReplyQueue::LineTime(std::size_t bytes) {
  const auto ns = static_cast<std::int64_t>(bytes) * kBitsPerByte * 1'000'000'000 / kBaudRate;
  return std::chrono::duration_cast<Duration>(std::chrono::nanoseconds(ns));
}

std::string ReplyQueue::Push(std::string reply, Clock::time_point now) {
  if (reply.empty()) return {};
  if (drop_ > 0) {
    --drop_;
    return "dropped";
  }
  if (queued_ + reply.size() > kMaxQueued) return "dropped: output queue full";

  std::string note;
  if (garble_percent_ > 0) {
    std::uniform_int_distribution<int> percent(0, 99);
    std::uniform_int_distribution<int> byte(0, 255);
    int changed = 0;
    for (char& c : reply) {
      if (percent(random_) < garble_percent_) {
        c = static_cast<char>(byte(random_));
        ++changed;
      }
    }
    note = "garbled " + std::to_string(changed) + " bytes";
  }
  Duration pause{};
  if (delay_count_ > 0) {
    --delay_count_;
    pause = delay_;
    note += (note.empty() ? "" : ", ") + std::string("delayed ") + Milliseconds(delay_);
  }
  if (split_size_ > 0 && reply.size() > split_size_) {
    note += (note.empty() ? "" : ", ") + std::string("split into pieces of ") +
            std::to_string(split_size_) + " with " + Milliseconds(split_gap_) + " gaps";
    for (std::size_t at = 0; at < reply.size(); at += split_size_) {
      Append(Piece{reply.substr(at, split_size_), at == 0 ? pause : split_gap_}, now);
    }
  } else {
    Append(Piece{std::move(reply), pause}, now);
  }
  return note;
}

void ReplyQueue::PushRaw(std::string bytes, Clock::time_point now) {
  if (bytes.empty() || queued_ + bytes.size() > kMaxQueued) return;
  Append(Piece{std::move(bytes), {}}, now);
}

void ReplyQueue::Append(Piece piece, Clock::time_point now) {
  if (pieces_.empty()) front_since_ = std::max(now, line_free_at_);
  queued_ += piece.bytes.size();
  pieces_.push_back(std::move(piece));
}

std::string_view ReplyQueue::Ready(Clock::time_point now) const {
  if (pieces_.empty()) return {};
  const Piece& front = pieces_.front();
  if (now < front_since_ + front.pause || now < line_free_at_) return {};
  const std::string_view rest = std::string_view(front.bytes).substr(front.sent);
  return rest.substr(0, kChunk);
}

void ReplyQueue::Written(std::size_t count, Clock::time_point now) {
  if (pieces_.empty() || count == 0) return;
  Piece& front = pieces_.front();
  count = std::min(count, front.bytes.size() - front.sent);
  front.sent += count;
  queued_ -= count;
  // Bytes that were waiting for the line continue its burst: timing the burst as a whole keeps
  // rounding and the loop's small wake-up delays from adding up over thousands of chunks. After
  // a real pause (nothing waiting, or a wake-up far too late) a new burst starts.
  const bool waiting = front_since_ + front.pause <= line_free_at_;
  if (!waiting || now > line_free_at_ + kCatchUp) {
    burst_start_ = now;
    burst_bytes_ = 0;
  }
  burst_bytes_ += count;
  line_free_at_ = burst_start_ + LineTime(burst_bytes_);
  if (front.sent == front.bytes.size()) {
    pieces_.pop_front();
    front_since_ = line_free_at_;
  }
}

std::optional<ReplyQueue::Clock::time_point> ReplyQueue::NextWake() const {
  if (pieces_.empty()) return std::nullopt;
  return std::max(front_since_ + pieces_.front().pause, line_free_at_);
}

void ReplyQueue::Clear() {
  pieces_.clear();
  queued_ = 0;
}

void ReplyQueue::ClearFaults() {
  drop_ = 0;
  delay_count_ = 0;
  delay_ = {};
  split_size_ = 0;
  split_gap_ = {};
  garble_percent_ = 0;
}

std::string ReplyQueue::DescribeFaults() const {
  std::string out;
  const auto add = [&](const std::string& s) { out += (out.empty() ? "" : ", ") + s; };
  if (drop_ > 0) add("drop next " + std::to_string(drop_));
  if (delay_count_ > 0)
    add("delay next " + std::to_string(delay_count_) + " by " + Milliseconds(delay_));
  if (split_size_ > 0) {
    add("split into " + std::to_string(split_size_) + "-byte pieces, " + Milliseconds(split_gap_) +
        " gaps");
  }
  if (garble_percent_ > 0) add("garble " + std::to_string(garble_percent_) + " %");
  return out.empty() ? "none" : out;
}

}  // namespace veldoran::sim
