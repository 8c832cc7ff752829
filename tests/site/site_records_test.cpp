// Uploads, locker states, the event archive and its queries, on real SQLite files.
#include <gtest/gtest.h>

#include <QSqlQuery>

#include "site/event_archive.h"
#include "site/history.h"
#include "site/site_database.h"
#include "site/uploads.h"
#include "site_test_support.h"
#include "support/temp_dir.h"

namespace veldoran::site {
namespace {

using testing::EventsOf;
using testing::QueryFile;
using testing::UsersWithCodes;
using Kind = LockerState::Kind;

constexpr std::int32_t kMonday = 1600000000;  // 2020-09-13 ~ 14:26 local wall clock

class SiteRecordsTest : public ::testing::Test {
 protected:
  std::filesystem::path File() const { return dir_ / kDatabaseFileName; }
  testing::TempDir dir_;
};

TEST_F(SiteRecordsTest, NoFileUntilTheFirstWriteThenTheCurrentSchemaInWalMode) {
  SiteDatabase db(File());
  db.Open();
  EXPECT_EQ(db.state(), SiteDatabase::State::Absent);
  EXPECT_FALSE(std::filesystem::exists(File()));
  UploadRecords uploads(db);
  EXPECT_EQ(uploads.StateOf(1, UsersWithCodes(3)).kind, Kind::Unknown);
  ASSERT_TRUE(uploads.Record(1, kMonday, true, HoldersFor(UsersWithCodes(3), 1)))
      << db.problem().toStdString();
  EXPECT_EQ(db.state(), SiteDatabase::State::Ready);
  EXPECT_EQ(QueryFile(File(), "PRAGMA user_version"), QString::number(SchemaVersion()));
  EXPECT_EQ(QueryFile(File(), "PRAGMA journal_mode"), "wal");
  EXPECT_TRUE(db.problem().isEmpty());
}

TEST_F(SiteRecordsTest, LockerStateFollowsTheUsersTableAndTheLastUpload) {
  SiteDatabase db(File());
  db.Open();
  UploadRecords uploads(db);
  records::UserTable users = UsersWithCodes(5);
  ASSERT_TRUE(uploads.Record(2, kMonday, true, HoldersFor(users, 2)));
  EXPECT_EQ(uploads.StateOf(2, users), (LockerState{Kind::Current, 0, 0}));
  EXPECT_EQ(uploads.StateOf(1, users).kind, Kind::Unknown);  // never uploaded

  struct Case {
    const char* what;
    void (*change)(records::UserTable&);
    LockerState expected;
  };
  const Case cases[] = {
      {"user deleted",
       [](records::UserTable& u) {
         u[3] = {"", "", "", "0000000000"};
       },
       {Kind::Stale, 0, 1}},
      {"user added",
       [](records::UserTable& u) {
         u[9] = {"A", "B", "0000AAAA", "1111111111"};
       },
       {Kind::Stale, 1, 0}},
      {"code changed",
       [](records::UserTable& u) { u[1].CardCode = "0000BBBB"; },
       {Kind::Stale, 1, 1}},
      {"locker 2 taken away",
       [](records::UserTable& u) { u[2].Permissions = "1011111111"; },
       {Kind::Stale, 0, 1}},
      {"another locker taken away",
       [](records::UserTable& u) { u[2].Permissions = "0111111111"; },
       {Kind::Current, 0, 0}},
      {"only names changed",
       [](records::UserTable& u) { u[4].Surname = "Nowak"; },
       {Kind::Current, 0, 0}},
  };
  for (const Case& c : cases) {
    records::UserTable changed = users;
    c.change(changed);
    EXPECT_EQ(uploads.StateOf(2, changed), c.expected) << c.what;
  }
  // All ten at once; a failed upload makes the locker's cards unknown, also after a reopen.
  ASSERT_TRUE(uploads.Record(2, kMonday + 60, false, HoldersFor(users, 2)));
  SiteDatabase again(File());
  again.Open();
  const auto states = UploadRecords(again).States(users);
  for (const LockerState& s : states) EXPECT_EQ(s.kind, Kind::Unknown);
}

TEST_F(SiteRecordsTest, EventsNameWhoHeldTheSlotThenAndAreStoredOnce) {
  SiteDatabase db(File());
  db.Open();
  UploadRecords uploads(db);
  EventArchive archive(db);
  records::UserTable then = UsersWithCodes(10);
  ASSERT_TRUE(uploads.Record(1, kMonday, true, HoldersFor(then, 1)));
  records::UserTable now = then;
  now[4] = {"Nowy", "Pracownik", "0000CAFE", "1111111111"};  // slot 3 given to someone else

  // One event before the upload (no upload known then), two after it; the second pair are
  // identical records (same second and slot) that both happened.
  std::vector<ReadEvent> events = {{1, kMonday - 60, 3, "Hala"},
                                   {1, kMonday + 60, 3, "Hala"},
                                   {1, kMonday + 120, 5, "Hala"},
                                   {1, kMonday + 120, 5, "Hala"}};
  EXPECT_EQ(archive.StoreRead(1, kMonday + 600, events, now), 4);
  EXPECT_EQ(archive.StoreRead(1, kMonday + 700, events, now), 0);  // the same memory again

  History history(db);
  const auto rows = history.Rows({}, 0, 10);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(history.Count({}), 4);
  // Newest first.
  EXPECT_EQ(rows[0].at, kMonday + 120);
  EXPECT_EQ(rows[3].at, kMonday - 60);
  // After the upload: who had slot 3 then; before it: the users table at the read, marked.
  EXPECT_EQ(rows[2].surname, "Nazwisko 4");
  EXPECT_EQ(rows[2].code, "00000004");
  EXPECT_TRUE(rows[2].from_upload);
  EXPECT_EQ(rows[3].surname, "Pracownik");
  EXPECT_FALSE(rows[3].from_upload);
  EXPECT_EQ(rows[0].location, "Hala");
}

TEST_F(SiteRecordsTest, ArchivedSinceClearIsWhatTheLastReadBroughtAfterTheLastClear) {
  SiteDatabase db(File());
  db.Open();
  EventArchive archive(db);
  const auto users = UsersWithCodes(3);
  EXPECT_EQ(archive.ArchivedSinceClear(1), 0);
  ASSERT_TRUE(archive.StoreRead(1, kMonday, EventsOf(1, kMonday - 9000, 5), users));
  ASSERT_TRUE(archive.StoreRead(2, kMonday, EventsOf(2, kMonday - 9000, 7), users));
  EXPECT_EQ(archive.ArchivedSinceClear(1), 5);
  EXPECT_EQ(archive.ArchivedSinceClear(2), 7);
  ASSERT_TRUE(archive.RecordClear(1, kMonday + 1));
  EXPECT_EQ(archive.ArchivedSinceClear(1), 0);
  EXPECT_EQ(archive.ArchivedSinceClear(2), 7);  // another locker's clear
  ASSERT_TRUE(archive.StoreRead(1, kMonday + 2, EventsOf(1, kMonday + 100, 2), users));
  EXPECT_EQ(archive.ArchivedSinceClear(1), 2);
}

TEST_F(SiteRecordsTest, HistoryFiltersByLockerDaysAndTextInAnyCase) {
  SiteDatabase db(File());
  db.Open();
  EventArchive archive(db);
  records::UserTable users = UsersWithCodes(10);
  users[1] = {"Łukasz", "Żółć", "00AB12CD", "1111111111"};
  // Day d, slot 0 (Łukasz) at 08:00, slot 1 at 09:00, on lockers 1 and 2, five days.
  const std::int64_t day0 = DayStart(QDate(2024, 3, 1));
  std::vector<ReadEvent> events;
  for (int d = 0; d < 5; ++d) {
    for (int locker = 1; locker <= 2; ++locker) {
      const auto at = static_cast<std::int32_t>(day0 + d * 86400 + 8 * 3600);
      events.push_back({locker, at, 0, "A"});
      events.push_back({locker, at + 3600, 1, "A"});
    }
  }
  ASSERT_EQ(archive.StoreRead(1, day0 + 10 * 86400, events, users), 20);

  History history(db);
  struct Case {
    HistoryFilter filter;
    int count;
  };
  const Case cases[] = {
      {{}, 20},
      {{2, {}, {}, {}}, 10},
      {{0, QDate(2024, 3, 2), QDate(2024, 3, 3), {}}, 8},
      {{0, QDate(2024, 3, 5), {}, {}}, 4},
      {{0, {}, QDate(2024, 3, 1), {}}, 4},
      {{0, QDate(2024, 3, 6), {}, {}}, 0},
      {{0, {}, {}, "łukasz"}, 10},
      {{0, {}, {}, "ŻÓŁĆ"}, 10},
      {{0, {}, {}, "ab12"}, 10},  // card code
      {{0, {}, {}, "Łukasz Żółć"}, 10},
      {{1, QDate(2024, 3, 1), QDate(2024, 3, 1), "Nazwisko 2"}, 1},
      {{0, {}, {}, "nikt"}, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(history.Count(c.filter), c.count) << c.filter.text.toStdString();
    EXPECT_EQ(history.Rows(c.filter, 0, 100).size(), static_cast<std::size_t>(c.count))
        << c.filter.text.toStdString();
  }
  // Pages follow each other without a gap or an overlap.
  const auto first = history.Rows({}, 0, 7);
  const auto second = history.Rows({}, 7, 7);
  ASSERT_EQ(first.size(), 7u);
  ASSERT_EQ(second.size(), 7u);
  EXPECT_GE(first.back().at, second.front().at);
  EXPECT_EQ(history.Rows({}, 18, 7).size(), 2u);
}

TEST_F(SiteRecordsTest, AnEarlierSchemaIsMigratedKeepingItsUploads) {
  // A file as the first schema left it: uploads only.
  {
    QSqlDatabase raw = QSqlDatabase::addDatabase("QSQLITE", "v1");
    raw.setDatabaseName(QString::fromStdString(File().string()));
    ASSERT_TRUE(raw.open());
    QSqlQuery q(raw);
    for (const char* sql :
         {"CREATE TABLE uploads(id INTEGER PRIMARY KEY, locker INTEGER NOT NULL,"
          " at INTEGER NOT NULL, ok INTEGER NOT NULL)",
          "CREATE INDEX uploads_by_locker ON uploads(locker, id)",
          "CREATE TABLE upload_slots(upload_id INTEGER NOT NULL REFERENCES uploads(id),"
          " slot INTEGER NOT NULL, code TEXT NOT NULL, first_name TEXT NOT NULL,"
          " surname TEXT NOT NULL, PRIMARY KEY(upload_id, slot)) WITHOUT ROWID",
          "INSERT INTO uploads VALUES(1, 4, 1600000000, 1)", "PRAGMA user_version=1"}) {
      ASSERT_TRUE(q.exec(sql)) << sql;
    }
    for (int slot = 0; slot < 100; ++slot) {
      ASSERT_TRUE(q.exec(QStringLiteral("INSERT INTO upload_slots VALUES(1, %1, '%2', '', '')")
                             .arg(slot)
                             .arg(slot == 0 ? "00000001" : "FFFFFFFF")));
    }
    raw.close();
  }
  QSqlDatabase::removeDatabase("v1");
  SiteDatabase db(File());
  db.Open();
  ASSERT_EQ(db.state(), SiteDatabase::State::Ready) << db.problem().toStdString();
  EXPECT_EQ(QueryFile(File(), "PRAGMA user_version"), QString::number(SchemaVersion()));
  EXPECT_EQ(UploadRecords(db).StateOf(4, UsersWithCodes(1)).kind, Kind::Current);
  EXPECT_EQ(EventArchive(db).StoreRead(4, kMonday, EventsOf(4, kMonday, 3), UsersWithCodes(1)), 3);
}

}  // namespace
}  // namespace veldoran::site
