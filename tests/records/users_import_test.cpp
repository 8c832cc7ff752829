// "Importuj z CSV" and "Eksportuj do CSV" on the real window, with real files.
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>

#include "support/window_fixture.h"
#include "ui/string_grid.h"
#include "ui/text.h"

namespace veldoran::records {
namespace {

class UsersImportTest : public testing::WindowTest {
 protected:
  QString PathOf(const char* name) { return QString::fromStdString((dir_ / name).string()); }
  std::string Config() { return testing::ReadFileBytes(dir_ / "Config.ini"); }
};

QString Surname(int n) { return QString::fromUtf8("Żółkiewska-%1").arg(n); }
QString FirstName(int n) { return QString::fromUtf8("Łucja %1").arg(n); }
QString Code(int n) { return QStringLiteral("00AB%1").arg(n, 4, 10, QChar('0')); }

// 30 users as a spreadsheet writes them: UTF-8 with a byte-order mark, "," separated, quoted
// names, columns in another order, lockers by name; they go into rows 1 to 30, Config.ini holds
// them in its layout, and a second import changes no byte.
TEST_F(UsersImportTest, ASpreadsheetOfThirtyUsersImportsThroughThePreview) {
  QString csv = QString::fromUtf8("Dział,Kod karty,\"Imię\",Szafka 3,NAZWISKO,szafka 1\r\n");
  for (int n = 1; n <= 30; ++n) {
    csv += QStringLiteral("Hala,%1,\"%2\",%3,\"%4\",1\r\n")
               .arg(Code(n), FirstName(n), n % 2 ? "1" : "0", Surname(n));
  }
  testing::WriteFileBytes(dir_ / "lista.csv", "\xEF\xBB\xBF" + csv.toUtf8().toStdString());
  app::TForm1& f = Form();
  dialogs_.open_answers = {PathOf("lista.csv"), PathOf("lista.csv")};
  dialogs_.preview_answers = {true, true};
  f.ButtonImportCsv->click();

  ASSERT_EQ(dialogs_.previews.size(), 1u);
  const ui::PreviewList& preview = dialogs_.previews[0];
  EXPECT_EQ(preview.accept_caption, "Importuj");
  EXPECT_EQ(preview.cancel_caption, "Anuluj");
  ASSERT_EQ(preview.rows.size(), 31u);
  EXPECT_EQ(preview.rows[30].cells[2], "nowy użytkownik w wierszu 30");
  EXPECT_TRUE(preview.summary.contains("UTF-8 ze znacznikiem BOM, separator: przecinek"));
  EXPECT_TRUE(preview.summary.contains("Pominięte kolumny: Dział"));

  std::string expected = "[Szafki]\r\n";
  for (int n = 1; n <= 10; ++n)
    expected += std::to_string(n) + "=Szafka " + std::to_string(n) + "\r\n";
  const auto section = [&](const char* name, const std::function<QString(int)>& value) {
    expected += std::string("[") + name + "]\r\n";
    for (int n = 1; n <= 100; ++n) {
      expected +=
          std::to_string(n) + "=" + ui::ToAnsiChecked(n <= 30 ? value(n) : QString()) + "\r\n";
    }
  };
  section("Users_ime", FirstName);
  section("Users_nazwisko", Surname);
  section("kod", Code);
  expected += "[uprawnienia]\r\n";
  for (int n = 1; n <= 100; ++n) {
    expected += std::to_string(n) + "=" +
                (n > 30  ? "1111111111"
                 : n % 2 ? "1010000000"
                         : "1000000000") +
                "\r\n";
  }
  EXPECT_EQ(Config(), expected);
  EXPECT_EQ(f.Users[30].Surname, Surname(30));
  EXPECT_EQ(f.StringGrid3->Cell(1, 17), Surname(17));
  EXPECT_EQ(f.StringGrid3->Cell(4, 17), "1010000000");
  // The selected row (1) shows at once in the edit fields and check boxes.
  EXPECT_EQ(f.Edit9->text(), Surname(1));
  EXPECT_EQ(f.Edit6->text(), Code(1));
  EXPECT_TRUE(f.CheckBoxes[2]->isChecked());
  EXPECT_FALSE(f.CheckBoxes[1]->isChecked());

  f.ButtonImportCsv->click();
  ASSERT_EQ(dialogs_.previews.size(), 2u);
  EXPECT_TRUE(dialogs_.previews[1].summary.contains(
      "Nowi użytkownicy: 0, aktualizacje: 30 (bez zmian: 30), odrzucone wiersze: 0."));
  EXPECT_FALSE(dialogs_.previews[1].can_accept);
  EXPECT_EQ(Config(), expected);
  EXPECT_TRUE(dialogs_.errors.isEmpty());
}

// "Anuluj" changes nothing; a file that is not a list of users is refused with a message.
TEST_F(UsersImportTest, CancelOrABadFileLeavesUsersAndFileAsTheyAre) {
  app::TForm1& f = Form();
  const std::string before = Config();
  testing::WriteFileBytes(dir_ / "a.csv", "0011AABB\r\n");
  testing::WriteFileBytes(dir_ / "b.bin", std::string("\x7F"
                                                      "ELF\0\0\0",
                                                      7));
  dialogs_.open_answers = {PathOf("a.csv"), PathOf("b.bin"), PathOf("brak.csv")};
  dialogs_.preview_answers = {false};
  f.ButtonImportCsv->click();
  f.ButtonImportCsv->click();
  f.ButtonImportCsv->click();
  EXPECT_EQ(dialogs_.previews.size(), 1u);
  ASSERT_EQ(dialogs_.messages.size(), 2);
  EXPECT_TRUE(dialogs_.messages[0].contains("bajty o wartości zero"));
  EXPECT_TRUE(dialogs_.messages[1].contains("nie istnieje"));
  EXPECT_EQ(f.Users[1].CardCode, "");
  EXPECT_EQ(Config(), before);
}

TEST_F(UsersImportTest, ExportWritesTheSetUsersAsTheEventsExportDoes) {
  app::TForm1& f = Form();
  f.StringGrid3->SetRow(2);
  f.Edit9->setText("-Nowak");
  f.Edit8->setText(QString::fromUtf8("Łucja"));
  f.Edit6->setText("0011AABB");
  f.Button14Click();
  dialogs_.save_answers = {PathOf("u.csv")};
  f.ButtonExportCsv->click();
  ASSERT_EQ(dialogs_.save_requests.size(), 1u);
  EXPECT_EQ(dialogs_.save_requests[0].file_name, "użytkownicy.csv");
  EXPECT_EQ(
      testing::ReadFileBytes(dir_ / "u.csv"),
      "NAZWISKO;IMI\xCA;KOD KARTY;Szafka 1;Szafka 2;Szafka 3;Szafka 4;Szafka 5;Szafka 6;"
      "Szafka 7;Szafka 8;Szafka 9;Szafka 10\r\n'-Nowak;\xA3ucja;0011AABB;1;1;1;1;1;1;1;1;1;1\r\n");
}

}  // namespace
}  // namespace veldoran::records
