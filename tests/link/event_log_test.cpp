// Reading, clearing and setting the clock of the controller's event memory, on the real window
// with the controller model answering on the fake port.
#include <QProgressBar>

#include "link/protocol.h"
#include "serial/spcomm.h"
#include "support/window_fixture.h"
#include "ui/status_bar.h"
#include "ui/string_grid.h"
#include "ui/timer.h"

namespace veldoran::link {
namespace {

class EventLogTest : public testing::WindowTest {
 protected:
  void SetUp() override {
    Connect();
    Form().Timer1->SetEnabled(false);  // the tests tick the heartbeat themselves
    Form().Timer2->SetEnabled(false);
  }
  // A status query answered, as the heartbeat would get it.
  void Status() {
    const unsigned before = Form().StatusLinesHandled;
    Form().spComm1->SendString("0\r");
    ASSERT_TRUE(ProcessUntil([&] { return Form().StatusLinesHandled != before; }));
  }
};

TEST_F(EventLogTest, ReadFillsTheGridWithTheReportedEvents) {
  controller_.model().SetCard(4, "0011AABB");
  Form().StringGrid3->SetCell(1, 5, "Nowak");
  Form().StringGrid3->SetCell(3, 5, "0011AABB");
  controller_.model().AddRandomEvents(12);
  Status();
  ASSERT_EQ(Form().EventCount, 12);
  controller_.ClearWritten();
  Form().Button3Click();
  EXPECT_EQ(controller_.Written(), "5\r");
  EXPECT_FALSE(Form().Timer1->Enabled());
  EXPECT_TRUE(Form().Timer2->Enabled());
  EXPECT_EQ(Form().Timer2->Interval(), 10000);
  EXPECT_TRUE(clock_.sleeps.empty());  // returns at once
  ASSERT_TRUE(ProcessUntil([&] { return !dialogs_.messages.isEmpty(); }));
  EXPECT_EQ(dialogs_.messages, QStringList{"Odczytano 12 zdarzeń"});
  EXPECT_TRUE(Form().Timer1->Enabled());
  ASSERT_EQ(Form().StringGrid1->RowCount(), 13);
  EXPECT_EQ(Form().ProgressBar2->value(), 0);
  for (int row = 1; row <= 12; ++row) {
    EXPECT_EQ(Form().StringGrid1->Cell(0, row), QString::number(row));
    EXPECT_EQ(Form().StringGrid1->Cell(1, row), "Nowak");  // every event is card slot 4's
    EXPECT_EQ(Form().StringGrid1->Cell(5, row), "1");
    EXPECT_EQ(Form().StringGrid1->Cell(6, row), "Szafka 1");
    EXPECT_FALSE(Form().StringGrid1->Cell(3, row).isEmpty());
  }
}

TEST_F(EventLogTest, ReadOfAnEmptyMemoryShowsOneEmptyRow) {
  Status();
  Form().Button3Click();
  ASSERT_TRUE(ProcessUntil([&] { return !dialogs_.messages.isEmpty(); }));
  EXPECT_EQ(dialogs_.messages, QStringList{"Odczytano 0 zdarzeń"});
  EXPECT_EQ(Form().StringGrid1->RowCount(), 2);
  EXPECT_EQ(Form().StringGrid1->Cell(0, 1), "1");
  EXPECT_EQ(Form().StringGrid1->Cell(1, 1), "");
}

TEST_F(EventLogTest, ClearingAnswersWithAStatusLineAndLeavesTheGrid) {
  controller_.model().AddRandomEvents(3);
  Status();
  Form().Button3Click();
  ASSERT_TRUE(ProcessUntil([&] { return !dialogs_.messages.isEmpty(); }));
  dialogs_.Clear();
  controller_.ClearWritten();
  Form().Button5Click();
  EXPECT_EQ(controller_.Written(), "3\r");
  EXPECT_EQ(clock_.sleeps, std::vector<int>{500});
  EXPECT_EQ(dialogs_.messages, QStringList{"Pamięć została zwolniona."});
  EXPECT_EQ(Form().EventCount, 0);
  EXPECT_EQ(Form().StatusBar1->PanelText(4), "Liczba zdarzeń: 0");
  EXPECT_EQ(Form().StringGrid1->RowCount(), 4);  // the previous events stay in the grid
  EXPECT_FALSE(Form().Timer1->Enabled());
  EXPECT_EQ(Form().Timer2->Interval(), 2000);
  EXPECT_TRUE(controller_.model().Events().empty());
}

TEST_F(EventLogTest, SilentControllerFailsClearingAndSettingTheClock) {
  controller_.SetSilent(true);
  Form().Button5Click();
  Form().Button6Click();
  EXPECT_EQ(dialogs_.messages, (QStringList{"Coś poszło nie tak!", "Coś poszło nie tak!"}));
  EXPECT_TRUE(controller_.model().Events().empty());
}

TEST_F(EventLogTest, SettingTheClockSendsThePcTimeThenAStatusQuery) {
  clock_.Set(EncodeDayCount({2020, 1, 1, 0, 0, 0, 0}));
  Form().Button6Click();
  EXPECT_EQ(controller_.Written(), "45E0BC4E0\r0\r");
  EXPECT_EQ(clock_.sleeps, (std::vector<int>{200, 500}));
  EXPECT_EQ(dialogs_.messages, QStringList{"Czas został przeslany."});
  EXPECT_NEAR(controller_.model().ClockNow(), 1577829600, 2);
}

TEST_F(EventLogTest, StatusAnswerLaterThanTheWaitsFailsSettingTheClock) {
  // The controller answers the query only after the tool's two rounds have passed.
  std::string held;
  controller_.SetReplyFilter([&](const std::string& reply) {
    held += reply;
    return std::string();
  });
  Form().Button6Click();
  EXPECT_EQ(dialogs_.messages, QStringList{"Coś poszło nie tak!"});
  controller_.SetReplyFilter(nullptr);
  driver_->InjectInput("COM1", held);  // the late answer still updates the window afterwards
  ASSERT_TRUE(ProcessUntil([&] { return Form().ReplySeen; }));
}

TEST_F(EventLogTest, HangUpDuringAReadLeavesTheWindowResponsive) {
  controller_.model().AddRandomEvents(900);
  Status();
  controller_.SetReplyFilter([&](const std::string& reply) { return reply.substr(0, 21 * 300); });
  Form().Button3Click();
  ASSERT_TRUE(ProcessUntil([&] { return Form().ProgressBar2->value() >= 29; }));
  driver_->Unplug("COM1");
  ASSERT_TRUE(ProcessUntil([&] { return !Form().spComm1->Active(); }));
  EXPECT_TRUE(dialogs_.messages.isEmpty());  // no end of read, no grid fill
  EXPECT_EQ(Form().StringGrid1->RowCount(), 2);
  Form().Timer1Timer();
  Form().Timer1Timer();
  EXPECT_EQ(Form().Label14->text(), "Rozłączony");
}

// A controller that goes silent half-way: when the pause ends the operator learns, once, how
// many records came; the grid keeps the previous read.
TEST_F(EventLogTest, ReadCutOffHalfWayIsReportedOnceWhenThePauseEnds) {
  controller_.model().AddRandomEvents(3);
  Status();
  Form().Button3Click();
  ASSERT_TRUE(ProcessUntil([&] { return dialogs_.messages.size() == 1; }));
  Form().Timer2Timer();  // the pause of a completed read ends: nothing to tell
  EXPECT_EQ(dialogs_.messages, QStringList{"Odczytano 3 zdarzeń"});

  controller_.model().AddRandomEvents(500);
  Status();
  controller_.SetReplyFilter([&](const std::string& reply) { return reply.substr(0, 21 * 312); });
  Form().Button3Click();
  ASSERT_TRUE(ProcessUntil([&] { return Form().ProgressBar2->value() >= 31; }));
  SettleDeliveries();
  EXPECT_EQ(dialogs_.messages.size(), 1);
  Form().Timer2Timer();
  EXPECT_EQ(dialogs_.messages.mid(1),
            QStringList{"Odczyt zdarzeń nie został ukończony: odebrano 312 z 1000 rekordów."});
  EXPECT_TRUE(Form().Timer1->Enabled());
  EXPECT_EQ(Form().StringGrid1->RowCount(), 4);  // the previous read's three events
  Form().Timer2Timer();
  EXPECT_EQ(dialogs_.messages.size(), 2);
}

}  // namespace
}  // namespace veldoran::link
