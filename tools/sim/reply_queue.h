// The controller's transmit side: replies wait here and leave at the pace of a 57600 baud line
// (10 bits per byte, so about 5760 bytes a second), with the faults a bad line or a sick
// controller would add: replies dropped, delayed, garbled or sent in pieces with gaps.
//
// Pure logic on a caller-given time: the caller asks what may be written now, writes it, and
// reports how much went out; NextWake tells when to ask again.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <string_view>

namespace veldoran::sim {

class ReplyQueue {
 public:
  using Clock = std::chrono::steady_clock;
  using Duration = Clock::duration;

  static constexpr int kBaudRate = 57600;
  static constexpr int kBitsPerByte = 10;  // start bit, 8 data bits, stop bit
  // At most this many bytes are handed out at once, so the far end never gets data much earlier
  // than a real line would deliver it (32 bytes take 5.6 ms on the line).
  static constexpr std::size_t kChunk = 32;
  // A controller whose output is not read stops queueing: replies beyond this are dropped.
  static constexpr std::size_t kMaxQueued = 64 * 1024;
  // A writer woken this much after the line became free may still send back to back, catching
  // up; later than that the line is taken to have paused.
  static constexpr Duration kCatchUp = std::chrono::milliseconds(20);

  // Time the line needs for `bytes` bytes.
  static Duration LineTime(std::size_t bytes);

  explicit ReplyQueue(std::uint32_t seed = 1) : random_(seed) {}

  // Queues a reply, applying the faults in force. Returns a note for the log about what was
  // done to it ("dropped", "delayed 500 ms", ...), empty when it goes out as it is.
  std::string Push(std::string reply, Clock::time_point now);
  // Queues bytes that bypass the faults (line noise).
  void PushRaw(std::string bytes, Clock::time_point now);

  // The bytes that may be written now; empty when nothing may go yet.
  std::string_view Ready(Clock::time_point now) const;
  // `count` bytes of Ready() were written at `now`.
  void Written(std::size_t count, Clock::time_point now);
  // When Ready() may next be non-empty; nothing when the queue is empty.
  std::optional<Clock::time_point> NextWake() const;

  void Clear();
  std::size_t Queued() const { return queued_; }
  bool Empty() const { return pieces_.empty(); }

  // Faults. Each replaces the setting of the same kind.
  void DropNext(int count) { drop_ = count; }
  void DelayNext(int count, Duration delay) { delay_count_ = count, delay_ = delay; }
  // Replies go out in pieces of `size` bytes with `gap` of silence between them; size 0: whole.
  void SplitReplies(std::size_t size, Duration gap) { split_size_ = size, split_gap_ = gap; }
  // Each reply byte is replaced by a random one with this probability (0 to 100 %).
  void Garble(int percent) { garble_percent_ = percent; }
  void ClearFaults();
  std::string DescribeFaults() const;

 private:
  struct Piece {
    std::string bytes;
    Duration pause{};      // silence before it, counted from when it reached the front
    std::size_t sent = 0;  // bytes of it already written
  };
  void Append(Piece piece, Clock::time_point now);

  std::deque<Piece> pieces_;
  std::size_t queued_ = 0;
  Clock::time_point front_since_{};   // when the front piece reached the front (line idle)
  Clock::time_point line_free_at_{};  // when the line has sent everything written so far
  Clock::time_point burst_start_{};   // since then the line has been sending without a break
  std::size_t burst_bytes_ = 0;       // bytes written since burst_start_

  std::mt19937 random_;
  int drop_ = 0;
  int delay_count_ = 0;
  Duration delay_{};
  std::size_t split_size_ = 0;
  Duration split_gap_{};
  int garble_percent_ = 0;
};

}  // namespace veldoran::sim
