// veldoran-term's window on the fake driver and an in-memory registry, offscreen.
#include "term_window.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTranslator>

#include "platform/fake/fake_serial.h"
#include "platform/memory_registry.h"
#include "term_language.h"

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
      registry->PutString(win::HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM",
                          "/dev/ttyUSB" + std::to_string(n), "COM" + std::to_string(n));
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
  // Picks an entry as the operator does (the port picker acts on picks, not on selections).
  static void Pick(QWidget& window, const char* name, const QString& text) {
    auto* box = Find<QComboBox>(window, name);
    box->setCurrentIndex(box->findText(text));
    emit box->activated(box->currentIndex());
  }
  static bool SpinUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
  }

  const std::shared_ptr<win::FakeSerialDriver> driver = std::make_shared<win::FakeSerialDriver>();
  const std::shared_ptr<win::MemoryRegistry> registry = std::make_shared<win::MemoryRegistry>();
};

TEST_F(TermWindowTest, TypingGoesToTheLineAndWhatArrivesIsShown) {
  auto window = Start();
  Pick(*window, "port", "COM3");
  Find<QPushButton>(*window, "open")->click();
  EXPECT_EQ(Find<QPushButton>(*window, "open")->text(), "Close");
  auto* terminal = Find<QPlainTextEdit>(*window, "terminal");
  for (const QString& key : {QString("0"), QStringLiteral("ł"), QString("\r")}) {
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, key);
    QCoreApplication::sendEvent(terminal, &press);
  }
  EXPECT_EQ(driver->Output("COM3"), "0\xB3\r");
  driver->InjectInput("COM3", std::string("S:\0 \xA3\xF3"
                                          "d\x9F\r",
                                          9));
  ASSERT_TRUE(SpinUntil([&] { return terminal->toPlainText().contains('\n'); }));
  EXPECT_EQ(terminal->toPlainText(), QStringLiteral("S: Łódź\n"));  // nothing typed shows
}

// Without stored settings the terminal opens with the controller's line: 57600 baud, 8N1.
TEST_F(TermWindowTest, FirstStartHasTheControllersLineSettings) {
  auto window = Start();
  EXPECT_EQ(Find<QComboBox>(*window, "baud")->currentText(), "57600");
  EXPECT_EQ(window->Port().BaudRate(), 57600u);
  EXPECT_EQ(window->Port().ByteSize(), 8);
  EXPECT_EQ(window->Port().Parity(), serial::pNone);
  EXPECT_EQ(window->Port().StopBits(), serial::sbOne);
  Pick(*window, "port", "COM3");
  Find<QPushButton>(*window, "open")->click();
  ASSERT_TRUE(window->Port().Active());
  EXPECT_EQ(driver->Info("COM3").dcb.BaudRate, 57600u);
}

TEST_F(TermWindowTest, SettingsSurviveARestart) {
  auto window = Start();
  Pick(*window, "port", "COM4");
  Pick(*window, "baud", "9600");
  Pick(*window, "parity", "Even");
  Pick(*window, "flow", "XON/XOFF");
  window->close();
  window = Start();
  EXPECT_EQ(Find<QComboBox>(*window, "port")->currentText(), "COM4");
  EXPECT_EQ(Find<QComboBox>(*window, "baud")->currentText(), "9600");
  EXPECT_EQ(Find<QComboBox>(*window, "parity")->currentText(), "Even");
  EXPECT_EQ(Find<QComboBox>(*window, "flow")->currentText(), "XON/XOFF");
  EXPECT_EQ(window->Port().StreamProtocol(), serial::spXonXoff);

  window->Port().SetComPortNo(9);  // stored, then not there at the next start
  window->close();
  window = Start();
  EXPECT_EQ(Find<QComboBox>(*window, "port")->currentIndex(), -1);  // not listed
  Find<QPushButton>(*window, "open")->click();
  ASSERT_EQ(window->messages.size(), 1u);
  EXPECT_TRUE(window->messages[0].startsWith("Open: Device \"COM9\" Open Error !!!\n"));
}

TEST_F(TermWindowTest, DeviceChecksAndALostLineAreReported) {
  auto window = Start();
  Pick(*window, "port", "COM3");
  Find<QPushButton>(*window, "open")->click();
  Find<QPushButton>(*window, "test")->click();
  EXPECT_EQ(window->messages.back(), "Test connection: Device Connect Initialization Error");
  // A device that answers the second rise of RTS: the identification read's, after the test's.
  driver->AttachPnPDevice("COM3", {"(\x01$ABC1234)", true, 2});
  Find<QPushButton>(*window, "test")->click();
  EXPECT_EQ(window->messages.back(), "Test connection: The device answered with DSR.");
  Find<QPushButton>(*window, "pnp")->click();
  EXPECT_EQ(window->messages.back(), "Read PnP id: (<01>$ABC1234)");
  driver->Unplug("COM3");
  ASSERT_TRUE(SpinUntil([&] { return !window->Port().Active(); }));
  EXPECT_TRUE(window->statusBar()->currentMessage().contains("went away"));
}

TEST(TermLanguage, PolishByDefaultEnglishOneSwitchAway) {
  const QString program = QStringLiteral("veldoran-term");
  EXPECT_EQ(LanguageOption({program}), "pl");
  EXPECT_EQ(LanguageOption({program, "--lang", "en"}), "en");
  EXPECT_EQ(LanguageOption({program, "--lang=en"}), "en");
  EXPECT_FALSE(LanguageOption({program, "--lang"}));
  EXPECT_FALSE(LanguageOption({program, "--lang="}));
  EXPECT_FALSE(InstallTranslation(*QCoreApplication::instance(), "xx"));
}

// The Polish translation is built in and covers the window: buttons, boxes and labels.
TEST_F(TermWindowTest, ThePolishTranslationSpeaksPolish) {
  ASSERT_TRUE(InstallTranslation(*QCoreApplication::instance(), "pl"));
  auto window = Start();
  EXPECT_EQ(window->windowTitle(), "Terminal Veldoran");
  EXPECT_EQ(Find<QPushButton>(*window, "open")->text(), "Otwórz");
  EXPECT_EQ(Find<QComboBox>(*window, "parity")->itemText(0), "Brak");
  EXPECT_EQ(Find<QComboBox>(*window, "parity")->itemText(2), "Parzysta");
  for (QTranslator* t : QCoreApplication::instance()->findChildren<QTranslator*>()) {
    QCoreApplication::removeTranslator(t);
    delete t;
  }
  EXPECT_EQ(Start()->windowTitle(), "Veldoran terminal");
}

}  // namespace
}  // namespace veldoran::term
