// "Połącz", "Rozłącz", the heartbeat and the port-open guard on the real window, with the
// controller model answering on the fake port.
#include <QLabel>
#include <QPushButton>

#include "link/protocol.h"
#include "serial/spcomm.h"
#include "support/window_fixture.h"
#include "ui/status_bar.h"
#include "ui/string_grid.h"
#include "ui/timer.h"

namespace veldoran::link {
namespace {

class ConnectionTest : public testing::WindowTest {
 protected:
  QString Label() { return Form().Label14->text(); }
  QColor LabelColor() { return Form().Label14->palette().color(QPalette::WindowText); }
  // One heartbeat tick, then the controller's answer delivered.
  void Tick() {
    const unsigned before = Form().StatusLinesHandled;
    Form().Timer1Timer();
    if (Form().spComm1->Active() && !controller_.Silent()) {
      ASSERT_TRUE(ProcessUntil([&] { return Form().StatusLinesHandled != before; }));
    }
  }
};

TEST_F(ConnectionTest, ConnectOpensThePortWithTheLineSettings) {
  Form().Timer1->SetEnabled(false);
  Connect();
  EXPECT_TRUE(Form().spComm1->Active());
  EXPECT_TRUE(Form().Timer1->Enabled());
  EXPECT_TRUE(Form().SpeedButton2->isChecked());
  const win::FakePortInfo info = driver_->Info("COM1");
  EXPECT_TRUE(info.open);
  EXPECT_EQ(info.dcb.BaudRate, 57600u);
  EXPECT_EQ(info.dcb.ByteSize, 8);
  EXPECT_EQ(info.dcb.Parity, 0);
  EXPECT_EQ(info.dcb.StopBits, 0);
  EXPECT_EQ(info.in_queue_size, 20000u);
  EXPECT_EQ(info.out_queue_size, 8192u);
  EXPECT_EQ(info.timeouts.WriteTotalTimeoutMultiplier, 100u);
  EXPECT_EQ(info.timeouts.ReadTotalTimeoutMultiplier, 0u);

  Form().SpeedButton1->click();
  EXPECT_FALSE(Form().spComm1->Active());
  EXPECT_FALSE(driver_->Info("COM1").open);
  EXPECT_TRUE(Form().Timer1->Enabled());  // the heartbeat keeps running
}

TEST_F(ConnectionTest, FailedConnectShowsTheOpenErrorAndLeavesConnectPressed) {
  Form().spComm1->SetComPortNo(7);
  Form().SpeedButton2->click();
  ASSERT_EQ(dialogs_.errors.size(), 1);
  EXPECT_TRUE(dialogs_.errors[0].startsWith("Device \"COM7\" Open Error !!!\r"))
      << dialogs_.errors[0].toStdString();
  EXPECT_GT(dialogs_.errors[0].size(), QString("Device \"COM7\" Open Error !!!\r").size());
  EXPECT_FALSE(Form().spComm1->Active());
  EXPECT_TRUE(Form().SpeedButton2->isChecked());
  EXPECT_TRUE(Form().Timer1->Enabled());
}

TEST_F(ConnectionTest, BusyPortIsRefusedWithTheOpenError) {
  // Another program holds the port.
  const win::HANDLE other = driver_->CreateFileA("\\\\?\\COM1", 0xC0000000, 0, 3, 0x40000000);
  ASSERT_NE(other, win::InvalidHandle());
  Form().SpeedButton2->click();
  ASSERT_EQ(dialogs_.errors.size(), 1);
  EXPECT_TRUE(dialogs_.errors[0].startsWith("Device \"COM1\" Open Error !!!\r"));
  EXPECT_FALSE(Form().spComm1->Active());
  driver_->CloseHandle(other);
}

TEST_F(ConnectionTest, ClosedPortShowsTheLossAtTheFirstTickAndSendsNothing) {
  EXPECT_EQ(Label(), "brak połączenia");
  EXPECT_EQ(Form().StatusBar1->PanelText(0), "");
  Form().Timer1Timer();
  EXPECT_EQ(Label(), "Rozłączony");
  EXPECT_EQ(LabelColor(), QColor(255, 0, 0));
  EXPECT_EQ(Form().StatusBar1->PanelText(0), "Rozłączony");
  EXPECT_TRUE(controller_.Written().empty());
  EXPECT_TRUE(dialogs_.AllBoxes().isEmpty());
}

TEST_F(ConnectionTest, AnsweringControllerKeepsTheLabelGreenWithoutFlicker) {
  controller_.model().SetNumber(4);
  Connect();
  Tick();  // first tick: nothing seen yet, then the answer turns the label green
  EXPECT_EQ(Label(), "Połączono z szafką nr 4");
  EXPECT_EQ(LabelColor(), QColor(0, 255, 0));
  for (int i = 0; i < 5; ++i) {
    Form().Timer1Timer();
    EXPECT_EQ(Label(), "Połączono z szafką nr 4") << "tick " << i;  // judged before the reply
    ASSERT_TRUE(ProcessUntil([&] { return Form().ReplySeen; }));
  }
  EXPECT_EQ(controller_.Written(), "0\r0\r0\r0\r0\r0\r");
}

TEST_F(ConnectionTest, AfterDisconnectTheLossShowsWithinTwoTicks) {
  Connect();
  Tick();
  ASSERT_EQ(Label(), "Połączono z szafką nr 1");
  Form().SpeedButton1->click();
  EXPECT_EQ(Label(), "Połączono z szafką nr 1");  // keeps its last text
  Form().Timer1Timer();
  Form().Timer1Timer();
  EXPECT_EQ(Label(), "Rozłączony");
  EXPECT_FALSE(Form().StatusBar1->PanelText(1).isEmpty());  // other panels keep their texts
}

TEST_F(ConnectionTest, SilentControllerIsShownOnlyInTheLabel) {
  Connect();
  Tick();
  controller_.SetSilent(true);
  Form().Timer1Timer();  // judges the answered query
  EXPECT_EQ(Label(), "Połączono z szafką nr 1");
  Form().Timer1Timer();  // judges the unanswered one
  EXPECT_EQ(Label(), "Rozłączony");
  EXPECT_TRUE(dialogs_.AllBoxes().isEmpty());
  controller_.SetSilent(false);
  Tick();
  EXPECT_EQ(Label(), "Połączono z szafką nr 1");  // the next status line restores it
}

TEST_F(ConnectionTest, GuardRefusesOnAClosedPortAndLeavesTheHeartbeatRunning) {
  for (auto click :
       {&app::TForm1::Button3Click, &app::TForm1::Button5Click, &app::TForm1::Button6Click,
        &app::TForm1::Button17Click, &app::TForm1::Button16Click}) {
    dialogs_.Clear();
    (Form().*click)();
    EXPECT_EQ(dialogs_.messages, QStringList{"Brak połączenia z kontrolerem. Sprawdź port COM. "});
    EXPECT_TRUE(Form().Timer1->Enabled());
    EXPECT_EQ(Form().Timer2->Interval(), 1000);
  }
  EXPECT_TRUE(controller_.Written().empty());
  EXPECT_TRUE(clock_.sleeps.empty());
}

TEST_F(ConnectionTest, PauseEndsThroughTimer2) {
  Form().Timer1->SetEnabled(false);
  Form().Timer2->SetEnabled(true);
  Form().Timer2Timer();
  EXPECT_TRUE(Form().Timer1->Enabled());
  EXPECT_FALSE(Form().Timer2->Enabled());
}

TEST_F(ConnectionTest, UnpluggedAdapterClosesThePortAndTheHeartbeatCarriesOn) {
  Connect();
  Tick();
  driver_->Unplug("COM1");
  ASSERT_TRUE(ProcessUntil([&] { return !Form().spComm1->Active(); }));
  Form().Timer1Timer();
  Form().Timer1Timer();
  EXPECT_EQ(Label(), "Rozłączony");
  EXPECT_TRUE(dialogs_.errors.isEmpty());
}

TEST_F(ConnectionTest, ReconnectingDropsWhatABrokenReadLeftUnfinished) {
  Connect();
  Tick();
  // The line went down right after the first byte of an event record.
  Deliver("Z");
  driver_->Unplug("COM1");
  ASSERT_TRUE(ProcessUntil([&] { return !Form().spComm1->Active(); }));
  Form().Timer1Timer();
  Form().Timer1Timer();
  ASSERT_EQ(Label(), "Rozłączony");

  // Plugged back in: the first status line is read as what it is. Joined to the stale "Z" it
  // would read as an event record of slot 1000h, which ends a read that never completed.
  driver_->AddPort("COM1");
  Form().SpeedButton2->click();
  ASSERT_TRUE(Form().spComm1->Active());
  const unsigned before = Form().StatusLinesHandled;
  Tick();
  EXPECT_EQ(Form().StatusLinesHandled, before + 1);
  EXPECT_EQ(Label(), "Połączono z szafką nr 1");
  EXPECT_TRUE(dialogs_.AllBoxes().isEmpty()) << dialogs_.AllBoxes().join("|").toStdString();
  EXPECT_EQ(Form().StringGrid1->RowCount(), 2);  // no grid fill
}

}  // namespace
}  // namespace veldoran::link
