// Files the tool cannot use, and kills in the middle of a write: the file is never changed by
// a write that fails, and every read is stored wholly or not at all.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QSqlDatabase>
#include <QSqlQuery>
#include <chrono>
#include <iostream>
#include <random>
#include <thread>

#include "site/event_archive.h"
#include "site/history.h"
#include "site/site_database.h"
#include "site/uploads.h"
#include "site_test_support.h"
#include "support/temp_dir.h"

extern char** environ;

namespace veldoran::site {
namespace {

using testing::EventsOf;
using testing::QueryFile;
using testing::ReadFileBytes;
using testing::UsersWithCodes;
using testing::WriteFileBytes;

constexpr std::int32_t kAt = 1600000000;

class SiteFaultsTest : public ::testing::Test {
 protected:
  std::filesystem::path File() const { return dir_ / kDatabaseFileName; }

  // A file holding `events` events of locker 1 and an upload to it, checkpointed into the
  // main file and closed.
  void MakeArchive(int events) {
    SiteDatabase db(File());
    db.Open();
    ASSERT_TRUE(UploadRecords(db).Record(1, kAt - 100, true, HoldersFor(UsersWithCodes(9), 1)));
    ASSERT_TRUE(EventArchive(db).StoreRead(1, kAt, EventsOf(1, kAt, events), UsersWithCodes(9)));
  }

  // Uses the file every way the window does; returns the one message told.
  QString UseEverything(SiteDatabase& db) {
    QStringList told;
    db.SetOnProblem([&](const QString& m) { told << m; });
    db.Open();
    const auto users = UsersWithCodes(9);
    UploadRecords(db).States(users);
    History(db).Count({});
    History(db).Rows({0, {}, {}, QStringLiteral("Imię")}, 0, 50);
    UploadRecords(db).Record(1, kAt, true, HoldersFor(users, 1));
    EventArchive(db).StoreRead(1, kAt + 1, EventsOf(1, kAt + 999999, 50), users);
    EventArchive(db).RecordClear(1, kAt + 2);
    EXPECT_LE(told.size(), 1) << told.join("|").toStdString();
    return told.value(0);
  }

