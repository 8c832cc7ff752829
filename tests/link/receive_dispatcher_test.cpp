// Controller replies delivered to the real window, in the pieces a serial line produces.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "link/protocol.h"
#include "serial/spcomm.h"
#include "support/window_fixture.h"
#include "ui/dialogs.h"
#include "ui/status_bar.h"
#include "ui/string_grid.h"
#include "ui/timer.h"

namespace veldoran::link {
namespace {

using protocol::Hex;

// Replies built position by position; "." marks the positions the tool does not examine.
std::string Status(int number, int events, std::uint32_t clock, const char* extra = ".") {
  return "S.." + Hex(number, 2) + "." + Hex(events, 4) + "..XXXX.." + Hex(clock, 8) + extra;
}
std::string Record(int number, int slot, int user_slot, std::uint32_t clock) {
  return "Z." + Hex(number, 2) + "." + Hex(slot, 4) + "." + Hex(user_slot, 2) + "." + Hex(clock, 8);
}
std::string Ack(const std::string& code) { return "ZU......" + code + "..."; }
std::string CardRead(const std::string& code) { return "W......" + code + "..."; }

constexpr std::uint32_t k2020 = 1577829600;  // 2020-01-01 00:00:00 local

class DispatcherTest : public testing::WindowTest {
 protected:
  ui::TStatusBar& Bar() { return *Form().StatusBar1; }
};

TEST_F(DispatcherTest, ReplyLayoutsAsBuiltHere) {
  EXPECT_EQ(Status(1, 0, 0).size(), protocol::status_line::kLength);
  EXPECT_EQ(Record(1, 0, 0, 0).size(), protocol::event_record::kLength);
  EXPECT_EQ(Ack("12345678").size(), protocol::upload_ack::kLength);
  EXPECT_EQ(CardRead("12345678").size(), protocol::card_read_line::kLength);
}

TEST_F(DispatcherTest, StatusLineSplitOverTwoDeliveriesIsHandledWhenComplete) {
  const std::string line = Status(10, 0x3E7, k2020, ".\r\n");
  Deliver(line.substr(0, 10));
  EXPECT_FALSE(Form().ReplySeen);
  EXPECT_EQ(Form().ReceiveBuffer, line.substr(0, 10));
  Deliver(line.substr(10, 20));
  EXPECT_TRUE(Form().ReplySeen);
  EXPECT_EQ(Form().ControllerNumber, 10);
  EXPECT_EQ(Form().EventCount, 999);
  EXPECT_EQ(Form().Label14->text(), "Połączono z szafką nr 10");
  EXPECT_EQ(Form().Label14->palette().color(QPalette::WindowText), QColor(0, 255, 0));
  EXPECT_EQ(Bar().PanelText(0), "Połączono z szafką nr 10");
  EXPECT_EQ(Bar().PanelText(1), "2020-01-01  00:00:00");
  EXPECT_EQ(Bar().PanelText(4), "Liczba zdarzeń: 999");
  EXPECT_TRUE(Form().ReceiveBuffer.empty());
}

TEST_F(DispatcherTest, StatusLineFieldsReadLowercaseAndJunkDigits) {
  Deliver("S..0a.03e7..XXXX..5e0bc4e0.");
  EXPECT_EQ(Form().ControllerNumber, 10);
  EXPECT_EQ(Form().EventCount, 999);
  EXPECT_EQ(Bar().PanelText(1), "2020-01-01  00:00:00");
  Deliver("S..G1.  1 ..XXXX..00000000.");
  EXPECT_EQ(Form().ControllerNumber, 1);
  EXPECT_EQ(Form().EventCount, 0x0010);
  EXPECT_EQ(Bar().PanelText(1), "1970-01-01  02:00:00");
  Deliver("S..01.0000..XXXX..80000000.");  // first digit 8 or more: before 1970
  EXPECT_EQ(Bar().PanelText(1), "1901-12-13  22:45:52");
}

TEST_F(DispatcherTest, LineEndAfterStatusLineIsDroppedAtTheNextDelivery) {
  Deliver(Status(1, 2, k2020));
  EXPECT_TRUE(Form().ReceiveBuffer.empty());
  EXPECT_EQ(Form().EventCount, 2);
  Deliver("\r\n" + Record(1, 0, 4, k2020));
  EXPECT_TRUE(Form().ReceiveBuffer.empty());
  EXPECT_EQ(Form().Events[0].UserSlot, 4);
}

TEST_F(DispatcherTest, StatusLineTakesEverythingAfterItWithIt) {
  Deliver(Status(3, 5, k2020, ".\r\n") + Record(3, 0, 1, k2020) + Record(3, 1, 2, k2020));
  EXPECT_EQ(Form().ControllerNumber, 3);
  EXPECT_TRUE(Form().ReceiveBuffer.empty());
  EXPECT_EQ(Form().Events[0].DateText, "");
  EXPECT_EQ(Form().Events[1].DateText, "");
}

TEST_F(DispatcherTest, BackToBackRecordsAreBothHandledButACarriageReturnParksTheSecond) {
  Form().StringGrid2->SetCell(1, 2, "Hala B");
  Deliver(Record(2, 7, 9, k2020) + Record(2, 8, 10, k2020 + 61));
  const Tevent& a = Form().Events[7];
  EXPECT_EQ(a.DateText, "2020-01-01");
  EXPECT_EQ(a.TimeText, "00:00:00");
  EXPECT_EQ(a.LockerNumber, 2);
  EXPECT_EQ(a.UserSlot, 9);
  EXPECT_EQ(a.Location, "Hala B");
  EXPECT_EQ(Form().Events[8].TimeText, "00:01:01");
  EXPECT_EQ(Form().ProgressBar2->value(), 0);  // slot 8 / 10

  Deliver(Record(2, 20, 1, k2020) + "\r" + Record(2, 21, 1, k2020));
  EXPECT_EQ(Form().Events[20].UserSlot, 1);
  EXPECT_EQ(Form().Events[21].DateText, "");
  EXPECT_EQ(Form().ProgressBar2->value(), 2);
  Deliver("");  // a delivery of nothing still runs the steps
  EXPECT_EQ(Form().Events[21].DateText, "2020-01-01");
}

TEST_F(DispatcherTest, LocationFollowsTheRecordsControllerNumber) {
  Form().StringGrid2->SetCell(1, 10, "Szatnia");
  Deliver(Record(10, 1, 0, k2020) + Record(0, 2, 0, k2020) + Record(11, 3, 0, k2020));
  EXPECT_EQ(Form().Events[1].Location, "Szatnia");
  EXPECT_EQ(Form().Events[2].Location, "Lokalizacja szafki");  // number 0 reads the heading
  EXPECT_EQ(Form().Events[3].Location, "");
  EXPECT_EQ(Form().Events[3].LockerNumber, 11);
  EXPECT_EQ(Form().ControllerNumber, 11);
}

TEST_F(DispatcherTest, LastSlotsMoveTheBarAndEndTheRead) {
  Deliver(Status(1, 0, k2020));
  Form().Timer1->SetEnabled(false);  // paused by the read
  Deliver(Record(1, 998, 0, k2020));
  EXPECT_EQ(Form().ProgressBar2->value(), 99);
  Deliver(Record(1, 999, 0, k2020));
  EXPECT_TRUE(Form().Timer1->Enabled());
  EXPECT_EQ(Form().ProgressBar2->value(), 0);
  EXPECT_EQ(Form().StringGrid1->Cell(0, 1), "1");
  ASSERT_TRUE(ProcessUntil([&] { return !dialogs_.messages.isEmpty(); }));
  EXPECT_EQ(dialogs_.messages, QStringList{"Odczytano 0 zdarzeń"});
}

// A real modal box on the real window, the fake controller answering on the port: while the
// box is open, replies go on being handled, and a further end of a read refills the grid but
// opens no second box.
TEST_F(DispatcherTest, RepliesAreHandledWhileTheEndOfReadBoxIsOpen) {
  Connect();
  Form().Timer1->SetEnabled(false);  // the test sends the queries itself
  controller_.model().AddRandomEvents(2);
  Form().spComm1->SendString("0\r");
  ASSERT_TRUE(ProcessUntil([&] { return Form().EventCount == 2; }));
  int rows_when_shown = 0;
  bool replies_while_open = false;
  dialogs_.on_message = [&](const QString& text) {
    rows_when_shown = Form().StringGrid1->RowCount();
    QTimer::singleShot(0, [&] {  // runs in the box's own event loop
      Form().Timer1->SetEnabled(false);
      controller_.model().AddRandomEvents(1);
      Form().spComm1->SendString("0\r");
      replies_while_open = ProcessUntil([&] { return Form().EventCount == 3; });
      Form().spComm1->SendString("5\r");
      EXPECT_TRUE(ProcessUntil([&] { return Form().StringGrid1->RowCount() == 4; }));
      ProcessUntil([] { return false; }, std::chrono::milliseconds(50));
      qobject_cast<QMessageBox*>(QApplication::activeModalWidget())
          ->button(QMessageBox::Ok)
          ->click();
    });
    ui::QtDialogs(&Form()).ShowMessage(text);
  };
  Form().Button3Click();
  ASSERT_TRUE(ProcessUntil([&] { return !dialogs_.messages.isEmpty(); }));
  EXPECT_EQ(rows_when_shown, 3);  // the grid was filled before the box opened
  EXPECT_TRUE(replies_while_open);
  EXPECT_EQ(dialogs_.messages, QStringList{"Odczytano 2 zdarzeń"});

  dialogs_.on_message = nullptr;  // with the box closed, the next end has its box again
  Deliver(Record(1, 999, 0, k2020));
  ASSERT_TRUE(ProcessUntil([&] { return dialogs_.messages.size() == 2; }));
  EXPECT_EQ(dialogs_.messages[1], "Odczytano 3 zdarzeń");
}

TEST_F(DispatcherTest, ReadEndsWithTheCountOfTheLastStatusLineHoweverManyArrived) {
  Form().StringGrid3->SetCell(1, 6, "Nowak");
  Form().StringGrid3->SetCell(2, 6, "Anna");
  Form().StringGrid3->SetCell(3, 6, "0000ABCD");
  Form().StringGrid2->SetCell(1, 4, "Szafka 4");
  Deliver(Status(4, 2, k2020));
  Deliver(Record(4, 0, 5, k2020) + Record(4, 1, 200, k2020 + 3600) + Record(4, 999, 0, k2020));
  ASSERT_TRUE(ProcessUntil([&] { return !dialogs_.messages.isEmpty(); }));
  EXPECT_EQ(dialogs_.messages, QStringList{"Odczytano 2 zdarzeń"});
  const ui::TStringGrid& g = *Form().StringGrid1;
  ASSERT_EQ(g.RowCount(), 3);
  EXPECT_EQ(g.Cell(0, 1), "1");
  EXPECT_EQ(g.Cell(1, 1), "Nowak");
  EXPECT_EQ(g.Cell(2, 1), "Anna");
  EXPECT_EQ(g.Cell(3, 1), "2020-01-01");
  EXPECT_EQ(g.Cell(4, 1), "00:00:00");
  EXPECT_EQ(g.Cell(5, 1), "4");
  EXPECT_EQ(g.Cell(6, 1), "Szafka 4");
  Form().StringGrid2->SetCell(1, 4, "Nowa nazwa");  // the name is taken when the record arrives
  Form().FillEventsGrid();
  EXPECT_EQ(g.Cell(6, 1), "Szafka 4");
  EXPECT_EQ(g.Cell(7, 1), "0000ABCD");
  EXPECT_EQ(g.Cell(1, 2), "");  // card slot 200 has no users-grid row
  EXPECT_EQ(g.Cell(7, 2), "");
  EXPECT_EQ(g.Cell(4, 2), "01:00:00");
}

TEST_F(DispatcherTest, EveryFurtherLastRecordEndsTheReadAgainButBoxesDoNotPileUp) {
  Deliver(Status(1, 1, k2020));
  Deliver(Record(1, 999, 0, k2020) + Record(1, 0, 3, k2020) + Record(1, 1000, 0, k2020));
  EXPECT_EQ(Form().StringGrid1->Cell(3, 1), "2020-01-01");  // the second end filled it again
  ASSERT_TRUE(ProcessUntil([&] { return !dialogs_.messages.isEmpty(); }));
  ProcessUntil([] { return false; }, std::chrono::milliseconds(50));
  EXPECT_EQ(dialogs_.messages.size(), 1);
}

TEST_F(DispatcherTest, RecordsForSlotsOutsideTheTableAreNotStored) {
  Deliver(Status(1, 1, k2020));
  Deliver(Record(1, 1000, 7, k2020));
  EXPECT_EQ(Form().Events[1000].UserSlot, 7);  // the last slot of the table
  dialogs_.Clear();
  Deliver(Record(1, 0xFFFF, 8, k2020));
  EXPECT_EQ(Form().Events[1000].UserSlot, 7);
  EXPECT_EQ(Form().ProgressBar2->value(), 0);
  ASSERT_TRUE(ProcessUntil([&] { return !dialogs_.messages.isEmpty(); }));  // still the end
}

TEST_F(DispatcherTest, AcknowledgementsCountOnlyEchoesOfTheLastSentCode) {
  Form().LastSentCode = "12AB34CD";
  Form().Timer1->SetEnabled(true);
  Form().Timer2->SetEnabled(false);
  Deliver(Ack("12AB34CD") + Ack("12ab34cd"));
  EXPECT_EQ(Form().AckCount, 1);
  EXPECT_EQ(Form().SavedCount, 1);
  EXPECT_EQ(Form().EchoedCode, "12ab34cd");
  EXPECT_EQ(Form().ProgressBar1->value(), 1);
  EXPECT_FALSE(Form().Timer1->Enabled());
  EXPECT_TRUE(Form().Timer2->Enabled());
  EXPECT_EQ(Form().Timer2->Interval(), 2000);

  Form().LastSentCode = "FFFFFFFF";
  Deliver(Ack("FFFFFFFF"));
  EXPECT_EQ(Form().AckCount, 2);
  EXPECT_EQ(Form().SavedCount, 1);  // empty slots are acknowledged but not saved cards
  EXPECT_EQ(Form().ProgressBar1->value(), 2);
}

TEST_F(DispatcherTest, AnEventRecordNeverReturnsToAcknowledgements) {
  Form().LastSentCode = "00000001";
  Deliver(Record(1, 5, 0, k2020) + Ack("00000001"));
  EXPECT_EQ(Form().AckCount, 0);
  Deliver("");
  EXPECT_EQ(Form().AckCount, 1);
}

TEST_F(DispatcherTest, NoiseWithoutReplyLettersIsDroppedEntirely) {
  Deliver(std::string("\r\n\0\x01 0123 xyz abc\xFF\x80", 19));
  EXPECT_TRUE(Form().ReceiveBuffer.empty());
  Deliver("noise s w z" + Status(2, 0, k2020));  // lowercase letters are not replies
  EXPECT_EQ(Form().ControllerNumber, 2);
}

TEST_F(DispatcherTest, LongDeliveryOverflowsAndIsEmptied) {
  std::string delivery = Record(1, 1, 0, k2020) + "\r";
  while (delivery.size() < 130) delivery += Record(1, 2, 0, k2020);
  delivery.resize(130);
  Deliver(delivery);
  EXPECT_EQ(Form().Events[1].DateText, "2020-01-01");
  EXPECT_EQ(Form().Events[2].DateText, "");
  EXPECT_TRUE(Form().ReceiveBuffer.empty());  // the remaining 109 characters are dropped

  Deliver(std::string(100, 'Z').substr(0, 15));  // a partial reply waits
  EXPECT_EQ(Form().ReceiveBuffer.size(), 15u);
}

TEST_F(DispatcherTest, CardReadFillsTheCodeAndNamesItsHolder) {
  Form().Users[12].FirstName = "Jan";
  Form().Users[12].Surname = "Kowalski";
  Form().StringGrid3->SetCell(3, 12, "0011AABB");
  Deliver(CardRead("0011AABB") + Status(1, 0, 0));
  EXPECT_EQ(Form().Edit6->text(), "0011AABB");
  EXPECT_EQ(Bar().PanelText(2), "Karta: 0011AABB");
  EXPECT_EQ(Bar().PanelText(3), "Jan  Kowalski");
  EXPECT_FALSE(Form().ReplySeen);  // the rest of the buffer went with the card line
  EXPECT_TRUE(Form().ReceiveBuffer.empty());

  Form().Users[40].FirstName = "Ewa";
  Form().Users[40].Surname = "Zając";
  Form().StringGrid3->SetCell(3, 40, "0011AABB");
  Deliver(CardRead("0011AABB"));
  EXPECT_EQ(Bar().PanelText(3), "Ewa  Zając");  // a later row wins

  Deliver(CardRead("0011aabb"));
  EXPECT_EQ(Form().Edit6->text(), "0011aabb");
  EXPECT_EQ(Bar().PanelText(2), "Karta: 0011aabb");
  EXPECT_EQ(Bar().PanelText(3), "");
}

TEST_F(DispatcherTest, FillWithCountsBeyondTheTableShowsTheSlotsThereAre) {
  Form().EventCount = 65535;
  Form().FillEventsGrid();
  EXPECT_EQ(Form().StringGrid1->RowCount(), 1002);
  EXPECT_EQ(Form().StringGrid1->Cell(0, 1001), "1001");
  Form().EventCount = 3;
  Form().FillEventsGrid();
  EXPECT_EQ(Form().StringGrid1->RowCount(), 4);
  Form().EventCount = -5;
  Form().FillEventsGrid();
  EXPECT_EQ(Form().StringGrid1->RowCount(), 2);
  EXPECT_EQ(Form().StringGrid1->Cell(0, 1), "1");
  EXPECT_EQ(Form().StringGrid1->Cell(5, 1), "");
}

}  // namespace
}  // namespace veldoran::link
