#include "serial/main_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

namespace veldoran::serial {
namespace {

using namespace std::chrono_literals;

TEST(LoopMainThreadTest, SynchronizeRunsOnTheMainThreadAndWaits) {
  LoopMainThread main;
  std::atomic<bool> ran_on_main{false};
  auto worker = std::async(std::launch::async, [&] {
    return main.Synchronize([&] { ran_on_main = main.IsMainThread(); });
  });
  ASSERT_TRUE(main.ProcessUntil([&] { return ran_on_main.load(); }));
  EXPECT_TRUE(worker.get());
  EXPECT_EQ(main.PendingSynchronizeCount(), 0);

  bool inline_ran = false;
  EXPECT_TRUE(main.Synchronize([&] { inline_ran = true; }));  // on the main thread: at once
  EXPECT_TRUE(inline_ran);
}

TEST(LoopMainThreadTest, PostedWorkRunsLaterOnTheMainThread) {
  LoopMainThread main;
  std::atomic<int> ran{0};
  std::thread([&] {
    EXPECT_TRUE(main.Queue()->Post([&] { ran = main.IsMainThread() ? 1 : 2; }));
  }).join();
  EXPECT_EQ(ran, 0);  // nothing waited for it
  EXPECT_EQ(main.PendingSynchronizeCount(), 1);
  main.ProcessMessages();
  EXPECT_EQ(ran, 1);
  main.Close();
  EXPECT_FALSE(main.Queue()->Post([] {}));
}

TEST(LoopMainThreadTest, ShuttingDownReleasesWaitersWithoutRunningThem) {
  auto main = std::make_unique<LoopMainThread>();
  std::atomic<bool> ran{false};
  auto queue = main->Queue();
  auto worker =
      std::async(std::launch::async, [&, queue] { return queue->RunAndWait([&] { ran = true; }); });
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (main->PendingSynchronizeCount() == 0 && std::chrono::steady_clock::now() < deadline) {
    queue->WaitForRequest(deadline);
  }
  ASSERT_EQ(main->PendingSynchronizeCount(), 1);
  main.reset();
  EXPECT_FALSE(worker.get());
  EXPECT_FALSE(ran);
  EXPECT_FALSE(queue->RunAndWait([&] { ran = true; }));  // refused at once afterwards
  EXPECT_FALSE(ran);
}

TEST(LoopMainThreadTest, ThrowingRequestStillReleasesItsWorker) {
  LoopMainThread main;
  auto worker = std::async(std::launch::async, [&] {
    return main.Synchronize([] { throw std::runtime_error("boom"); });
  });
  EXPECT_THROW(main.ProcessUntil([] { return false; }, 20s), std::runtime_error);
  EXPECT_TRUE(worker.get());
}

}  // namespace
}  // namespace veldoran::serial
