// The page "Historia" on a large archive: how long opening it and each change of filter take,
// counting, reading the page of rows and filling the grid.
//   history_page_bench [FILE]   FILE: an archive made by site_bench (default
//                               /tmp/veldoran-bench.db); run offscreen (QT_QPA_PLATFORM).
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QLabel>
#include <QLineEdit>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>

#include "app/history_page.h"
#include "site/site_database.h"
#include "ui/dialogs.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point since) {
  return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const std::filesystem::path file = argc > 1 ? argv[1] : "/tmp/veldoran-bench.db";
  veldoran::site::SiteDatabase db(file);
  db.Open();
  if (!db.CanRead()) {
    std::printf("no archive at %s: run site_bench first\n", file.string().c_str());
    return 1;
  }
  QWidget sheet;
  veldoran::ui::QtDialogs dialogs(&sheet);
  veldoran::ui::TSaveDialog save_dialog;
  auto t = Clock::now();
  veldoran::app::HistoryPage page(&sheet, db, veldoran::ui::DateTimeFormats::System(), save_dialog,
                                  dialogs);
  std::printf("open the page: %6.1f ms  (%s)\n", Ms(t),
              page.CountLine->text().toUtf8().constData());

  const QDate day(2020, 9, 20);
  struct Change {
    const char* name;
    std::function<void()> apply;
  };
  const Change changes[] = {
      {"locker 3", [&] { page.Locker->setCurrentIndex(3); }},
      {"date range on",
       [&] {
         page.From->setDate(day);
         page.To->setDate(day.addDays(6));
         t = Clock::now();  // the dates alone refresh while the range is off
         page.DateRange->setChecked(true);
       }},
      {"text \"imię 5\"", [&] { page.Search->setText(QStringLiteral("imię 5")); }},
      {"every locker", [&] { page.Locker->setCurrentIndex(0); }},
      {"date range off", [&] { page.DateRange->setChecked(false); }},
      {"text cleared", [&] { page.Search->clear(); }},
  };
  for (const Change& c : changes) {
    t = Clock::now();
    c.apply();
    std::printf("%-16s %6.1f ms  (%s)\n", c.name, Ms(t),
                page.CountLine->text().toUtf8().constData());
  }
  // The slowest change above, apart: the archive's two queries and the grid.
  page.Search->setText(QStringLiteral("imię 5"));
  veldoran::site::History history(db);
  t = Clock::now();
  const int count = history.Count(page.Filter());
  std::printf("  of which count (%d): %6.1f ms", count, Ms(t));
  t = Clock::now();
  const auto rows = history.Rows(page.Filter(), 0, veldoran::app::kHistoryShownRows);
  std::printf(", %zu rows: %6.1f ms\n", rows.size(), Ms(t));
  return 0;
}
