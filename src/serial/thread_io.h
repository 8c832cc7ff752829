// The generic worker thread of the base I/O object: runs the object's ThreadBody once, with
// any exception swallowed. It is created suspended and runs the body once Resume is called
// (so the owner has stored it by then); Terminate asks the body to end (the body looks at
// Terminated), WaitFor waits until it has. The object stays valid until it is destroyed, which
// waits too, so a wait never outlives the thread object it waits on. One destroyed without
// having been resumed never runs the body.
#pragma once

#include <atomic>
#include <memory>
#include <thread>

namespace veldoran::serial {

class TspBaseIO;

class TspThreadIO {
 public:
  explicit TspThreadIO(TspBaseIO& owner);
  ~TspThreadIO();
  TspThreadIO(const TspThreadIO&) = delete;
  TspThreadIO& operator=(const TspThreadIO&) = delete;

  TspBaseIO& Owner() const { return owner_; }
  void Resume();
  void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }
  // Waits for the body to end; at once when called from the body itself.
  void WaitFor();
  bool OnThisThread() const { return std::this_thread::get_id() == thread_.get_id(); }
  // Whether the body has returned.
  bool Finished() const { return *finished_; }

 private:
  void Execute(const std::shared_ptr<std::atomic<bool>>& finished);

  TspBaseIO& owner_;
  std::atomic<bool> resumed_{false};
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> terminated_{false};
  // Co-owned by the thread: a body may destroy its owner and this object with it, and the
  // thread still marks the end of the body.
  const std::shared_ptr<std::atomic<bool>> finished_ = std::make_shared<std::atomic<bool>>(false);
  std::thread thread_;
};

}  // namespace veldoran::serial
