// Choosing the COM port, end to end: the real window (offscreen) with the system's serial
// driver, registry and device watch, and veldoran-sim controllers on pseudo-terminals that
// register themselves in a private port map as newly plugged adapters do. The operator picks a
// port in the box with the keyboard, connects, plugs in another adapter while the tool runs,
// moves the connection to it, and finds it selected again after a restart.
//
// Waits are on conditions with generous deadlines; times are reported, never asserted.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <functional>
#include <iostream>
#include <memory>
#include <string>

#include "app/form1.h"
#include "discovery/spcommbox.h"
#include "records/port_choice.h"
#include "serial/comm_threads.h"
#include "serial/spcomm.h"
#include "support/event_loop.h"
#include "support/qt_printers.h"
#include "support/recording_dialogs.h"
#include "support/sim_process.h"
#include "support/temp_dir.h"

namespace veldoran::app {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using testing::SimProcess;

constexpr auto kDeadline = 30s;

class PortDiscoveryEndToEnd : public ::testing::Test {
 protected:
  ~PortDiscoveryEndToEnd() override {
    form_.reset();
    ProcessUntil([] { return serial::detail::RunningCommThreads() == 0; });
  }

  std::unique_ptr<SimProcess> Sim(int number, const std::string& log) {
    auto sim = std::make_unique<SimProcess>(
        std::vector<std::string>{"--number", std::to_string(number), "--quiet"},
        home_.path() / log);
    EXPECT_TRUE(sim->Ready()) << sim->LogText();
    return sim;
  }

  void StartWindow() {
    Services services;
    services.dialogs = &dialogs_;
    services.formats = testing::PinnedFormats();
    form_ = std::make_unique<TForm1>(services);
    form_->show();
  }

  discovery::TspDeviceBox& Box() { return *form_->spDeviceBox1; }
  bool Listed(int port) { return Box().findText(QStringLiteral("COM%1").arg(port)) >= 0; }
  // The operator walks the list with the arrow keys (each step a pick, as in any drop-down
  // list) until the port is chosen.
  void PickWithKeys(int port) {
    const QString name = QStringLiteral("COM%1").arg(port);
    ASSERT_GE(Box().findText(name), 0);
    for (int i = 0; i < 20 && Box().currentText() != name; ++i) {
      QTest::keyClick(&Box(),
                      Box().findText(name) > Box().currentIndex() ? Qt::Key_Down : Qt::Key_Up);
    }
    ASSERT_EQ(Box().currentText(), name);
  }

  bool ProcessUntil(const std::function<bool()>& done,
                    std::chrono::milliseconds timeout = kDeadline) {
    return testing::ProcessEventsUntil(done, timeout);
  }

  bool Connected(int number) const {
    return form_->Label14->text() == QStringLiteral("Połączono z szafką nr %1").arg(number);
  }

