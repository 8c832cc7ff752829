// The Qt main thread, and the Qt monitor-control and terminal-edit adapters.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>
#include <atomic>
#include <future>

#include "platform/fake/fake_serial.h"
#include "serial/qt/qt_checked_control.h"
#include "serial/qt/qt_main_thread.h"
#include "serial/qt/qt_terminal_edit.h"
#include "serial/sp_timer.h"
#include "serial/spcomm.h"

namespace veldoran::serial {
namespace {

QApplication& App() {
  static int argc = 1;
  static char name[] = "serial_qt_test";
  static char* argv[] = {name, nullptr};
  // Never destroyed: objects Qt makes for synthesized input events are destroyed after a static
  // application object, which crashes once its platform is gone.
  static QApplication* app = new QApplication(argc, argv);
  return *app;
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

// Intervals past the longest a timer can wait are clamped to that longest, as Windows' SetTimer
// does: 0xFFFFFFFF ms ("as good as never") must not fire at once.
TEST(QtMainThreadTest, ALongerIntervalThanATimerCanWaitIsClampedToTheLongest) {
  App();
  QtMainThread main;
  for (const std::int64_t ms : {std::int64_t{0xFFFFFFFF}, std::int64_t{1} << 31,
                                std::int64_t{0x7FFFFFFF}, std::int64_t{1} << 40}) {
    SCOPED_TRACE(ms);
    int long_ticks = 0;
    bool short_tick = false;
    const auto long_timer = main.StartTimer(std::chrono::milliseconds(ms), [&] { ++long_ticks; });
    const auto short_timer =
        main.StartTimer(std::chrono::milliseconds(30), [&] { short_tick = true; });
    ASSERT_TRUE(SpinUntil([&] { return short_tick; }));
    EXPECT_EQ(long_ticks, 0);
    main.StopTimer(long_timer);
    main.StopTimer(short_timer);
  }
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

TEST(QtMainThreadTest, TimersTickThroughTheEventLoop) {
  App();
  QtMainThread main;
  TspTimer timer(main);
  timer.SetInterval(5);
  int ticks = 0;
  timer.SetOnTimer([&](TObject*) {
    if (++ticks == 2) timer.SetEnabled(false);  // stops its own timer from its tick
  });
  ASSERT_TRUE(SpinUntil([&] { return ticks == 2; }));
  QTimer::singleShot(30, [] {});
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 40);
  EXPECT_EQ(ticks, 2);
}

// Typing into a terminal widget and seeing what the port receives, on the fake driver.
class QtTerminal : public ::testing::Test {
 protected:
  QtTerminal() {
    driver->AddPort("COM3");
    comm = std::make_unique<TspComm>(nullptr, main, driver);
    comm->SetComPortNo(3);
    comm->SetTerminal(&terminal);
    comm->SetTerminalUsage(tuBoth);
    comm->SetActive(true);
  }
  ~QtTerminal() override {
    comm.reset();
    SpinUntil([] { return detail::RunningCommThreads() == 0; });
  }
  void Type(QWidget* widget, const QString& text, int key = 0) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QCoreApplication::sendEvent(widget, &press);
  }

  QApplication& app = App();  // before any widget
  const std::shared_ptr<win::FakeSerialDriver> driver = std::make_shared<win::FakeSerialDriver>();
  QtMainThread main;
  QPlainTextEdit edit;
  QtTerminalEdit terminal{&edit};
  std::unique_ptr<TspComm> comm;
};

TEST_F(QtTerminal, TypedCharactersGoOutInWindows1250AndShowOnlyWithEcho) {
  Type(&edit, "a", Qt::Key_A);
  Type(&edit, QStringLiteral("ą"));
  Type(&edit, QStringLiteral("中"));  // not in the code page: not typed at all
  Type(&edit, "\r", Qt::Key_Return);
  Type(&edit, "", Qt::Key_Left);
  EXPECT_EQ(driver->Output("COM3"), "a\xB9\r");
  EXPECT_EQ(edit.toPlainText(), "");

  comm->SetTerminalEcho(true);
  Type(&edit, QStringLiteral("ż"));
  EXPECT_EQ(driver->Output("COM3"), "a\xB9\r\xBF");
  EXPECT_EQ(edit.toPlainText(), QStringLiteral("ż"));

  comm->SetTerminalEcho(false);  // pasting types the clipboard's text
  QGuiApplication::clipboard()->setText(QStringLiteral("5\rż"));
  QKeyEvent paste(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier, QString(QChar(0x16)));
  QCoreApplication::sendEvent(&edit, &paste);
  EXPECT_EQ(driver->TakeOutput("COM3"),
            "a\xB9\r\xBF"
            "5\r\xBF");
}

TEST_F(QtTerminal, ReceivedTextIsAppendedWithoutNulBytesAndWithLineBreaks) {
  edit.setPlainText(">");
  driver->InjectInput("COM3", std::string("S01\r\n\0\xA3\xF3"
                                          "d\x9F\r",
                                          11));
  ASSERT_TRUE(SpinUntil([&] { return edit.toPlainText().size() > 1; }));
  driver->InjectInput("COM3", "\n");  // the LF of a CR LF split over two blocks
  driver->InjectInput("COM3", "x");
  ASSERT_TRUE(SpinUntil([&] { return edit.toPlainText().endsWith('x'); }));
  EXPECT_EQ(edit.toPlainText(), QStringLiteral(">S01\nŁódź\nx"));
  EXPECT_EQ(driver->Output("COM3"), "");  // nothing shown went back out

  QLineEdit line;
  QtTerminalEdit line_terminal(&line);
  comm->SetTerminal(&line_terminal);
  driver->InjectInput("COM3", "a\rb");
  ASSERT_TRUE(SpinUntil([&] { return line.text() == "a b"; }));
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
