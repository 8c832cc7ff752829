// A SendData write still in flight when the port closes, on a driver that ends cancelled writes
// the way Windows does: some time after the cancel returned, writing the outcome into the
// caller's control block then. Closing must cancel the write and wait for it before the block
// can go; a write the driver never lets go of must neither hang the close nor be freed.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/fake/fake_serial.h"
#include "serial/spcomm.h"

namespace veldoran::serial {
namespace {

using namespace std::chrono_literals;
using win::BOOL;
using win::DWORD;
using win::HANDLE;
using win::OVERLAPPED;

class LateCompletionDriver : public win::FakeSerialDriver {
 public:
  // `late`: how long after a cancel (or the close of its handle) a held write ends; with
  // `never`, held writes end only at ReleaseAll.
  explicit LateCompletionDriver(std::chrono::milliseconds late, bool never = false)
      : late_(late), never_(never), completer_([this] { Run(); }) {}
  ~LateCompletionDriver() override {
    ReleaseAll();
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    completer_.join();
  }

  // While held, writes stay in flight until cancelled.
  void Hold(bool hold) {
    std::lock_guard lock(mutex_);
    hold_ = hold;
  }
  // Port handles closed while a write was still in flight.
  int ClosedWhilePending() const {
    std::lock_guard lock(mutex_);
    return closed_while_pending_;
  }
  // Ends every held write and waits until they have ended.
  void ReleaseAll() {
    std::unique_lock lock(mutex_);
    never_ = false;
    for (Held& write : held_) write.cancelled = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return held_.empty() && completing_ == 0; });
  }

  HANDLE CreateFileA(const char* name, DWORD access, DWORD share_mode, DWORD creation_disposition,
                     DWORD flags) override {
    const HANDLE port =
        FakeSerialDriver::CreateFileA(name, access, share_mode, creation_disposition, flags);
    std::lock_guard lock(mutex_);
    ports_.push_back(port);
    return port;
  }
  BOOL WriteFile(HANDLE file, const void* buffer, DWORD to_write, DWORD* written,
                 OVERLAPPED* overlapped) override {
    {
      std::lock_guard lock(mutex_);
      if (hold_ && overlapped) {
        StartPending(overlapped);
        held_.push_back({overlapped, to_write, false});
        return Fail(win::ERROR_IO_PENDING);
      }
    }
    return FakeSerialDriver::WriteFile(file, buffer, to_write, written, overlapped);
  }
  BOOL ClearCommError(HANDLE file, DWORD* errors, win::COMSTAT* status) override {
    const BOOL ok = FakeSerialDriver::ClearCommError(file, errors, status);
    std::lock_guard lock(mutex_);
    if (ok && status) {
      for (const Held& write : held_) status->cbOutQue += write.size;
    }
    return ok;
  }
  BOOL PurgeComm(HANDLE file, DWORD flags) override {
    if (flags & win::PURGE_TXABORT) CancelAll();
    return FakeSerialDriver::PurgeComm(file, flags);
  }
  BOOL CancelIo(HANDLE file) override {
    CancelAll();
    return FakeSerialDriver::CancelIo(file);
  }
  BOOL CloseHandle(HANDLE handle) override {
    {
      std::lock_guard lock(mutex_);
      if (!held_.empty() && std::find(ports_.begin(), ports_.end(), handle) != ports_.end()) {
        ++closed_while_pending_;
      }
    }
    CancelAll();  // closing a handle cancels its I/O, which then ends late too
    return FakeSerialDriver::CloseHandle(handle);
  }

 private:
  struct Held {
    OVERLAPPED* overlapped;
    DWORD size;
    bool cancelled;
  };

  void CancelAll() {
    {
      std::lock_guard lock(mutex_);
      for (Held& write : held_) write.cancelled = true;
    }
    changed_.notify_all();
  }

