// "Zapisz do pliku CSV" on the real window, writing real files.
#include "link/csv_export.h"

#include <sys/stat.h>

#include <QPlainTextEdit>
#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "support/window_fixture.h"
#include "ui/string_grid.h"

namespace veldoran::link {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileBytes;

// "NAZWISKO;IMIĘ;DATA;CZAS;NR;LOKALIZACJA;KARTA" in Windows-1250.
const std::string kHeading = "NAZWISKO;IMI\xCA;DATA;CZAS;NR;LOKALIZACJA;KARTA\r\n";

class CsvExportTest : public testing::WindowTest {
 protected:
  QString PathOf(const char* name) { return QString::fromStdString((dir_ / name).string()); }
  void FillRow(int row, const QStringList& cells) {
    for (int c = 0; c < cells.size(); ++c) Form().StringGrid1->SetCell(c, row, cells[c]);
  }
};

TEST_F(CsvExportTest, RightAfterStartTheFileHoldsTheHeadingAndOneEmptyLine) {
  dialogs_.save_answers.push_back(PathOf("zdarzenia.csv"));
  Form().Button1Click();
  ASSERT_EQ(dialogs_.save_requests.size(), 1u);
  EXPECT_EQ(dialogs_.save_requests[0].file_name, "zdarzenia.csv");
  EXPECT_EQ(dialogs_.save_requests[0].filter, "plik CSV|*.csv");
  EXPECT_EQ(ReadFileBytes(dir_ / "zdarzenia.csv"), kHeading + ";;;;;;\r\n");
  EXPECT_TRUE(dialogs_.errors.isEmpty());
}

TEST_F(CsvExportTest, RowsInOrderPolishLettersAsWindows1250) {
  Form().StringGrid1->SetRowCount(3);
  FillRow(1, {"1", "Żółć", "Łucja", "2020-01-01", "00:00:00", "3", "Hala", "0011AABB"});
  FillRow(2, {"2", "", "", "2020-01-02", "10:11:12", "10", "Szafka 10", ""});
  dialogs_.save_answers.push_back(PathOf("a.csv"));
  Form().Button1Click();
  EXPECT_EQ(ReadFileBytes(dir_ / "a.csv"), kHeading +
                                               "\xAF\xF3\xB3\xE6;\xA3"
                                               "ucja;2020-01-01;00:00:00;3;Hala;0011AABB\r\n" +
                                               ";;2020-01-02;10:11:12;10;Szafka 10;\r\n");
}

TEST_F(CsvExportTest, FieldsThatWouldBreakTheColumnsAreQuoted) {
  FillRow(1, {"1", "O\"Neil", "Jan", "d", "t", "4", "Hala; wejście B", "C"});
  dialogs_.save_answers.push_back(PathOf("q.csv"));
  Form().Button1Click();
  EXPECT_EQ(ReadFileBytes(dir_ / "q.csv"), kHeading +
                                               "\"O\"\"Neil\";Jan;d;t;4;\"Hala; wej\x9C"
                                               "cie B\";C\r\n");
  EXPECT_EQ(CsvField("plain text"), "plain text");
  EXPECT_EQ(CsvField("a\r\nb"), "\"a\r\nb\"");
}

// A name or locker name that a spreadsheet would run as a formula is written as text.
TEST_F(CsvExportTest, FormulaLikeFieldsAreWrittenAsText) {
  FillRow(1, {"1", "=HYPERLINK(\"http://x\")", "@Jan", "d", "t", "4", "-Hala", "+48"});
  dialogs_.save_answers.push_back(PathOf("f.csv"));
  Form().Button1Click();
  EXPECT_EQ(ReadFileBytes(dir_ / "f.csv"),
            kHeading + "\"'=HYPERLINK(\"\"http://x\"\")\";'@Jan;d;t;4;'-Hala;'+48\r\n");
}

TEST_F(CsvExportTest, SecondExportWritesOnlyTheGridAsItStandsAndProposesTheLastName) {
  Form().StringGrid1->SetRowCount(4);
  FillRow(3, {"3", "X", "Y"});
  dialogs_.save_answers.push_back(PathOf("raport.txt"));
  Form().Button1Click();
  const std::string first = ReadFileBytes(dir_ / "raport.txt");
  EXPECT_EQ(std::count(first.begin(), first.end(), '\n'), 4);

  Form().EventCount = 0;
  Form().FillEventsGrid();
  dialogs_.save_answers.push_back(PathOf("raport.txt"));
  Form().Button1Click();
  EXPECT_EQ(dialogs_.save_requests[1].file_name, PathOf("raport.txt"));
  EXPECT_EQ(dialogs_.questions, QStringList{"raport.txt już istnieje.\nCzy chcesz go zastąpić?"});
  EXPECT_EQ(ReadFileBytes(dir_ / "raport.txt"), kHeading + ";;;;;;\r\n");  // no extension added
  EXPECT_FALSE(fs::exists(dir_ / "raport.txt.csv"));
}

// "No" shows the dialog again with the name chosen; "Yes" replaces the file.
TEST_F(CsvExportTest, AnExistingFileIsReplacedOnlyAfterTheOperatorSaysSo) {
  testing::WriteFileBytes(dir_ / "zdarzenia.csv", "stare dane\r\n");
  dialogs_.save_answers = {PathOf("zdarzenia.csv"), PathOf("zdarzenia.csv")};
  dialogs_.question_answers = {false, true};
  Form().Button1Click();
  EXPECT_EQ(dialogs_.save_requests.back().file_name, PathOf("zdarzenia.csv"));
  EXPECT_EQ(dialogs_.questions.size(), 2);
  EXPECT_EQ(ReadFileBytes(dir_ / "zdarzenia.csv"), kHeading + ";;;;;;\r\n");
}

// A time the locale wrote with a narrow space is saved with one the code page holds; a text
// that cannot be stored is refused, in Polish, with its row named.
TEST_F(CsvExportTest, DatesAndTimesAreAlwaysWritable) {
  FillRow(1, {"1", "Lis", "Ewa", "2.12.2026", QString::fromUtf16(u"3:04:05\u202FPM")});
  dialogs_.save_answers = {PathOf("d.csv"), PathOf("e.csv")};
  Form().Button1Click();
  EXPECT_EQ(ReadFileBytes(dir_ / "d.csv"), kHeading + "Lis;Ewa;2.12.2026;3:04:05 PM;;;\r\n");
  FillRow(1, {"1", QString::fromUtf16(u"\u4E2D")});
  Form().Button1Click();
  EXPECT_EQ(dialogs_.errors,
            QStringList{QString::fromUtf16(u"Nie można zapisać pliku „") + PathOf("e.csv") +
                        QString::fromUtf16(u"”: wiersz 1 tabeli zdarzeń zawiera znak „\u4E2D”, "
                                           u"którego nie ma w stronie kodowej Windows-1250.")});
}

TEST_F(CsvExportTest, CancellingWritesNothing) {
  testing::WriteFileBytes(dir_ / "zdarzenia.csv", "stare dane\r\n");
  dialogs_.save_answers.push_back(std::nullopt);
  Form().Button1Click();
  EXPECT_EQ(ReadFileBytes(dir_ / "zdarzenia.csv"), "stare dane\r\n");
  EXPECT_EQ(dialogs_.save_requests.size(), 1u);
  // The next dialog still proposes the default name.
  Form().Button1Click();
  EXPECT_EQ(dialogs_.save_requests[1].file_name, "zdarzenia.csv");
}

TEST_F(CsvExportTest, FailedWriteIsShownAndLeavesNoPartialFile) {
  dialogs_.save_answers.push_back(PathOf("brak/zdarzenia.csv"));
  Form().Button1Click();
  ASSERT_EQ(dialogs_.errors.size(), 1);
  EXPECT_TRUE(dialogs_.errors[0].startsWith(QString::fromUtf16(u"Nie można zapisać pliku „") +
                                            PathOf("brak/zdarzenia.csv") +
                                            QString::fromUtf16(u"”: ")))
      << dialogs_.errors[0].toStdString();

  testing::WriteFileBytes(dir_ / "tylko.csv", "zachowane\r\n");
  fs::permissions(dir_ / "tylko.csv", fs::perms::owner_read);
  dialogs_.save_answers.push_back(PathOf("tylko.csv"));
  Form().Button1Click();
  ASSERT_EQ(dialogs_.errors.size(), 2);
  EXPECT_TRUE(dialogs_.errors[1].endsWith(QString::fromUtf16(u"plik jest tylko do odczytu.")))
      << dialogs_.errors[1].toStdString();
  EXPECT_EQ(ReadFileBytes(dir_ / "tylko.csv"), "zachowane\r\n");
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "tylko.csv" || name == "Config.ini") << "left behind: " << name;
  }
}

