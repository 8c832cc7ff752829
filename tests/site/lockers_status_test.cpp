// The lockers' states on the real window, against the controller model on the fake port: an
// upload makes the locker current, a deleted user makes it stale, and the notice follows.
#include "site/lockers_status.h"

#include <QLabel>
#include <QLineEdit>

#include "site/history.h"
#include "site/site_database.h"
#include "support/window_fixture.h"
#include "ui/string_grid.h"
#include "ui/timer.h"

namespace veldoran::site {
namespace {

class LockersStatusTest : public testing::WindowTest {
 protected:
  void SetUp() override {
    Connect();
    Form().Timer1->SetEnabled(false);
    Form().Timer2->SetEnabled(false);
    for (int row = 1; row <= 3; ++row) {
      Form().StringGrid3->SetRow(row);
      Form().Edit8->setText(QStringLiteral("Imię %1").arg(row));
      Form().Edit9->setText(QStringLiteral("Nazwisko %1").arg(row));
      Form().Edit6->setText(QStringLiteral("0000AA0%1").arg(row));
      Form().Button14Click();
    }
  }
  QString State(int locker) {
    return Form().findChild<QLabel*>(QStringLiteral("LockerState%1").arg(locker))->text();
  }
  QLabel* Notice() { return Form().findChild<QLabel*>(QStringLiteral("LabelCardsNotice")); }
};

TEST_F(LockersStatusTest, UploadThenDeleteAUserTurnsTheLockerStale) {
  EXPECT_EQ(State(1), "nieznane");
  Form().Timer1Timer();  // the heartbeat shows the notice; its status reply is handled here
  SettleDeliveries();
  ProcessUntil([] { return false; }, std::chrono::milliseconds(50));
  EXPECT_EQ(Notice()->text(), "Karty w szafce nr 1 mogą być nieaktualne");
  Form().Button17Click();
  ASSERT_EQ(dialogs_.messages.last(), "Zapisano 3 kodów kart i ustawiono zegar");
  EXPECT_EQ(State(1), "aktualne");
  EXPECT_EQ(State(2), "nieznane");
  EXPECT_TRUE(Notice()->isHidden());

  Form().StringGrid3->SetRow(2);
  Form().Button15Click();  // "Usuń"
  EXPECT_EQ(State(1), "nieaktualne (do dodania: 0, do usunięcia: 1)");
  EXPECT_FALSE(Notice()->isHidden());
  EXPECT_EQ(Notice()->text(), "Karty w szafce nr 1 nieaktualne");
  // Disconnected: no notice; the state stays.
  Form().SpeedButton1Click();
  EXPECT_TRUE(Notice()->isHidden());
  EXPECT_EQ(State(1), "nieaktualne (do dodania: 0, do usunięcia: 1)");
  EXPECT_TRUE(std::filesystem::exists(dir_ / kDatabaseFileName));
  EXPECT_TRUE(dialogs_.errors.isEmpty());
}

TEST_F(LockersStatusTest, AFailedUploadMakesTheCardsUnknownAndAStartRemembersIt) {
  Form().Button17Click();
  ASSERT_EQ(State(1), "aktualne");
  controller_.SetSilent(true);
  Form().Button17Click();
  ASSERT_TRUE(dialogs_.messages.last().startsWith("Wystąpił błąd"));
  EXPECT_EQ(State(1), "nieznane");
  controller_.SetSilent(false);
  Form().Button17Click();
  form_.reset();
  EXPECT_EQ(State(1), "aktualne");  // a new window reads the file
}

TEST(LockersStatusTexts, NameTheLockerAndTheCounts) {
  using Kind = LockerState::Kind;
  EXPECT_EQ(StateText({Kind::Stale, 2, 1}), "nieaktualne (do dodania: 2, do usunięcia: 1)");
  EXPECT_EQ(NoticeText(10, {Kind::Stale, 0, 1}), "Karty w szafce nr 10 nieaktualne");
  EXPECT_EQ(NoticeText(2, {Kind::Current, 0, 0}), "");
  EXPECT_EQ(StateText({}), "nieznane");
}

}  // namespace
}  // namespace veldoran::site

namespace veldoran::site {
namespace {

class ReadArchiveTest : public LockersStatusTest {
 protected:
  // A status query answered: EventCount follows the controller's memory.
  void Status() {
    Form().Timer1Timer();
    SettleDeliveries();
    ProcessUntil([] { return false; }, std::chrono::milliseconds(50));
  }
  void Read() {
    const auto before = dialogs_.messages.size();
    Form().Button3Click();
    ASSERT_TRUE(ProcessUntil([&] {
      return dialogs_.messages.size() > before && dialogs_.messages.last().startsWith("Odczytano");
    }));
  }
};

TEST_F(ReadArchiveTest, AReadIsArchivedOnceAndClearingAsksOnlyForUnreadEvents) {
  controller_.model().AddRandomEvents(2);
  Status();
  ASSERT_EQ(Form().EventCount, 2);
  // Nothing read yet: the question names the two, and "Nie" keeps them.
  dialogs_.question_answers = {false};
  Form().Button5Click();
  ASSERT_EQ(dialogs_.questions.size(), 1);
  EXPECT_TRUE(dialogs_.questions[0].contains("nieodczytane: 2"))
      << dialogs_.questions[0].toStdString();
  EXPECT_EQ(controller_.model().Events().size(), 2u);

  Read();
  Read();  // the same memory again
  SiteDatabase db(dir_ / kDatabaseFileName);
  db.Open();
  EXPECT_EQ(History(db).Count({}), 2);
  // All read: cleared without a question.
  Form().Button5Click();
  EXPECT_EQ(dialogs_.questions.size(), 1);
  EXPECT_EQ(dialogs_.messages.last(), "Pamięć została zwolniona.");
  EXPECT_TRUE(controller_.model().Events().empty());
  // A new event after the clear is unread again.
  controller_.model().AddRandomEvents(1);
  Status();
  dialogs_.question_answers = {false};
  Form().Button5Click();
  ASSERT_EQ(dialogs_.questions.size(), 2);
  EXPECT_TRUE(dialogs_.questions[1].contains("nieodczytane: 1"));
}

}  // namespace
}  // namespace veldoran::site
