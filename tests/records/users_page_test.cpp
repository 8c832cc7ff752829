// The users page on the real window: saving, deleting, the duplicate card search and where the
// selection goes.
#include <QCheckBox>
#include <QLineEdit>

#include "support/window_fixture.h"
#include "ui/status_bar.h"
#include "ui/string_grid.h"

namespace veldoran::records {
namespace {

class UsersPageTest : public testing::WindowTest {
 protected:
  // Puts a user into a row the way the operator does: select, type, tick, save.
  void Store(int row, const QString& first, const QString& last, const QString& code,
             const QString& permissions = "1111111111") {
    app::TForm1& f = Form();
    f.StringGrid3->SetRow(row);
    f.Edit8->setText(first);
    f.Edit9->setText(last);
    f.Edit6->setText(code);
    for (int k = 0; k < 10; ++k) f.CheckBoxes[k]->setChecked(permissions[k] == '1');
    f.Button14Click();
  }
  QString Permissions() {
    QString p;
    for (QCheckBox* box : Form().CheckBoxes) p += box->isChecked() ? '1' : '0';
    return p;
  }
  std::string Config() { return testing::ReadFileBytes(dir_ / "Config.ini"); }
};

TEST_F(UsersPageTest, SavingStoresTheRowAndMovesDown) {
  Store(3, "Anna", "Nowak", "12AB34CD", "1010000001");
  app::TForm1& f = Form();
  EXPECT_EQ(f.Users[3].FirstName, "Anna");
  EXPECT_EQ(f.Users[3].Surname, "Nowak");
  EXPECT_EQ(f.Users[3].CardCode, "12AB34CD");
  EXPECT_EQ(f.Users[3].Permissions, "1010000001");
  EXPECT_EQ(f.StringGrid3->Cell(1, 3), "Nowak");
  EXPECT_EQ(f.StringGrid3->Cell(2, 3), "Anna");
  EXPECT_EQ(f.StringGrid3->Cell(3, 3), "12AB34CD");
  EXPECT_EQ(f.StringGrid3->Cell(4, 3), "1010000001");
  EXPECT_EQ(f.StringGrid3->Row(), 4);
  EXPECT_EQ(f.Edit8->text(), "");  // row 4 is shown
  EXPECT_EQ(Permissions(), "1111111111");
  const std::string file = Config();
  EXPECT_NE(file.find("[Users_ime]\r\n1=\r\n2=\r\n3=Anna\r\n"), std::string::npos);
  EXPECT_NE(file.find("3=1010000001\r\n"), std::string::npos);
  EXPECT_TRUE(dialogs_.AllBoxes().isEmpty());
}

// A garbled card read (a control byte in its code) never reaches the card code field; a code
// with a control character that got there anyway is refused at "Zapisz" like a duplicate,
// the rest of the row being saved.
TEST_F(UsersPageTest, ACardCodeTheFileCannotHoldNeverReachesTheUserTable) {
  app::TForm1& f = Form();
  Connect();
  for (const char* code : {"00\r1AABB",
                           "0011\x81"
                           "ABB",
                           "0011\nABB"}) {
    f.StatusBar1->SetPanelText(2, "");
    driver_->InjectInput("COM1", "W......" + std::string(code) + "...");
    ASSERT_TRUE(ProcessUntil([&] { return !f.StatusBar1->PanelText(2).isEmpty(); }));
    EXPECT_EQ(f.StatusBar1->PanelText(3), "Błąd odczytu karty");
    EXPECT_EQ(f.Edit6->text(), "");
  }
  EXPECT_EQ(f.StatusBar1->PanelText(2), "Karta: 0011?ABB");
  EXPECT_TRUE(f.StatusBar1->PanelHint(3).contains("znak sterujący (0x0A)"));

  f.Edit8->setText("Ewa");
  f.Edit6->setText(
      QString::fromLatin1("00\x01"
                          "1AABB"));  // past the field's own check
  f.Button14Click();
  EXPECT_EQ(dialogs_.messages,
            QStringList{"Kod karty „00?1AABB” zawiera znak sterujący (0x01), którego nie można "
                        "zapisać w pliku Config.ini. Kod karty nie został zmieniony; pozostałe "
                        "dane użytkownika zostały zapisane."});
  EXPECT_EQ(f.Users[1].CardCode, "");
  EXPECT_EQ(f.Users[1].FirstName, "Ewa");
  EXPECT_EQ(f.StringGrid3->Row(), 1);
  EXPECT_TRUE(dialogs_.errors.isEmpty());
}

TEST_F(UsersPageTest, DuplicateCodeNamesItsRowAndKeepsTheOldCode) {
  Store(12, "Jan", "Kowalski", "0011AABB");
  Store(5, "Ewa", "Lis", "99999999");
  Store(5, "Ewa", "Lisowska", "0011AABB", "0000000001");
  app::TForm1& f = Form();
  EXPECT_EQ(dialogs_.messages, QStringList{"Kod karty już jest zaprogramowany dla nr 12"});
  EXPECT_EQ(f.Users[5].CardCode, "99999999");
  EXPECT_EQ(f.Users[5].Surname, "Lisowska");  // names and permissions are still saved
  EXPECT_EQ(f.Users[5].Permissions, "0000000001");
  EXPECT_EQ(f.StringGrid3->Row(), 5);  // the selection stays after the message
  EXPECT_EQ(f.Edit6->text(), "99999999");
  EXPECT_EQ(Permissions(), "0000000001");
}

TEST_F(UsersPageTest, TwoRowsWithOneCodeNameTheHigherOne) {
  // Possible only through the file: rows 20 and 30 hold the same code.
  std::string file = "[kod]\r\n20=CAFE0001\r\n30=CAFE0001\r\n";
  testing::WriteFileBytes(dir_ / "Config.ini", file);
  Store(7, "A", "B", "CAFE0001");
  EXPECT_EQ(dialogs_.messages, QStringList{"Kod karty już jest zaprogramowany dla nr 30"});
  dialogs_.Clear();
  Store(20, "C", "D", "CAFE0001");  // the lower of the two
  EXPECT_EQ(dialogs_.messages, QStringList{"Kod karty już jest zaprogramowany dla nr 30"});
  dialogs_.Clear();
  Store(30, "E", "F", "CAFE0001");  // the higher one finds itself
  EXPECT_TRUE(dialogs_.messages.isEmpty());
  EXPECT_EQ(Form().StringGrid3->Row(), 31);
}

TEST_F(UsersPageTest, OwnCodeAndShortCodesAreNoDuplicates) {
  Store(8, "Jan", "Kowalski", "0011AABB");
  Store(8, "Jan", "Kowalski", "0011AABB");
  EXPECT_TRUE(dialogs_.messages.isEmpty());
  EXPECT_EQ(Form().StringGrid3->Row(), 9);
  Store(40, "Krótki", "Kod", "1234567");
  Store(41, "Krótki", "Też", "1234567");  // 7 characters never block another user
  EXPECT_TRUE(dialogs_.messages.isEmpty());
  EXPECT_EQ(Form().Users[41].CardCode, "1234567");
  Store(41, "Krótki", "Też", "");  // an empty code clears it
  EXPECT_EQ(Form().Users[41].CardCode, "");
  Store(42, "", "", "0011aabb");  // the search is case-sensitive
  EXPECT_TRUE(dialogs_.messages.isEmpty());
  EXPECT_EQ(Form().Users[42].CardCode, "0011aabb");
}

TEST_F(UsersPageTest, SelectionMovesOnRowsBelow99Only) {
  Store(98, "a", "b", "");
  EXPECT_EQ(Form().StringGrid3->Row(), 99);
  Store(99, "c", "d", "");
  EXPECT_EQ(Form().StringGrid3->Row(), 99);
  Store(100, "e", "f", "");
  EXPECT_EQ(Form().StringGrid3->Row(), 100);
  Form().StringGrid3->SetRow(98);
  Form().Button15Click();
  EXPECT_EQ(Form().StringGrid3->Row(), 99);
  Form().Button15Click();
  EXPECT_EQ(Form().StringGrid3->Row(), 99);
}

TEST_F(UsersPageTest, DeletingEmptiesTheRowAndShowsTheNext) {
  Store(10, "Jan", "Kowalski", "0011AABB");
  Store(11, "Ola", "Nowak", "22223333", "0000011111");
  app::TForm1& f = Form();
  f.StringGrid3->SetRow(10);
  f.Button15Click();
  EXPECT_EQ(f.Users[10].FirstName, "");
  EXPECT_EQ(f.Users[10].CardCode, "");
  EXPECT_EQ(f.Users[10].Permissions, "0000000000");
  EXPECT_EQ(f.StringGrid3->Cell(1, 10), "");
  EXPECT_EQ(f.StringGrid3->Cell(4, 10), "0000000000");
  EXPECT_EQ(f.StringGrid3->Row(), 11);
  EXPECT_EQ(f.Edit8->text(), "Ola");
  EXPECT_EQ(f.Edit6->text(), "22223333");
  EXPECT_EQ(Permissions(), "0000011111");
  const std::string file = Config();
  EXPECT_NE(
      file.find("[Users_ime]\r\n1=\r\n2=\r\n3=\r\n4=\r\n5=\r\n6=\r\n7=\r\n8=\r\n9=\r\n10=\r\n"),
      std::string::npos);
  EXPECT_NE(file.find("\r\n10=0000000000\r\n"), std::string::npos);

  f.StringGrid3->SetRow(100);
  f.Button15Click();
  EXPECT_EQ(f.StringGrid3->Row(), 100);
  EXPECT_EQ(Permissions(), "0000000000");
  EXPECT_EQ(f.StringGrid3->Cell(4, 100), "0000000000");
  EXPECT_NE(Config().find("100=0000000000\r\n"), std::string::npos);
}

TEST_F(UsersPageTest, ShortPermissionStringsShowMissingLockersUnchecked) {
  testing::WriteFileBytes(dir_ / "Config.ini", "[uprawnienia]\r\n1=101\r\n2=x1\r\n");
  app::TForm1& f = Form();
  EXPECT_EQ(Permissions(), "1010000000");  // row 1 is shown at start
  f.StringGrid3->SetRow(2);
  EXPECT_EQ(Permissions(), "0100000000");
  f.Button14Click();
  EXPECT_EQ(f.Users[2].Permissions, "0100000000");  // saved as a full string
}

TEST_F(UsersPageTest, CheckAllAndClearAllChangeOnlyTheBoxes) {
  app::TForm1& f = Form();
  const std::string before = Config();
  f.Button13Click();
  EXPECT_EQ(Permissions(), "0000000000");
  f.Button12Click();
  EXPECT_EQ(Permissions(), "1111111111");
  EXPECT_EQ(f.Users[1].Permissions, "1111111111");
  EXPECT_EQ(Config(), before);
}

TEST_F(UsersPageTest, SelectingAnotherRowDiscardsUnsavedEdits) {
  Store(1, "Jan", "Kowalski", "0011AABB");
  app::TForm1& f = Form();
  f.StringGrid3->SetRow(1);
  f.Edit8->setText("zmienione");
  f.StringGrid3->SetRow(2);
  f.StringGrid3->SetRow(1);
  EXPECT_EQ(f.Edit8->text(), "Jan");
  EXPECT_EQ(f.Users[1].FirstName, "Jan");
}

TEST_F(UsersPageTest, EditFieldsRefuseWhatTheCodePageCannotStore) {
  QLineEdit* edit = Form().Edit9;
  const QValidator* v = edit->validator();
  ASSERT_NE(v, nullptr);
  QString ok = "Zażółć gęślą jaźń";
  QString bad = "Muñoz";
  QString line = "a\nb";
  int pos = 0;
  EXPECT_EQ(v->validate(ok, pos), QValidator::Acceptable);
  EXPECT_EQ(v->validate(bad, pos), QValidator::Invalid);
  EXPECT_EQ(v->validate(line, pos), QValidator::Invalid);
  EXPECT_EQ(edit->maxLength(), 2047);
}

}  // namespace
}  // namespace veldoran::records
