// The main thread's timers, the library timer TspTimer, and the base object's worker thread.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "serial/sp_timer.h"
#include "serial/spclasses.h"
#include "serial_fixture.h"

namespace veldoran::serial {
namespace {

using namespace std::chrono_literals;

// Runs the loop for `time`, timers included.
void Spin(LoopMainThread& main, std::chrono::milliseconds time) {
  main.ProcessUntil([] { return false; }, time);
}

TEST(LoopTimers, TickOnTheMainThreadUntilStoppedEvenFromTheirOwnTick) {
  LoopMainThread main;
  int ticks = 0;
  MainThread::TimerId id = 0;
  id = main.StartTimer(5ms, [&] {
    EXPECT_TRUE(main.IsMainThread());
    if (++ticks == 3) main.StopTimer(id);
  });
  ASSERT_TRUE(main.ProcessUntil([&] { return ticks == 3; }));
  Spin(main, 30ms);
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(main.ActiveTimers(), 0);
}

TEST(LoopTimers, ATickThatStopsAnotherDueTimerKeepsItFromRunning) {
  LoopMainThread main;
  bool second_ran = false;
  MainThread::TimerId second = 0;
  main.StartTimer(1ms, [&] { main.StopTimer(second); });
  second = main.StartTimer(1ms, [&] { second_ran = true; });
  Spin(main, 20ms);
  EXPECT_FALSE(second_ran);
}

class TimerTest : public ::testing::Test {
 protected:
  LoopMainThread main;
  TspTimer timer{main};
  int ticks = 0;
  void CountTicks() {
    timer.SetOnTimer([this](TObject* sender) {
      EXPECT_EQ(sender, &timer);
      ++ticks;
    });
  }
};

TEST_F(TimerTest, TicksOnlyWithIntervalHandlerAndEnabled) {
  timer.SetInterval(2);
  EXPECT_FALSE(timer.Ticking());  // no handler
  CountTicks();
  EXPECT_TRUE(timer.Ticking());
  ASSERT_TRUE(main.ProcessUntil([&] { return ticks >= 2; }));

  timer.SetEnabled(false);
  EXPECT_FALSE(timer.Ticking());
  const int seen = ticks;
  Spin(main, 20ms);
  EXPECT_EQ(ticks, seen);

  timer.SetInterval(0);  // takes effect at the next change
  timer.SetEnabled(true);
  EXPECT_FALSE(timer.Ticking());
  Spin(main, 20ms);
  EXPECT_EQ(ticks, seen);
}

TEST_F(TimerTest, DisablingAndEnablingRestartsThePeriod) {
  timer.SetInterval(60'000);
  CountTicks();
  const int before = main.ActiveTimers();
  timer.SetEnabled(true);  // unchanged: nothing happens
  EXPECT_EQ(main.ActiveTimers(), before);
  timer.SetInterval(5);
  timer.SetEnabled(false);
  timer.SetEnabled(true);
  ASSERT_TRUE(main.ProcessUntil([&] { return ticks == 1; }, 5s));
}

TEST_F(TimerTest, HandlerExceptionsAreSwallowedAndTheTimerGoesOn) {
  timer.SetInterval(2);
  timer.SetOnTimer([&](TObject*) {
    ++ticks;
    throw std::runtime_error("tick failed");
  });
  EXPECT_NO_THROW(EXPECT_TRUE(main.ProcessUntil([&] { return ticks >= 2; })));
}

TEST(TimerLifetime, AHandlerMayDestroyItsTimer) {
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
  Worker(MainThread& main, std::shared_ptr<win::SerialApi> api)
      : TspBaseIO(nullptr, main, std::move(api)) {
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
  using TspBaseIO::SetUseWorkerThread;
  using TspBaseIO::StartThreads;
  using TspBaseIO::StopThreads;

  std::atomic<int> bodies{0};
  std::atomic<bool> stop_itself{false};
  std::atomic<bool> throw_in_body{false};

 protected:
  void OpenHandle() override {}
  void ThreadBody(TspThreadIO& thread) override {
    ++bodies;
    if (throw_in_body) throw std::runtime_error("body failed");
    if (stop_itself) StopThreads();
    while (!thread.Terminated()) std::this_thread::sleep_for(1ms);
  }
};

TEST(WorkerThread, RunsTheBodyOnceAndStopWaitsForItsEnd) {
  LoopMainThread main;
  Worker worker(main, std::make_shared<win::FakeSerialDriver>());
  worker.StartThreads();
  worker.StartThreads();  // running already: no second thread
  while (worker.bodies == 0) std::this_thread::sleep_for(1ms);
  worker.StopThreads();  // returns only once the body has seen Terminated and returned
  worker.StopThreads();
  EXPECT_EQ(worker.bodies, 1);

  worker.stop_itself = true;  // a body that stops its own thread is not waited for by itself
  worker.StartThreads();
  while (worker.bodies < 2) std::this_thread::sleep_for(1ms);
  worker.throw_in_body = true;
  worker.StartThreads();  // waits for the one that stopped itself, then starts anew
  while (worker.bodies < 3) std::this_thread::sleep_for(1ms);
  worker.StopThreads();
  EXPECT_EQ(worker.bodies, 3);  // the exception stayed in its thread

  Worker idle(main, std::make_shared<win::FakeSerialDriver>());
  idle.SetUseWorkerThread(false);
  idle.StartThreads();
  idle.StopThreads();
  EXPECT_EQ(idle.bodies, 0);
}

}  // namespace
}  // namespace veldoran::serial
