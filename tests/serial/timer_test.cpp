// The main thread's timers, the library timer TspTimer, and the base object's worker thread.
#include <gtest/gtest.h>

#include <atomic>

#include "serial/sp_timer.h"
#include "serial_fixture.h"

namespace veldoran::serial {
namespace {

using namespace std::chrono_literals;

void Spin(LoopMainThread& main, std::chrono::milliseconds time) {
  main.ProcessUntil([] { return false; }, time);
}

TEST(LoopTimers, TickUntilStoppedAlsoFromATick) {
  LoopMainThread main;
  int ticks = 0;
  bool other_ran = false;
  MainThread::TimerId id = 0, other = 0;
  id = main.StartTimer(2ms, [&] {
    if (++ticks == 3) main.StopTimer(id);
    main.StopTimer(other);  // a timer due at the same time then does not run
  });
  other = main.StartTimer(2ms, [&] { other_ran = true; });
  ASSERT_TRUE(main.ProcessUntil([&] { return ticks == 3; }));
  Spin(main, 20ms);
  EXPECT_EQ(ticks, 3);
  EXPECT_FALSE(other_ran);
  EXPECT_EQ(main.ActiveTimers(), 0);
}

TEST(TspTimerTest, TicksOnlyWithIntervalHandlerAndEnabled) {
  LoopMainThread main;
  TspTimer timer(main);
  int ticks = 0;
  timer.SetInterval(2);
  EXPECT_FALSE(timer.Ticking());  // no handler yet
  timer.SetOnTimer([&](TObject* sender) {
    EXPECT_EQ(sender, &timer);
    if (++ticks == 2) throw std::runtime_error("swallowed");
  });
  EXPECT_NO_THROW(ASSERT_TRUE(main.ProcessUntil([&] { return ticks >= 3; })));
  timer.SetEnabled(false);
  const int seen = ticks;
  Spin(main, 20ms);
  EXPECT_EQ(ticks, seen);
  timer.SetInterval(0);  // takes effect when re-armed: then nothing ticks
  timer.SetEnabled(true);
  EXPECT_FALSE(timer.Ticking());

  // Re-arming (false, then true) restarts the period with the new interval.
  timer.SetInterval(60'000);
  timer.SetEnabled(false);
  timer.SetEnabled(true);
  timer.SetInterval(2);
  timer.SetEnabled(true);  // unchanged: still the long period
  Spin(main, 20ms);
  EXPECT_EQ(ticks, seen);
  timer.SetEnabled(false);
  timer.SetEnabled(true);
  ASSERT_TRUE(main.ProcessUntil([&] { return ticks > seen; }));
}

TEST(TspTimerTest, AHandlerMayDestroyItsTimer) {
  LoopMainThread main;
  auto timer = std::make_unique<TspTimer>(main);
  timer->SetInterval(1);
  timer->SetOnTimer([&](TObject*) { timer.reset(); });
  ASSERT_TRUE(main.ProcessUntil([&] { return timer == nullptr; }));
  EXPECT_EQ(main.ActiveTimers(), 0);
}

// A base object with the generic worker thread switched on.
class Worker : public TspBaseIO {
 public:
  explicit Worker(MainThread& main)
      : TspBaseIO(nullptr, main, std::make_shared<win::FakeSerialDriver>()) {
    SetUseWorkerThread(true);
  }
  ~Worker() override { StopThreads(); }
  void Open() override {}
  void Close() override {}
  void SendChar(std::uint8_t) override {}
  void SendString(std::string_view) override {}
  void SendData(const void*, std::uint32_t) override {}
  void PurgeInput() override {}
  void PurgeOutput() override {}
  void PurgeAll() override {}
  void EnumDevices() override {}
  int SelectedDeviceIndex() override { return -1; }
  using TspBaseIO::StartThreads;
  using TspBaseIO::StopThreads;
  std::atomic<int> bodies{0};
  std::atomic<bool> stop_itself{false};
  std::atomic<bool>* destroy_itself = nullptr;  // set once the body destroyed its owner

 protected:
  void OpenHandle() override {}
  void ThreadBody(TspThreadIO& thread) override {
    if (destroy_itself) {
      std::atomic<bool>* done = destroy_itself;
      delete this;
      *done = true;
      return;
    }
    if (++bodies == 3) throw std::runtime_error("stays in its thread");
    if (stop_itself) StopThreads();
    while (!thread.Terminated()) std::this_thread::sleep_for(1ms);
  }
};

TEST(WorkerThread, RunsTheBodyOnceAndStopWaitsForItsEnd) {
  LoopMainThread main;
  Worker worker(main);
  const auto wait_for = [&](int n) {
    while (worker.bodies < n) std::this_thread::sleep_for(1ms);
  };
  worker.StartThreads();
  worker.StartThreads();  // running already
  wait_for(1);
  worker.StopThreads();  // returns once the body has seen Terminated and returned
  EXPECT_EQ(worker.bodies, 1);
  worker.stop_itself = true;
  worker.StartThreads();
  wait_for(2);
  worker.StartThreads();  // waits for the one that stopped itself, then starts anew
  wait_for(3);
  worker.StopThreads();
  EXPECT_EQ(worker.bodies, 3);
}

// A body that destroys its owner, and with it the thread object: the destruction neither waits
// for its own thread nor throws, and the thread touches neither object once the body has
// returned (a write there is what the AddressSanitizer build of this test reports).
TEST(WorkerThread, ABodyMayDestroyItsOwner) {
  LoopMainThread main;
  std::atomic<bool> destroyed{false};
  auto* worker = new Worker(main);
  worker->destroy_itself = &destroyed;
  worker->StartThreads();
  while (!destroyed) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(20ms);  // the detached thread runs to its end meanwhile
}

}  // namespace
}  // namespace veldoran::serial
