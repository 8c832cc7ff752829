// Ctrl-C (SIGINT) and SIGTERM as a request to stop, seen by the command at its next step rather
// than killing the program in the middle of a write: a thread of its own waits for the signal,
// sets the flag and wakes the main thread's loop.
#pragma once

#include <atomic>
#include <memory>

namespace veldoran::serial {
class SyncQueue;
}

namespace veldoran::cli {

class Interrupt {
 public:
  // Blocks the signals for every thread started after this (call it before any other thread
  // starts) and starts the waiting thread, which wakes `queue`'s owner when a signal comes.
  explicit Interrupt(std::shared_ptr<serial::SyncQueue> queue);
  ~Interrupt();
  Interrupt(const Interrupt&) = delete;
  Interrupt& operator=(const Interrupt&) = delete;

  bool Requested() const { return requested_.load(); }

 private:
  struct Waiter;
  std::atomic<bool> requested_{false};
  std::unique_ptr<Waiter> waiter_;
};

}  // namespace veldoran::cli