  testing::TempDir dir_;
};

TEST_F(SiteFaultsTest, DamagedFilesAreLeftAsTheyAreAndSaidSoOnce) {
  MakeArchive(3000);
  const std::string good = ReadFileBytes(File());
  ASSERT_GT(good.size(), 16u * 4096);
  struct Case {
    const char* what;
    std::string bytes;
  };
  std::string zero_page = good;
  zero_page.replace(8 * 4096, 4096, std::string(4096, '\0'));
  std::string zero_last = good;
  zero_last.replace(zero_last.size() - 4096, 4096, std::string(4096, '\0'));
  const Case cases[] = {
      {"not a database", "[Szafki]\r\n1=Szafka 1\r\n" + std::string(5000, 'x')},
      {"truncated", good.substr(0, good.size() / 2)},
      {"a page of zeros", zero_page},
      {"the last page zeros", zero_last},
      {"zeros from the start", std::string(8192, '\0') + good.substr(8192)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(dir_ / "Veldoran.db-wal");
    std::filesystem::remove(dir_ / "Veldoran.db-shm");
    WriteFileBytes(File(), c.bytes);
    {
      SiteDatabase db(File(), {100});
      const QString told = UseEverything(db);
      EXPECT_EQ(db.state(), SiteDatabase::State::Unusable);
      EXPECT_TRUE(told.contains("uszkodzony")) << told.toStdString();
      EXPECT_TRUE(told.contains("bez historii")) << told.toStdString();
    }
    EXPECT_TRUE(ReadFileBytes(File()) == c.bytes);
  }
}

TEST_F(SiteFaultsTest, AFolderOfThatNameIsNotUsed) {
  std::filesystem::create_directory(File());
  SiteDatabase db(File());
  EXPECT_TRUE(UseEverything(db).contains("folderem"));
  EXPECT_TRUE(std::filesystem::is_directory(File()));
  EXPECT_TRUE(std::filesystem::is_empty(File()));
}

TEST_F(SiteFaultsTest, AFileLockedByAnotherProgramIsNotUsedAndNotChanged) {
  MakeArchive(10);
  QSqlDatabase other = QSqlDatabase::addDatabase("QSQLITE", "other");
  other.setDatabaseName(QString::fromStdString(File().string()));
  ASSERT_TRUE(other.open());
  {
    QSqlQuery q(other);
    ASSERT_TRUE(q.exec("PRAGMA locking_mode=EXCLUSIVE"));
    ASSERT_TRUE(q.exec("BEGIN EXCLUSIVE"));
    ASSERT_TRUE(q.exec("INSERT INTO clears(locker, at, after_read) VALUES(9, 1, 0)"));
    SiteDatabase db(File(), {100});
    EXPECT_TRUE(UseEverything(db).contains("zablokowany"));
    ASSERT_TRUE(q.exec("ROLLBACK"));
  }
  other.close();
  other = QSqlDatabase();
  QSqlDatabase::removeDatabase("other");
  EXPECT_EQ(QueryFile(File(), "SELECT count(*) FROM events"), "10");
  EXPECT_EQ(QueryFile(File(), "SELECT count(*) FROM uploads"), "1");
}

TEST_F(SiteFaultsTest, AWriteWhileAnotherProgramWritesFailsWholly) {
  MakeArchive(10);
  SiteDatabase db(File(), {100});
  db.Open();
  ASSERT_EQ(db.state(), SiteDatabase::State::Ready);
  QSqlDatabase other = QSqlDatabase::addDatabase("QSQLITE", "writer");
  other.setDatabaseName(QString::fromStdString(File().string()));
  ASSERT_TRUE(other.open());
  {
    QSqlQuery q(other);
    ASSERT_TRUE(q.exec("BEGIN IMMEDIATE"));
    EXPECT_FALSE(EventArchive(db).StoreRead(1, kAt, EventsOf(1, kAt + 99999, 5), {}));
    EXPECT_TRUE(db.problem().contains("zablokowany")) << db.problem().toStdString();
    ASSERT_TRUE(q.exec("COMMIT"));
  }
  other.close();
  other = QSqlDatabase();
  QSqlDatabase::removeDatabase("writer");
  EXPECT_EQ(QueryFile(File(), "SELECT count(*) FROM events"), "10");
}

TEST_F(SiteFaultsTest, ANewerVersionsFileIsOnlyRead) {
  MakeArchive(10);
  ASSERT_EQ(QueryFile(File(), "PRAGMA user_version=99"), "");
  const std::string before = ReadFileBytes(File());
  {
    SiteDatabase db(File());
    const QString told = UseEverything(db);
    EXPECT_EQ(db.state(), SiteDatabase::State::ReadOnly);
    EXPECT_TRUE(told.contains("nowszej wersji")) << told.toStdString();
    EXPECT_EQ(History(db).Count({}), 10);
    EXPECT_EQ(UploadRecords(db).StateOf(1, UsersWithCodes(9)).kind, LockerState::Kind::Current);
  }
  EXPECT_TRUE(ReadFileBytes(File()) == before);
}

TEST_F(SiteFaultsTest, AFullDiskLeavesTheFileAsItWas) {
  MakeArchive(10);
  SiteDatabase db(File());
  db.Open();
  {
    testing::ScopedFileSizeLimit full(std::filesystem::file_size(File()) + 8192);
    EXPECT_FALSE(EventArchive(db).StoreRead(1, kAt, EventsOf(1, kAt + 99999, 3000), {}));
  }
  EXPECT_EQ(db.state(), SiteDatabase::State::Unusable);
  EXPECT_FALSE(db.problem().isEmpty());
  EXPECT_EQ(QueryFile(File(), "PRAGMA integrity_check"), "ok");
  EXPECT_EQ(QueryFile(File(), "SELECT count(*) FROM events"), "10");
  EXPECT_EQ(QueryFile(File(), "SELECT count(*) FROM reads"), "1");
}

TEST_F(SiteFaultsTest, AKillDuringAWriteLeavesEveryReadWhollyStoredOrNotAtAll) {
  std::mt19937 random(12345);
  const std::string file = File().string();
  constexpr int kKills = 25;
  for (int kill = 0; kill < kKills; ++kill) {
    char* argv[] = {const_cast<char*>(VELDORAN_ARCHIVE_WRITER), const_cast<char*>(file.c_str()),
                    nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ), 0);
    // Until the file exists, then a moment into the writes.
    for (int i = 0; i < 500 && !std::filesystem::exists(File()); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 60));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself: " << status;
  }
  EXPECT_EQ(QueryFile(File(), "PRAGMA integrity_check"), "ok");
  const QString reads = QueryFile(File(), "SELECT count(*) FROM reads");
  EXPECT_GT(reads.toInt(), 0);
  // Every stored read holds its 1000 events; no event without its read.
  EXPECT_EQ(QueryFile(File(),
                      "SELECT count(*) FROM reads WHERE added != 1000 OR covered != 1000 OR"
                      " added != (SELECT count(*) FROM events WHERE read_id = reads.id)"),
            "0");
  EXPECT_EQ(QueryFile(File(), "SELECT count(*) FROM events"),
            QString::number(reads.toInt() * 1000));
  std::cout << "[          ] " << kKills << " kills, " << reads.toStdString()
            << " reads stored whole\n";
}

}  // namespace
}  // namespace veldoran::site
