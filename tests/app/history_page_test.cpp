// The page "Historia" over a real archive file: what it lists, how each filter narrows it,
// and the file "Zapisz do pliku CSV" writes of it.
#include "app/history_page.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <filesystem>

#include "site/event_archive.h"
#include "site/site_database.h"
#include "support/window_fixture.h"
#include "ui/page_control.h"
#include "ui/string_grid.h"

namespace veldoran::app {
namespace {

const QDate kDay1(2024, 3, 1);
const QDate kDay2(2024, 3, 2);
const QDate kDay3(2024, 3, 3);

std::int32_t At(const QDate& day, int hour) {
  return static_cast<std::int32_t>(site::DayStart(day) + hour * 3600);
}

class HistoryPageTest : public testing::WindowTest {
 protected:
  // Two reads: locker 1 (day 1 08:00 Żółć, day 3 07:00 Nowak), locker 2 (day 2 10:00 Żółć).
  void ArchiveTwoReads() {
    records::UserTable users;
    users[1] = {QStringLiteral("Łukasz"), QStringLiteral("Żółć"), QStringLiteral("0011AABB"),
                QStringLiteral("1111111111")};
    users[2] = {QStringLiteral("Anna"), QStringLiteral("Nowak"), QStringLiteral("00334455"),
                QStringLiteral("1111111111")};
    site::SiteDatabase db(dir_ / site::kDatabaseFileName);
    db.Open();
    site::EventArchive archive(db);
    const QString hall_a = QStringLiteral("Hala A");
    const QString hall_b = QStringLiteral("Hala B; wejście");
    ASSERT_EQ(
        archive.StoreRead(1, At(kDay3, 12),
                          {{1, At(kDay1, 8), 0, hall_a}, {1, At(kDay3, 7), 1, hall_a}}, users),
        2);
    ASSERT_EQ(archive.StoreRead(2, At(kDay3, 12), {{2, At(kDay2, 10), 0, hall_b}}, users), 1);
  }

  HistoryPage& Page() {
    TForm1& form = Form();
    form.PageControl1->setCurrentWidget(form.TabSheet4);
    return *form.history_page();
  }

  // The "Data Czas" of every row shown.
  static std::vector<std::string> Shown(const HistoryPage& page) {
    std::vector<std::string> shown;
    for (const QStringList& row : page.Rows())
      shown.push_back((row[3] + " " + row[4]).toStdString());
    return shown;
  }
};

TEST_F(HistoryPageTest, IsTheFourthTabAndListsTheArchiveNewestFirst) {
  ArchiveTwoReads();
  HistoryPage& page = Page();
  EXPECT_EQ(Form().PageControl1->tabText(3), "Historia");
  EXPECT_EQ(page.CountLine->text(), "Zdarzeń: 3");
  ASSERT_EQ(page.Grid->RowCount(), 4);
  const char* expected[][8] = {
      {"1", "Nowak", "Anna", "2024-03-03", "07:00:00", "1", "Hala A", "00334455"},
      {"2", "Żółć", "Łukasz", "2024-03-02", "10:00:00", "2", "Hala B; wejście", "0011AABB"},
      {"3", "Żółć", "Łukasz", "2024-03-01", "08:00:00", "1", "Hala A", "0011AABB"},
  };
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 8; ++c) {
      EXPECT_EQ(page.Grid->Cell(c, r + 1), QString::fromUtf8(expected[r][c])) << r << "," << c;
    }
  }
}

struct FilterCase {
  const char* name;
  int locker;  // combo index: 0 "wszystkie", n locker n
  bool range;
  QDate from, to;
  const char* text;
  std::vector<std::string> shown;
};