  // Ends each cancelled write `late_` after its cancel, on a thread of its own.
  void Run() {
    std::unique_lock lock(mutex_);
    while (true) {
      changed_.wait(
          lock, [&] { return stop_ || (!never_ && !held_.empty() && held_.front().cancelled); });
      if (stop_) return;
      changed_.wait_for(lock, late_, [&] { return stop_; });
      const Held write = held_.front();
      held_.erase(held_.begin());
      ++completing_;
      lock.unlock();
      Complete(write.overlapped, win::ERROR_OPERATION_ABORTED, 0);
      lock.lock();
      --completing_;
      changed_.notify_all();
    }
  }

  const std::chrono::milliseconds late_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool hold_ = false;
  bool never_;
  bool stop_ = false;
  std::vector<Held> held_;
  std::vector<HANDLE> ports_;
  int closed_while_pending_ = 0;
  int completing_ = 0;
  std::thread completer_;
};

class PendingWrite : public ::testing::Test {
 protected:
  explicit PendingWrite(std::chrono::milliseconds late = 50ms, bool never = false)
      : driver(std::make_shared<LateCompletionDriver>(late, never)) {
    driver->AddPort("COM3");
    comm = std::make_unique<TspComm>(nullptr, main, driver);
    comm->SetComPortNo(3);
    comm->SetActive(true);
  }
  ~PendingWrite() override {
    comm.reset();
    driver->ReleaseAll();
    main.ProcessUntil([] { return detail::RunningCommThreads() == 0; });
  }

  // A write that stays in flight.
  void SendHeld() {
    driver->Hold(true);
    comm->SendData(kData, sizeof kData - 1);
  }

  static constexpr char kData[] = "a block still on its way";
  std::shared_ptr<LateCompletionDriver> driver;
  LoopMainThread main;
  std::unique_ptr<TspComm> comm;
};

TEST_F(PendingWrite, DestroyingTheComponentCancelsTheWriteAndWaitsForItsEnd) {
  SendHeld();
  comm.reset();
  EXPECT_EQ(driver->ClosedWhilePending(), 0);
  EXPECT_FALSE(driver->Info("COM3").open);
}

TEST_F(PendingWrite, ClosingThePortCancelsTheWriteAndWaitsForItsEnd) {
  SendHeld();
  comm->SetActive(false);
  EXPECT_EQ(driver->ClosedWhilePending(), 0);
  // The component goes on working: the next send on a reopened port is not held back.
  driver->Hold(false);
  comm->SetActive(true);
  comm->SendData("next", 4);
  EXPECT_EQ(driver->Output("COM3"), "next");
}

TEST_F(PendingWrite, ABrokenPortShutsDownOnlyAfterTheWriteEnded) {
  int closed = 0;
  comm->SetOnClose([&](TObject*) { ++closed; });
  SendHeld();
  driver->Unplug("COM3");
  ASSERT_TRUE(main.ProcessUntil([&] { return !comm->Active(); }));
  EXPECT_EQ(closed, 1);
  EXPECT_EQ(driver->ClosedWhilePending(), 0);
}

class NeverEndingWrite : public PendingWrite {
 protected:
  NeverEndingWrite() : PendingWrite(0ms, true) {}
};

// The driver keeps the write past the grace time: the close goes on without it, and the block
// stays the driver's. When the write ends at last, it ends into memory still alive (the
// AddressSanitizer build would report a write into a freed block), and a new component on the
// same port works.
TEST_F(NeverEndingWrite, CloseGoesOnAndTheBlockOutlivesTheComponent) {
  SendHeld();
  const auto start = std::chrono::steady_clock::now();
  comm.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s) << "the close hung";
  EXPECT_EQ(driver->ClosedWhilePending(), 1);
  driver->ReleaseAll();

  driver->Hold(false);
  comm = std::make_unique<TspComm>(nullptr, main, driver);
  comm->SetComPortNo(3);
  comm->SetActive(true);
  comm->SendData("again", 5);
  EXPECT_EQ(driver->Output("COM3"), "again");
}

}  // namespace
}  // namespace veldoran::serial
