#include "serial/main_thread.h"

#include <algorithm>

namespace veldoran::serial {

bool SyncQueue::RunAndWait(std::function<void()> fn) {
  auto request = std::make_shared<Request>();
  request->fn = std::move(fn);
  std::unique_lock lock(mutex_);
  if (closed_) return false;
  queue_.push_back(request);
  if (wake_up_) wake_up_();
  queued_.notify_all();
  done_.wait(lock, [&] { return request->done || closed_; });
  return request->done;
}

bool SyncQueue::Post(std::function<void()> fn) {
  auto request = std::make_shared<Request>();
  request->fn = std::move(fn);
  std::lock_guard lock(mutex_);
  if (closed_) return false;
  queue_.push_back(std::move(request));
  if (wake_up_) wake_up_();
  queued_.notify_all();
  return true;
}

int SyncQueue::RunPending() {
  std::size_t left;
  {
    std::lock_guard lock(mutex_);
    left = queue_.size();
  }
  int ran = 0;
  // Only what was queued when the pass began, so a steady stream cannot keep it going.
  for (; left > 0; --left) {
    std::shared_ptr<Request> request;
    {
      std::lock_guard lock(mutex_);
      if (closed_ || queue_.empty()) break;
      request = std::move(queue_.front());
      queue_.pop_front();
    }
    // Whatever fn does, its worker is released.
    struct Release {
      SyncQueue* queue;
      Request* request;
      ~Release() {
        std::lock_guard lock(queue->mutex_);
        request->done = true;
        queue->done_.notify_all();
      }
    } release{this, request.get()};
    ++ran;
    request->fn();
  }
  return ran;
}

void SyncQueue::WaitForRequest(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  queued_.wait_until(lock, deadline, [&] { return !queue_.empty() || closed_; });
}

int SyncQueue::Waiting() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(queue_.size());
}

void SyncQueue::Close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  wake_up_ = nullptr;
  queue_.clear();
  done_.notify_all();
  queued_.notify_all();
}

bool SyncQueue::Closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

void SyncQueue::SetWakeUp(std::function<void()> wake_up) {
  std::lock_guard lock(mutex_);
  if (!closed_) wake_up_ = std::move(wake_up);
}

MainThread::MainThread()
    : main_id_(std::this_thread::get_id()), queue_(std::make_shared<SyncQueue>()) {}

MainThread::~MainThread() { queue_->Close(); }

bool MainThread::Synchronize(std::function<void()> fn) {
  if (IsMainThread()) {
    if (queue_->Closed()) return false;
    fn();
    return true;
  }
  return queue_->RunAndWait(std::move(fn));
}

LoopMainThread::~LoopMainThread() { Shutdown(); }

void LoopMainThread::ProcessMessages() {
  Queue()->RunPending();
  RunDueTimers();
}

MainThread::TimerId LoopMainThread::StartTimer(std::chrono::milliseconds interval,
                                               std::function<void()> tick) {
  interval = std::max(interval, std::chrono::milliseconds(1));
  const TimerId id = ++last_timer_;
  timers_.push_back({id, interval, Clock::now() + interval,
                     std::make_shared<const std::function<void()>>(std::move(tick))});
  return id;
}

void LoopMainThread::StopTimer(TimerId id) {
  std::erase_if(timers_, [id](const Timer& timer) { return timer.id == id; });
}

void LoopMainThread::RunDueTimers() {
  const Clock::time_point now = Clock::now();
  std::vector<TimerId> due;
  for (const Timer& timer : timers_) {
    if (timer.due <= now) due.push_back(timer.id);
  }
  // A tick may stop or start timers: each one is looked up again before it runs.
  for (const TimerId id : due) {
    const auto it = std::find_if(timers_.begin(), timers_.end(),
                                 [id](const Timer& timer) { return timer.id == id; });
    if (it == timers_.end()) continue;
    it->due = Clock::now() + it->interval;
    const std::shared_ptr<const std::function<void()>> tick = it->tick;  // outlives a StopTimer
    (*tick)();
  }
}

LoopMainThread::Clock::time_point LoopMainThread::NextTimerDue() const {
  Clock::time_point next = Clock::time_point::max();
  for (const Timer& timer : timers_) next = std::min(next, timer.due);
  return next;
}

void LoopMainThread::ShowException(const std::string& message) {
  std::lock_guard lock(shown_mutex_);
  shown_.push_back(message);
}

std::vector<std::string> LoopMainThread::ShownExceptions() const {
  std::lock_guard lock(shown_mutex_);
  return shown_;
}

bool LoopMainThread::ProcessUntil(const std::function<bool()>& done,
                                  std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    ProcessMessages();
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    // Conditions that other threads change without queueing anything are looked at again
    // at least every few milliseconds.
    Queue()->WaitForRequest(
        std::min({deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(5),
                  NextTimerDue()}));
  }
}

}  // namespace veldoran::serial