TEST_F(HistoryPageTest, EachFilterNarrowsTheListAndTheCount) {
  ArchiveTwoReads();
  HistoryPage& page = Page();
  const std::string d3 = "2024-03-03 07:00:00", d2 = "2024-03-02 10:00:00",
                    d1 = "2024-03-01 08:00:00";
  const FilterCase cases[] = {
      {"locker 1", 1, false, {}, {}, "", {d3, d1}},
      {"locker 2", 2, false, {}, {}, "", {d2}},
      {"locker without events", 7, false, {}, {}, "", {}},
      {"days 2 to 3", 0, true, kDay2, kDay3, "", {d3, d2}},
      {"one day", 0, true, kDay1, kDay1, "", {d1}},
      {"range backwards", 0, true, kDay3, kDay1, "", {}},
      {"surname, other case", 0, false, {}, {}, "nOWAK", {d3}},
      {"Polish letters, other case", 0, false, {}, {}, "ŻÓŁĆ", {d2, d1}},
      {"part of a card code", 0, false, {}, {}, "11aa", {d2, d1}},
      {"text and locker", 1, false, {}, {}, "łukasz", {d1}},
      {"dates unchecked are ignored", 0, false, kDay1, kDay1, "", {d3, d2, d1}},
      {"no match", 0, false, {}, {}, "Kowalski", {}},
  };
  for (const FilterCase& c : cases) {
    SCOPED_TRACE(c.name);
    page.Search->setText(QString());
    page.DateRange->setChecked(false);
    page.Locker->setCurrentIndex(c.locker);
    if (c.from.isValid()) {
      page.From->setDate(c.from);
      page.To->setDate(c.to);
    }
    page.DateRange->setChecked(c.range);
    page.Search->setText(QString::fromUtf8(c.text));
    EXPECT_EQ(Shown(page), c.shown);
    EXPECT_EQ(page.CountLine->text(), QStringLiteral("Zdarzeń: %1").arg(c.shown.size()));
    // No events leave one empty row, as the events grid does.
    EXPECT_EQ(page.Grid->RowCount(), std::max<int>(2, static_cast<int>(c.shown.size()) + 1));
    if (c.shown.empty()) {
      EXPECT_EQ(page.Grid->Cell(1, 1), "");
    }
  }
}

TEST_F(HistoryPageTest, SavesTheRowsShownInTheEventsFileFormat) {
  ArchiveTwoReads();
  HistoryPage& page = Page();
  page.Search->setText(QStringLiteral("żółć"));
  const auto file = dir_ / "historia.csv";
  dialogs_.save_answers.push_back(QString::fromStdString(file.string()));
  page.SaveButton->click();
  EXPECT_TRUE(dialogs_.errors.isEmpty()) << dialogs_.errors.join("|").toStdString();
  ASSERT_EQ(dialogs_.save_requests.size(), 1u);
  // Windows-1250, CRLF, the name with ";" in quotes, no "nr" column.
  const std::string zolc = "\xAF\xF3\xB3\xE6;\xA3ukasz;";
  EXPECT_EQ(testing::ReadFileBytes(file), "NAZWISKO;IMI\xCA;DATA;CZAS;NR;LOKALIZACJA;KARTA\r\n" +
                                              zolc +
                                              "2024-03-02;10:00:00;2;\"Hala B; wej\x9C"
                                              "cie\";0011AABB\r\n" +
                                              zolc + "2024-03-01;08:00:00;1;Hala A;0011AABB\r\n");
}

TEST_F(HistoryPageTest, ACompletedReadShowsAtOnce) {
  ArchiveTwoReads();
  HistoryPage& page = Page();
  TForm1& form = Form();
  form.Events[0].LockerNumber = 3;
  form.Events[0].UserSlot = 5;
  form.Events[0].Location = QStringLiteral("Hala C");
  form.Events[0].ClockValue = At(kDay3, 9);
  form.EventCount = 1;
  form.ControllerNumber = 3;
  form.FillEventsGrid();
  EXPECT_EQ(page.CountLine->text(), "Zdarzeń: 4");
  EXPECT_EQ(Shown(page).front(), "2024-03-03 09:00:00");
}

TEST_F(HistoryPageTest, WithoutADatabaseTheListIsEmptyAndSavesOnlyTheHeading) {
  std::filesystem::create_directory(dir_ / site::kDatabaseFileName);  // a folder: unusable
  HistoryPage& page = Page();
  page.Locker->setCurrentIndex(2);
  EXPECT_EQ(page.CountLine->text(), "Zdarzeń: 0");
  EXPECT_TRUE(page.Rows().isEmpty());
  const auto file = dir_ / "pusta.csv";
  dialogs_.save_answers.push_back(QString::fromStdString(file.string()));
  page.SaveButton->click();
  EXPECT_TRUE(dialogs_.errors.isEmpty()) << dialogs_.errors.join("|").toStdString();
  EXPECT_EQ(testing::ReadFileBytes(file), "NAZWISKO;IMI\xCA;DATA;CZAS;NR;LOKALIZACJA;KARTA\r\n");
}

}  // namespace
}  // namespace veldoran::app