  testing::PrivateConfigHome home_;  // first: the port map is private before anyone registers
  testing::TempDir dir_;
  testing::ScopedWorkingDir cwd_{dir_.path()};
  testing::RecordingDialogs dialogs_;
  std::unique_ptr<SimProcess> first_;
  std::unique_ptr<SimProcess> second_;
  std::unique_ptr<TForm1> form_;
};

TEST_F(PortDiscoveryEndToEnd, OperatorPicksAPortFollowsANewAdapterAndFindsItAfterARestart) {
  first_ = Sim(1, "first.log");
  ASSERT_TRUE(first_->Ready());
  StartWindow();
  const int a = first_->Port();
  ASSERT_TRUE(Listed(a));
  EXPECT_GE(a, 3);  // the simulator took a number as a new USB adapter does

  PickWithKeys(a);
  form_->SpeedButton2->click();  // "Połącz"
  ASSERT_TRUE(dialogs_.errors.isEmpty()) << dialogs_.errors.join("|").toStdString();
  ASSERT_TRUE(ProcessUntil([&] { return Connected(1); })) << form_->Label14->text().toStdString();

  // Another adapter is plugged in while the tool runs: it appears in the list by itself, and
  // the port in use stays selected and connected.
  const auto plugged_at = SteadyClock::now();
  second_ = Sim(2, "second.log");
  ASSERT_TRUE(second_->Ready());
  const int b = second_->Port();
  ASSERT_NE(a, b);
  ASSERT_TRUE(ProcessUntil([&] { return Listed(b); }));
  const double shown_ms =
      std::chrono::duration<double, std::milli>(SteadyClock::now() - plugged_at).count();
  RecordProperty("new_port_listed_ms", static_cast<int>(shown_ms));
  std::cout << "new adapter listed " << shown_ms << " ms after the simulator was started\n";
  EXPECT_EQ(Box().currentText(), QStringLiteral("COM%1").arg(a));
  EXPECT_TRUE(form_->spComm1->Active());

  // Picking it moves the open connection there.
  PickWithKeys(b);
  EXPECT_TRUE(dialogs_.errors.isEmpty()) << dialogs_.errors.join("|").toStdString();
  EXPECT_TRUE(form_->spComm1->Active());
  ASSERT_TRUE(ProcessUntil([&] { return Connected(2); })) << form_->Label14->text().toStdString();
  EXPECT_EQ(records::ReadPortChoice(dir_ / "Config.ini"), b);

  // Pulled out, it leaves the list; plugged in again, it comes back.
  EXPECT_EQ(second_->Command("hangup"), "veldoran-sim: COM" + std::to_string(b) + " unplugged");
  ASSERT_TRUE(ProcessUntil([&] { return !Listed(b); }));
  EXPECT_TRUE(Listed(a));
  ASSERT_TRUE(second_->Command("plug").has_value());
  ASSERT_TRUE(ProcessUntil([&] { return Listed(b); }));

  // A restart selects the port picked last; it opens at "Połącz".
  form_.reset();
  ASSERT_TRUE(ProcessUntil([] { return serial::detail::RunningCommThreads() == 0; }));
  StartWindow();
  EXPECT_EQ(form_->spComm1->ComPortNo(), b);
  EXPECT_EQ(Box().currentText(), QStringLiteral("COM%1").arg(b));
  form_->SpeedButton2->click();
  ASSERT_TRUE(dialogs_.errors.isEmpty()) << dialogs_.errors.join("|").toStdString();
  EXPECT_TRUE(ProcessUntil([&] { return Connected(2); })) << form_->Label14->text().toStdString();
}

// The adapter is pulled out while connected and plugged in again: the tool opens it by itself
// and the heartbeat finds the controller; after "Rozłącz" a replug opens nothing.
TEST_F(PortDiscoveryEndToEnd, AnAdapterPluggedInAgainIsReopenedWhileConnectIsPressed) {
  first_ = Sim(1, "first.log");
  ASSERT_TRUE(first_->Ready());
  StartWindow();
  const int a = first_->Port();
  PickWithKeys(a);
  form_->SpeedButton2->click();  // "Połącz"
  ASSERT_TRUE(ProcessUntil([&] { return Connected(1); })) << form_->Label14->text().toStdString();

  ASSERT_TRUE(first_->Command("hangup").has_value());
  ASSERT_TRUE(ProcessUntil([&] { return !form_->spComm1->Active() && !Listed(a); }));
  ASSERT_TRUE(ProcessUntil([&] { return form_->Label14->text() == "Rozłączony"; }));
  const auto plugged_at = SteadyClock::now();
  ASSERT_TRUE(first_->Command("plug").has_value());
  ASSERT_TRUE(ProcessUntil([&] { return Connected(1); })) << form_->Label14->text().toStdString();
  std::cout << "connected again "
            << std::chrono::duration<double, std::milli>(SteadyClock::now() - plugged_at).count()
            << " ms after the replug\n";
  EXPECT_EQ(form_->spComm1->ComPortNo(), a);
  EXPECT_TRUE(dialogs_.AllBoxes().isEmpty()) << dialogs_.AllBoxes().join("|").toStdString();

  form_->SpeedButton1->click();  // "Rozłącz"
  ASSERT_TRUE(first_->Command("hangup").has_value());
  ASSERT_TRUE(ProcessUntil([&] { return !Listed(a); }));
  ASSERT_TRUE(first_->Command("plug").has_value());
  ASSERT_TRUE(ProcessUntil([&] { return Listed(a); }));
  ProcessUntil([] { return false; }, 1500ms);
  EXPECT_FALSE(form_->spComm1->Active());
}

TEST_F(PortDiscoveryEndToEnd, ABrokenPortMapNeverEmptiesTheToolAndAVanishedDeviceSaysWhy) {
  // No port map folder at all: the window comes up, with whatever real ports the machine has.
  ASSERT_FALSE(std::filesystem::exists(home_.PortLink(1).parent_path()));
  StartWindow();
  EXPECT_TRUE(dialogs_.AllBoxes().isEmpty()) << dialogs_.AllBoxes().join("|").toStdString();
  const int real_ports = Box().count();
  form_.reset();

  // A folder of links to devices that are gone lists none of them; one whose device is there
  // is listed. Its device then vanishes before the operator opens it.
  std::filesystem::create_directories(home_.PortLink(1).parent_path());
  for (int n : {20, 21, 22}) {
    std::filesystem::create_symlink("/dev/veldoran-no-such-device", home_.PortLink(n));
  }
  const std::filesystem::path device = dir_ / "tty-of-a-vanishing-adapter";
  testing::WriteFileBytes(device, "");
  std::filesystem::create_symlink(device, home_.PortLink(23));
  StartWindow();
  EXPECT_EQ(Box().count(), real_ports + 1);
  EXPECT_FALSE(Listed(20) || Listed(21) || Listed(22));
  ASSERT_TRUE(Listed(23));
  std::filesystem::remove(device);
  PickWithKeys(23);
  form_->SpeedButton2->click();  // "Połącz"
  ASSERT_EQ(dialogs_.errors.size(), 1);
  EXPECT_TRUE(dialogs_.errors[0].startsWith("Device \"COM23\" Open Error !!!\r"))
      << dialogs_.errors[0].toStdString();
  EXPECT_FALSE(form_->spComm1->Active());
}

}  // namespace
}  // namespace veldoran::app
