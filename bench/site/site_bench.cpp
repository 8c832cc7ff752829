// Figures of the site database: storing a full read, the upload state of ten lockers, and the
// history page (count and first page) on a large archive, with the file's size per event.
//   site_bench [FILE [EVENTS]]   FILE is made once (default /tmp/veldoran-bench.db, 1000000)
#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "site/event_archive.h"
#include "site/history.h"
#include "site/site_database.h"
#include "site/uploads.h"

namespace {

using namespace veldoran;
using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point from) {
  return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
}

records::UserTable Users() {
  records::UserTable users;
  for (int row = 1; row <= 100; ++row) {
    users[static_cast<std::size_t>(row)] = {
        QStringLiteral("Imię %1").arg(row), QStringLiteral("Nazwisko %1").arg(row),
        QStringLiteral("%1").arg(row, 8, 16, QLatin1Char('0')), QStringLiteral("1111111111")};
  }
  return users;
}

std::vector<site::ReadEvent> Read(int locker, std::int32_t first, int count) {
  std::vector<site::ReadEvent> events;
  for (int i = 0; i < count; ++i) {
    events.push_back({locker, first + 37 * i, i % 100, QStringLiteral("Szafka %1").arg(locker)});
  }
  return events;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const std::filesystem::path file = argc > 1 ? argv[1] : "/tmp/veldoran-bench.db";
  const int total = argc > 2 ? std::stoi(argv[2]) : 1000000;
  const auto users = Users();
  const std::int32_t start = 1600000000;
  site::SiteDatabase db(file);
  db.Open();
  site::EventArchive archive(db);
  site::History history(db);
  if (history.Count({}) < total) {
    std::printf("making an archive of %d events (once) ...\n", total);
    const auto made = Clock::now();
    site::UploadRecords uploads(db);
    for (int locker = 1; locker <= 10; ++locker) {
      uploads.Record(locker, start - 10, true, site::HoldersFor(users, locker));
    }
    for (int read = 0; history.Count({}) < total; ++read) {
      const int locker = 1 + read % 10;
      archive.StoreRead(locker, start + read, Read(locker, start + read * 37000, 1000), users);
    }
    std::printf("  made in %.1f s\n", Ms(made) / 1000);
  }
  if (!db.CanRead()) {
    std::printf("%s\n", db.problem().toLocal8Bit().constData());
    return 1;
  }
  const int events = history.Count({});

  auto t = Clock::now();
  archive.StoreRead(7, start, Read(7, start - 400000000, 1000), users);
  std::printf("store a full read (1000 events, one transaction): %.1f ms\n", Ms(t));
  t = Clock::now();
  site::UploadRecords(db).States(users);
  std::printf("upload state of ten lockers: %.2f ms\n", Ms(t));

  struct Filter {
    const char* name;
    site::HistoryFilter filter;
  };
  const QDate day = QDate(2020, 9, 20);
  const Filter filters[] = {
      {"page open (no filter)", {}},
      {"locker 3", {3, {}, {}, {}}},
      {"one week", {0, day, day.addDays(6), {}}},
      {"text \"nazwisko 42\"", {0, {}, {}, QStringLiteral("nazwisko 42")}},
      {"locker 3 + week + text", {3, day, day.addDays(6), QStringLiteral("imię 5")}},
  };
  for (const Filter& f : filters) {
    t = Clock::now();
    const int count = history.Count(f.filter);
    const auto rows = history.Rows(f.filter, 0, 256);
    std::printf("history %-26s count %7d + first 256 rows: %6.1f ms\n", f.name, count, Ms(t));
  }
  const auto size = std::filesystem::file_size(file);
  std::printf("file %.1f MB for %d events: %.1f bytes per event\n", size / 1e6, events,
              static_cast<double>(size) / events);
  t = Clock::now();
  site::SiteDatabase again(file);
  again.Open();
  std::printf("open (with its quick check): %.0f ms\n", Ms(t));
  return 0;
}
