// The lockers page on the real window: naming lockers and programming the controller's number.
#include <QCheckBox>
#include <QLineEdit>

#include "serial/spcomm.h"
#include "support/window_fixture.h"
#include "ui/string_grid.h"
#include "ui/timer.h"

namespace veldoran::records {
namespace {

class LockersPageTest : public testing::WindowTest {
 protected:
  std::string Config() { return testing::ReadFileBytes(dir_ / "Config.ini"); }
};

TEST_F(LockersPageTest, SelectingARowShowsItsName) {
  app::TForm1& f = Form();
  EXPECT_EQ(f.Edit7->text(), "Szafka 1");
  f.StringGrid2->SetRow(6);
  EXPECT_EQ(f.Edit7->text(), "Szafka 6");
}

TEST_F(LockersPageTest, RenamingWithThePortClosedUpdatesCaptionsAndTheFile) {
  app::TForm1& f = Form();
  f.StringGrid2->SetRow(4);
  f.Edit7->setText("Hala główna");
  f.Button11Click();
  EXPECT_EQ(f.StringGrid2->Cell(1, 4), "Hala główna");
  EXPECT_EQ(f.CheckBoxes[3]->text(), "Hala główna");
  EXPECT_NE(Config().find("4=Hala g\xB3\xF3wna\r\n"), std::string::npos);
  EXPECT_TRUE(dialogs_.AllBoxes().isEmpty());
  EXPECT_TRUE(controller_.Written().empty());

  f.StringGrid2->SetRow(2);
  f.Edit7->setText("");
  f.Button11Click();
  EXPECT_EQ(f.CheckBoxes[1]->text(), "");
  EXPECT_NE(Config().find("[Szafki]\r\n1=Szafka 1\r\n2=\r\n"), std::string::npos);
}

TEST_F(LockersPageTest, ProgrammingLocker10SendsHexAndIsConfirmed) {
  Connect();
  Form().StringGrid2->SetRow(10);
  controller_.ClearWritten();
  Form().Button16Click();
  EXPECT_EQ(controller_.Written(), "70A\r");
  EXPECT_EQ(clock_.sleeps, std::vector<int>{2000});
  EXPECT_EQ(dialogs_.messages, QStringList{"Ustawiono numer szafki na: 10"});
  EXPECT_EQ(Form().ControllerNumber, 10);
  EXPECT_EQ(controller_.model().Number(), 10);
  EXPECT_FALSE(Form().Timer1->Enabled());
  EXPECT_EQ(Form().Timer2->Interval(), 2000);
}

TEST_F(LockersPageTest, SilentControllerIsAFailureEvenForTheNumberAlreadyHeld) {
  Connect();
  ASSERT_EQ(Form().ControllerNumber, 1);
  controller_.SetSilent(true);
  Form().StringGrid2->SetRow(1);
  Form().Button16Click();
  EXPECT_EQ(dialogs_.messages, QStringList{"Coś poszło nie tak. Sprawdź port COM. "});
  EXPECT_EQ(Form().ControllerNumber, 1);
}

TEST_F(LockersPageTest, AnAnswerWithAnotherNumberIsAFailure) {
  Connect();
  controller_.SetReplyFilter([](const std::string& reply) {
    std::string changed = reply;
    if (changed.size() > 5 && changed[0] == 'S') changed.replace(3, 2, "03");
    return changed;
  });
  Form().StringGrid2->SetRow(5);
  Form().Button16Click();
  EXPECT_EQ(dialogs_.messages, QStringList{"Coś poszło nie tak. Sprawdź port COM. "});
  EXPECT_EQ(Form().ControllerNumber, 3);
}

// The number is confirmed before anything is sent: "Nie" sends nothing and pauses nothing; on
// a closed port the refusal comes first and nothing is asked.
TEST_F(LockersPageTest, ProgrammingAsksFirstNamingTheNumber) {
  app::TForm1& f = Form();
  f.StringGrid2->SetRow(7);
  f.Button16Click();
  EXPECT_TRUE(dialogs_.questions.isEmpty());
  EXPECT_EQ(dialogs_.messages, QStringList{"Brak połączenia z kontrolerem. Sprawdź port COM. "});

  Connect();
  dialogs_.Clear();
  f.Timer1->SetEnabled(true);
  controller_.ClearWritten();
  dialogs_.question_answers = {false};
  f.Button16Click();
  ASSERT_EQ(dialogs_.questions.size(), 1);
  EXPECT_TRUE(dialogs_.questions[0].startsWith(
      "Zaprogramować podłączony kontroler jako szafkę nr 7 („Szafka 7”)?"))
      << dialogs_.questions[0].toStdString();
  EXPECT_TRUE(controller_.Written().empty());
  EXPECT_TRUE(dialogs_.messages.isEmpty());
  EXPECT_TRUE(clock_.sleeps.empty());
  EXPECT_TRUE(f.Timer1->Enabled());
  EXPECT_EQ(f.ControllerNumber, 1);

  f.Button16Click();  // answered Yes
  EXPECT_EQ(dialogs_.questions.size(), 2);
  EXPECT_EQ(controller_.Written(), "707\r");
  EXPECT_EQ(dialogs_.messages, QStringList{"Ustawiono numer szafki na: 7"});
}

}  // namespace
}  // namespace veldoran::records