TEST_F(CsvExportTest, HostileTargetsAreRefusedWithTheReasonAndLeftAsTheyWere) {
  Form();
  fs::create_directory(dir_ / "folder.csv");
  testing::WriteFileBytes(dir_ / "folder.csv" / "inside.txt", "kept");
  fs::create_symlink("loop2.csv", dir_ / "loop.csv");
  fs::create_symlink("loop.csv", dir_ / "loop2.csv");
  ASSERT_EQ(::mkfifo((dir_ / "fifo.csv").c_str(), 0644), 0);
  const std::pair<const char*, const char*> cases[] = {
      {"folder.csv", "to folder, a nie plik."},
      {"loop.csv", "Too many levels of symbolic links."},
      {"fifo.csv", "to nie jest zwykły plik."},
  };
  for (const auto& [name, reason] : cases) {
    dialogs_.Clear();
    dialogs_.save_answers.push_back(PathOf(name));
    Form().Button1Click();  // must neither hang on the FIFO nor replace anything
    ASSERT_EQ(dialogs_.errors.size(), 1) << name;
    EXPECT_EQ(dialogs_.errors[0], "Nie można zapisać pliku „" + PathOf(name) + "”: " + reason);
  }
  EXPECT_EQ(ReadFileBytes(dir_ / "folder.csv" / "inside.txt"), "kept");
  EXPECT_EQ(fs::read_symlink(dir_ / "loop.csv"), "loop2.csv");
  EXPECT_TRUE(fs::is_fifo(dir_ / "fifo.csv"));
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Config.ini", "fifo.csv", "folder.csv", "loop.csv",
                                             "loop2.csv"}));
}

