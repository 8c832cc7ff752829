// veldoran-term's window on the fake driver and an in-memory registry, offscreen.
#include "term_window.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>

#include "platform/fake/fake_serial.h"
#include "platform/memory_registry.h"
#include "pty_pair.h"

namespace veldoran::term {
namespace {

class RecordingWindow : public TermWindow {
 public:
  using TermWindow::TermWindow;
  std::vector<QString> messages;

 protected:
  void ShowMessage(QMessageBox::Icon, const QString& title, const QString& text) override {
    messages.push_back(title + ": " + text);
  }
};

class TermWindowTest : public ::testing::Test {
 protected:
  TermWindowTest() {
    for (const int n : {3, 4}) {
      driver->AddPort("COM" + std::to_string(n));
      map.Link(n, "/dev/null");  // present in the port map; the fake driver answers for it
    }
  }
  std::unique_ptr<RecordingWindow> Start() {
    return std::make_unique<RecordingWindow>(driver, registry);
  }
  template <class W>
  static W* Find(QWidget& window, const char* name) {
    W* widget = window.findChild<W*>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }
  static void Pick(QWidget& window, const char* name, const QString& text) {
    auto* box = Find<QComboBox>(window, name);
    box->setCurrentIndex(box->findText(text));
  }
  static bool SpinUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
  }

  veldoran::testing::TempPortMap map;
  const std::shared_ptr<win::FakeSerialDriver> driver = std::make_shared<win::FakeSerialDriver>();
  const std::shared_ptr<win::MemoryRegistry> registry = std::make_shared<win::MemoryRegistry>();
};

TEST_F(TermWindowTest, TypingGoesToTheLineAndWhatArrivesIsShown) {
  auto window = Start();
  Pick(*window, "port", "COM3");
  Find<QPushButton>(*window, "open")->click();
  ASSERT_TRUE(window->Port().Active());
  EXPECT_EQ(Find<QPushButton>(*window, "open")->text(), "Close");
  auto* terminal = Find<QPlainTextEdit>(*window, "terminal");
  for (const QString& key : {QString("0"), QStringLiteral("ł"), QString("\r")}) {
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, key);
    QCoreApplication::sendEvent(terminal, &press);
  }
  EXPECT_EQ(driver->Output("COM3"), "0\xB3\r");
  EXPECT_EQ(terminal->toPlainText(), "");  // no echo
  driver->InjectInput("COM3", std::string("S:\0 \xA3\xF3"
                                          "d\x9F\r",
                                          9));
  ASSERT_TRUE(SpinUntil([&] { return terminal->toPlainText().contains('\n'); }));
  EXPECT_EQ(terminal->toPlainText(), QStringLiteral("S: Łódź\n"));
}

TEST_F(TermWindowTest, SettingsSurviveARestart) {
  auto window = Start();
  Pick(*window, "port", "COM4");
  Pick(*window, "baud", "57600");
  Pick(*window, "parity", "Even");
  Pick(*window, "stopBits", "2");
  Pick(*window, "flow", "XON/XOFF");
  window->close();
  window.reset();

  window = Start();
  EXPECT_EQ(Find<QComboBox>(*window, "port")->currentText(), "COM4");
  EXPECT_EQ(Find<QComboBox>(*window, "baud")->currentText(), "57600");
  EXPECT_EQ(Find<QComboBox>(*window, "parity")->currentText(), "Even");
  EXPECT_EQ(Find<QComboBox>(*window, "stopBits")->currentText(), "2");
  EXPECT_EQ(Find<QComboBox>(*window, "flow")->currentText(), "XON/XOFF");
  EXPECT_EQ(window->Port().BaudRate(), 57600u);
  EXPECT_EQ(window->Port().StreamProtocol(), serial::spXonXoff);
  EXPECT_FALSE(window->Port().Active());
}

TEST_F(TermWindowTest, FailuresAreShownAndTheLineGoingAwayIsReported) {
  // Stored settings name a port that is not there now.
  {
    auto first = Start();
    first->Port().SetComPortNo(9);
    first->close();
  }
  auto window = Start();
  EXPECT_EQ(Find<QComboBox>(*window, "port")->currentText(), "COM9 (not present)");
  Find<QPushButton>(*window, "open")->click();
  ASSERT_EQ(window->messages.size(), 1u);
  EXPECT_TRUE(window->messages[0].startsWith("Open: Device \"COM9\" Open Error !!!\n"));
  EXPECT_EQ(Find<QPushButton>(*window, "open")->text(), "Open");

  Pick(*window, "port", "COM3");
  Find<QPushButton>(*window, "open")->click();
  Find<QPushButton>(*window, "test")->click();
  EXPECT_EQ(window->messages.back(), "Test connection: Device Connect Initialization Error");
  driver->Unplug("COM3");
  ASSERT_TRUE(SpinUntil([&] { return !window->Port().Active(); }));
  EXPECT_TRUE(window->statusBar()->currentMessage().contains("went away"));
}

TEST_F(TermWindowTest, DeviceChecksReportWhatTheDeviceSaid) {
  // The device answers the second rise of RTS: the identification read's, after the test's.
  driver->AttachPnPDevice("COM3", {"(\x01$ABC1234)", true, 2});
  auto window = Start();
  Pick(*window, "port", "COM3");
  Find<QPushButton>(*window, "open")->click();
  Find<QPushButton>(*window, "test")->click();
  EXPECT_EQ(window->messages.back(), "Test connection: The device answered with DSR.");
  Find<QPushButton>(*window, "pnp")->click();
  EXPECT_EQ(window->messages.back(), "Read PnP id: (<01>$ABC1234)");
  EXPECT_TRUE(window->Port().Active());
}

}  // namespace
}  // namespace veldoran::term
