#include "serial/main_thread.h"

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

void LoopMainThread::ProcessMessages() { Queue()->RunPending(); }

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
    Queue()->RunPending();
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    // Conditions that other threads change without queueing anything are looked at again
    // at least every few milliseconds.
    Queue()->WaitForRequest(
        std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(5)));
  }
}

}  // namespace veldoran::serial
