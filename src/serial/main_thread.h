// The program's main thread as the serial layer's worker threads see it: a place to run a
// function and wait for it (synchronize), to handle pending work once (process messages), to
// show an exception the standard way, and the timers of the main thread's message loop.
//
// Worker threads hold the SyncQueue (shared), never the MainThread object, so the main thread
// can go away while a worker is blocked on it: the queue is closed, the worker is released
// without its function having run, and later requests are refused at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace veldoran::serial {

class SyncQueue {
 public:
  // Worker side: queues `fn` for the main thread and waits until it has run. False, with `fn`
  // not run, when the queue is or gets closed before the main thread took it.
  bool RunAndWait(std::function<void()> fn);

  // Worker side: queues `fn` for the main thread without waiting for it. False when closed.
  bool Post(std::function<void()> fn);

  // Main side: runs the requests queued now, in order; returns how many ran. A request that
  // throws still counts as run (its worker is released) and the exception propagates.
  int RunPending();
  // Blocks until a request is queued, the queue is closed, or `deadline` passes.
  void WaitForRequest(std::chrono::steady_clock::time_point deadline);

  // Requests waiting for the main thread (thread-safe).
  int Waiting() const;

  // Refuses new requests and releases every waiting worker; nothing queued runs any more.
  void Close();
  bool Closed() const;

  // Called, under the queue's lock, each time a request is queued: wakes the main thread's
  // event loop. Cleared by Close.
  void SetWakeUp(std::function<void()> wake_up);

 private:
  struct Request {
    std::function<void()> fn;
    bool done = false;
  };
  mutable std::mutex mutex_;
  std::condition_variable done_;    // workers wait here
  std::condition_variable queued_;  // the main thread waits here
  std::deque<std::shared_ptr<Request>> queue_;
  std::function<void()> wake_up_;
  bool closed_ = false;
};

class MainThread {
 public:
  // The constructing thread is the main thread.
  MainThread();
  virtual ~MainThread();
  MainThread(const MainThread&) = delete;
  MainThread& operator=(const MainThread&) = delete;

  // Runs `fn` on the main thread and waits for it; on the main thread itself, runs it at once.
  // False, having run nothing, when the main thread is shutting down.
  bool Synchronize(std::function<void()> fn);

  // Handles pending work once (what a framework's process-messages call does).
  virtual void ProcessMessages() = 0;

  // The framework's standard display of an exception's message. May be called on any thread.
  virtual void ShowException(const std::string& message) = 0;

  bool IsMainThread() const { return std::this_thread::get_id() == main_id_; }

  // Timers of the main thread's message loop (what SetTimer and WM_TIMER are on Windows): from
  // StartTimer on, `tick` runs on the main thread every `interval` while the loop runs, until
  // StopTimer. Ticks that fall due while the main thread is busy are not queued up: one tick
  // runs when it gets to them. `tick` must not throw. Both calls are for the main thread only;
  // a tick may stop its own timer or any other. Identifiers are never reused; 0 is none.
  using TimerId = std::uint64_t;
  virtual TimerId StartTimer(std::chrono::milliseconds interval, std::function<void()> tick) = 0;
  virtual void StopTimer(TimerId id) = 0;

  // Synchronize calls waiting for the main thread (thread-safe).
  int PendingSynchronizeCount() const { return queue_->Waiting(); }

  // What worker threads hold on to.
  const std::shared_ptr<SyncQueue>& Queue() const { return queue_; }

 protected:
  // Closes the queue; derived destructors call it first, before their own members go.
  void Shutdown() { queue_->Close(); }

 private:
  const std::thread::id main_id_;
  const std::shared_ptr<SyncQueue> queue_;
};

// A main thread for tests and programs without an event loop: the owning thread drains the
// queue and runs the timers that are due when it calls ProcessMessages or ProcessUntil. Shown
// exceptions are recorded.
class LoopMainThread : public MainThread {
 public:
  LoopMainThread() = default;
  ~LoopMainThread() override;

  void ProcessMessages() override;
  void ShowException(const std::string& message) override;
  TimerId StartTimer(std::chrono::milliseconds interval, std::function<void()> tick) override;
  void StopTimer(TimerId id) override;

  // Handles requests and timers as they come until `done` is true (checked after each pass) or
  // `timeout` passes; true when `done` became true. Sleeps while nothing is queued or due.
  bool ProcessUntil(const std::function<bool()>& done,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20));

  // Timers started and not stopped.
  int ActiveTimers() const { return static_cast<int>(timers_.size()); }

  // The messages ShowException was called with, in order.
  std::vector<std::string> ShownExceptions() const;

  // Closes the queue now, as the destructor does.
  void Close() { Shutdown(); }

 private:
  using Clock = std::chrono::steady_clock;
  struct Timer {
    TimerId id;
    std::chrono::milliseconds interval;
    Clock::time_point due;
    std::shared_ptr<const std::function<void()>> tick;
  };
  // Runs each timer that is due now, once.
  void RunDueTimers();
  Clock::time_point NextTimerDue() const;

  mutable std::mutex shown_mutex_;
  std::vector<std::string> shown_;
  std::vector<Timer> timers_;  // main thread only
  TimerId last_timer_ = 0;
};

}  // namespace veldoran::serial