TEST_F(CsvExportTest, AnExportOnAFullDiskKeepsTheOldFileAndSaysWhy) {
  Form();
  testing::WriteFileBytes(dir_ / "zdarzenia.csv", "poprzedni eksport\r\n");
  dialogs_.save_answers.push_back(PathOf("zdarzenia.csv"));
  {
    testing::ScopedFileSizeLimit full_disk(16);  // the heading line alone is 46 bytes
    Form().Button1Click();
  }
  ASSERT_EQ(dialogs_.errors.size(), 1);
  const std::string error = dialogs_.errors[0].toStdString();
  EXPECT_TRUE(dialogs_.errors[0].startsWith("Nie można zapisać pliku „" + PathOf("zdarzenia.csv") +
                                            "”: błąd przy zapisie"))
      << error;
  EXPECT_NE(error.find("File too large"), std::string::npos) << error;
  EXPECT_EQ(ReadFileBytes(dir_ / "zdarzenia.csv"), "poprzedni eksport\r\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 2);

  dialogs_.save_answers.push_back(PathOf("zdarzenia.csv"));
  Form().Button1Click();
  EXPECT_EQ(dialogs_.errors.size(), 1);
  EXPECT_EQ(ReadFileBytes(dir_ / "zdarzenia.csv"), kHeading + ";;;;;;\r\n");
}

}  // namespace
}  // namespace veldoran::link
