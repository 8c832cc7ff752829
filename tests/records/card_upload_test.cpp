// "Prześlij kody kart do kontrolera" on the real window, with the controller model answering on
// the fake port.
#include <QProgressBar>
#include <QPushButton>
#include <regex>

#include "link/protocol.h"
#include "serial/spcomm.h"
#include "support/window_fixture.h"
#include "ui/string_grid.h"
#include "ui/timer.h"

namespace veldoran::records {
namespace {

class CardUploadTest : public testing::WindowTest {
 protected:
  void SetUp() override {
    Connect();
    Form().Timer1->SetEnabled(false);
    Form().Timer2->SetEnabled(false);
  }
  void User(int row, const QString& code, const QString& permissions = "1111111111") {
    Form().StringGrid3->SetCell(3, row, code);
    Form().StringGrid3->SetCell(4, row, permissions);
  }
  // The card lines written, one per slot, without the clock line.
  std::vector<std::string> CardLines() {
    std::vector<std::string> lines;
    const std::string& w = controller_.Written();
    for (std::size_t at = 0; at < w.size();) {
      const std::size_t end = w.find('\r', at);
      const std::string line = w.substr(at, end - at + 1);
      if (line[0] == '2') lines.push_back(line);
      at = end + 1;
    }
    return lines;
  }
};

TEST_F(CardUploadTest, EmptyGridSendsEmptySlotsAndReportsZeroSaved) {
  for (int row = 1; row <= 100; ++row) User(row, "");
  clock_.Set(EncodeDayCount({2020, 1, 1, 0, 0, 0, 0}));
  Form().Button17Click();
  const auto lines = CardLines();
  ASSERT_EQ(lines.size(), 100u);
  for (int slot = 0; slot < 100; ++slot) {
    EXPECT_EQ(lines[slot], protocol::WriteCardSlotLine(slot, "FFFFFFFF"));
  }
  EXPECT_EQ(lines[0], "200FFFFFFFF\r");
  EXPECT_EQ(lines[10], "20AFFFFFFFF\r");
  EXPECT_EQ(lines[99], "263FFFFFFFF\r");
  // The clock line comes last, with the time after the 101 waits of 50 ms: 00:00:05.05.
  const std::string& w = controller_.Written();
  EXPECT_EQ(w.substr(w.size() - 10), "45E0BC4E5\r");
  EXPECT_EQ(clock_.sleeps, std::vector<int>(101, 50));
  EXPECT_EQ(dialogs_.messages, QStringList{"Zapisano 0 kodów kart i ustawiono zegar"});
  EXPECT_EQ(Form().AckCount, 100);
  EXPECT_EQ(Form().ProgressBar1->value(), 0);
  EXPECT_EQ(controller_.model().StoredCards(), 0);
}

TEST_F(CardUploadTest, OnlyEightCharacterCodesOfPermittedUsersAreSent) {
  User(1, "0011AABB");                // sent
  User(2, "0011AAB");                 // 7 characters
  User(3, "0011AABBC");               // 9 characters
  User(4, "0022CCDD", "1101111111");  // locker 3 not permitted
  User(5, "0033EEFF", "0010000000");  // only locker 3
  User(100, "00FF00FF");              // the last slot
  Form().ControllerNumber = 3;
  Form().Button17Click();
  const auto lines = CardLines();
  ASSERT_EQ(lines.size(), 100u);
  EXPECT_EQ(lines[0], "2000011AABB\r");
  EXPECT_EQ(lines[1], "201FFFFFFFF\r");
  EXPECT_EQ(lines[2], "202FFFFFFFF\r");
  EXPECT_EQ(lines[3], "203FFFFFFFF\r");
  EXPECT_EQ(lines[4], "2040033EEFF\r");
  EXPECT_EQ(lines[99], "26300FF00FF\r");
  EXPECT_EQ(dialogs_.messages, QStringList{"Zapisano 3 kodów kart i ustawiono zegar"});
  EXPECT_EQ(Form().SavedCount, 3);
  EXPECT_EQ(controller_.model().Cards()[0], "0011AABB");
  EXPECT_EQ(controller_.model().Cards()[4], "0033EEFF");
  EXPECT_EQ(controller_.model().StoredCards(), 3);
}

TEST_F(CardUploadTest, ControllerNumberBeyondThePermissionStringSendsNoCard) {
  User(1, "0011AABB");
  User(2, "0022CCDD", "11111111111");  // an 11th character from the file
  Form().ControllerNumber = 11;
  Form().Button17Click();
  const auto lines = CardLines();
  EXPECT_EQ(lines[0], "200FFFFFFFF\r");
  EXPECT_EQ(lines[1], "2010022CCDD\r");
  Form().ControllerNumber = 0;
  controller_.ClearWritten();
  Form().Button17Click();
  for (const auto& line : CardLines()) EXPECT_EQ(line.substr(3), "FFFFFFFF\r");
}

// Eight hexadecimal digits go as they stand, in either case; any other eight characters (here
// Polish letters) can never match a card and go as the empty slot.
TEST_F(CardUploadTest, CodesGoOnTheWireAsTheyStandUnlessNotHexadecimal) {
  User(1, "ŁÓDŹ12ab");
  User(2, "0012abCD");
  Form().Button17Click();
  EXPECT_EQ(CardLines()[0], "200FFFFFFFF\r");
  EXPECT_EQ(CardLines()[1], "2010012abCD\r");
  EXPECT_EQ(dialogs_.messages, QStringList{"Zapisano 1 kodów kart i ustawiono zegar"});
}

TEST_F(CardUploadTest, SilentControllerGivesTheErrorAndLeavesTheBar) {
  Form().ProgressBar1->setValue(37);
  controller_.SetSilent(true);
  Form().Button17Click();
  EXPECT_EQ(clock_.sleeps.size(), 101u);  // about 5 s at 50 ms a line
  EXPECT_EQ(dialogs_.messages,
            QStringList{"Wystąpił błąd podczas przesyłania danych. Kody kart nie zostały "
                        "poprawnie zapisane."});
  EXPECT_EQ(Form().ProgressBar1->value(), 37);
  EXPECT_EQ(Form().AckCount, 0);
  EXPECT_EQ(Form().SavedCount, 0);
}

TEST_F(CardUploadTest, EchoInAnotherLetterCaseIsNotAnAcknowledgement) {
  User(7, "00aabbcc");
  controller_.SetReplyFilter([](const std::string& reply) {
    std::string echoed = reply;
    for (char& c : echoed) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return echoed;
  });
  Form().Button17Click();
  EXPECT_EQ(Form().AckCount, 99);
  EXPECT_EQ(Form().ProgressBar1->value(), 99);
  EXPECT_EQ(dialogs_.messages,
            QStringList{"Wystąpił błąd podczas przesyłania danych. Kody kart nie zostały "
                        "poprawnie zapisane."});
}

TEST_F(CardUploadTest, HeartbeatPausedForTenSecondsThenTwoAfterEachAcknowledgement) {
  controller_.SetSilent(true);
  Form().Timer1->SetEnabled(true);
  Form().Button17Click();
  EXPECT_FALSE(Form().Timer1->Enabled());
  EXPECT_EQ(Form().Timer2->Interval(), 10000);
  controller_.SetSilent(false);
  Form().Button17Click();
  EXPECT_EQ(Form().Timer2->Interval(), 2000);
  EXPECT_TRUE(Form().Timer2->Enabled());
}

TEST_F(CardUploadTest, ClosedPortRefusesAfterResettingTheCounters) {
  Form().SavedCount = 9;
  Form().ReceiveBuffer = "ZU";
  Form().SpeedButton1->click();
  Form().Button17Click();
  EXPECT_EQ(dialogs_.messages, QStringList{"Brak połączenia z kontrolerem. Sprawdź port COM. "});
  EXPECT_EQ(Form().SavedCount, 0);
  EXPECT_TRUE(Form().ReceiveBuffer.empty());
}

}  // namespace
}  // namespace veldoran::records
