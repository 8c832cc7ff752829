// The Qt main thread and the Qt monitor-control adapter.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QTimer>
#include <atomic>
#include <future>

#include "serial/qt/qt_checked_control.h"
#include "serial/qt/qt_main_thread.h"

namespace veldoran::serial {
namespace {

QApplication& App() {
  static int argc = 1;
  static char name[] = "serial_qt_test";
  static char* argv[] = {name, nullptr};
  static QApplication app(argc, argv);
  return app;
}

// Runs the event loop until `done` or 20 s.
bool SpinUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
  }
  return true;
}

TEST(QtMainThreadTest, SynchronizeIsRunByTheEventLoop) {
  App();
  QtMainThread main;
  std::atomic<bool> on_main{false};
  auto worker = std::async(
      std::launch::async, [&] { return main.Synchronize([&] { on_main = main.IsMainThread(); }); });
  ASSERT_TRUE(SpinUntil([&] { return on_main.load(); }));
  EXPECT_TRUE(worker.get());
  EXPECT_EQ(main.PendingSynchronizeCount(), 0);
}

TEST(QtMainThreadTest, DestroyingItReleasesAWaitingWorker) {
  App();
  auto main = std::make_unique<QtMainThread>();
  auto queue = main->Queue();
  std::atomic<bool> ran{false};
  auto worker =
      std::async(std::launch::async, [&, queue] { return queue->RunAndWait([&] { ran = true; }); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (main->PendingSynchronizeCount() == 0 && std::chrono::steady_clock::now() < deadline) {
    queue->WaitForRequest(deadline);
  }
  ASSERT_EQ(main->PendingSynchronizeCount(), 1);
  main.reset();
  EXPECT_FALSE(worker.get());
  QCoreApplication::processEvents();  // the posted wake-up finds nothing to run
  EXPECT_FALSE(ran);
}

TEST(QtMainThreadTest, ShowExceptionFromAWorkerReachesTheHandlerOnTheMainThread) {
  App();
  QtMainThread main;
  std::vector<std::string> shown;
  bool handled_on_main = false;
  main.SetExceptionHandler([&](const std::string& message) {
    handled_on_main = main.IsMainThread();
    shown.push_back(message);
  });
  auto worker = std::async(std::launch::async, [&] { main.ShowException("boom"); });
  ASSERT_TRUE(SpinUntil([&] { return !shown.empty(); }));
  worker.get();
  EXPECT_TRUE(handled_on_main);
  EXPECT_EQ(shown, std::vector<std::string>{"boom"});
}

TEST(QtCheckedControlTest, SetsCheckedOnlyWhereTheWidgetHasIt) {
  App();
  QCheckBox box;
  QLabel label;
  QtCheckedControl box_control(&box);
  QtCheckedControl label_control(&label);
  EXPECT_TRUE(box_control.SetChecked(true));
  EXPECT_TRUE(box.isChecked());
  EXPECT_TRUE(box_control.SetChecked(false));
  EXPECT_FALSE(box.isChecked());
  EXPECT_FALSE(label_control.SetChecked(true));

  auto gone = std::make_unique<QCheckBox>();
  QtCheckedControl gone_control(gone.get());
  gone.reset();
  EXPECT_FALSE(gone_control.SetChecked(true));
}

}  // namespace
}  // namespace veldoran::serial
