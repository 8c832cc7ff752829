#include "site/site_database.h"

#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <atomic>
#include <system_error>
#include <vector>

namespace veldoran::site {

namespace {

// Each step takes the file from the version before it to its own number (its place, from 1).
// A step is never changed once released: a new version adds a step.
const std::vector<std::vector<const char*>>& Migrations() {
  static const std::vector<std::vector<const char*>> steps = {
      // 1: the uploads to each locker, with the 100 codes sent and their holders' names.
      {
          "CREATE TABLE uploads(id INTEGER PRIMARY KEY, locker INTEGER NOT NULL,"
          " at INTEGER NOT NULL, ok INTEGER NOT NULL)",
          "CREATE INDEX uploads_by_locker ON uploads(locker, id)",
          "CREATE TABLE upload_slots(upload_id INTEGER NOT NULL REFERENCES uploads(id),"
          " slot INTEGER NOT NULL, code TEXT NOT NULL, first_name TEXT NOT NULL,"
          " surname TEXT NOT NULL, PRIMARY KEY(upload_id, slot)) WITHOUT ROWID",
      },
      // 2: the event archive: the reads, the clears of a locker's memory and the events, with
      // holders and locker names kept once each.
      {
          "CREATE TABLE holders(id INTEGER PRIMARY KEY, code TEXT NOT NULL,"
          " first_name TEXT NOT NULL, surname TEXT NOT NULL, UNIQUE(code, first_name, surname))",
          "CREATE TABLE locations(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE)",
          "CREATE TABLE reads(id INTEGER PRIMARY KEY, locker INTEGER NOT NULL,"
          " at INTEGER NOT NULL, covered INTEGER NOT NULL, added INTEGER NOT NULL)",
          "CREATE INDEX reads_by_locker ON reads(locker, id)",
          "CREATE TABLE clears(id INTEGER PRIMARY KEY, locker INTEGER NOT NULL,"
          " at INTEGER NOT NULL, after_read INTEGER NOT NULL)",
          "CREATE INDEX clears_by_locker ON clears(locker, id)",
          "CREATE TABLE events(id INTEGER PRIMARY KEY, locker INTEGER NOT NULL,"
          " at INTEGER NOT NULL, slot INTEGER NOT NULL, nth INTEGER NOT NULL,"
          " read_id INTEGER NOT NULL REFERENCES reads(id),"
          " holder_id INTEGER NOT NULL REFERENCES holders(id),"
          " location_id INTEGER NOT NULL REFERENCES locations(id),"
          " from_upload INTEGER NOT NULL)",
          "CREATE UNIQUE INDEX events_identity ON events(locker, at, slot, nth)",
          "CREATE INDEX events_by_time ON events(at)",
          "CREATE INDEX events_by_holder ON events(holder_id, at)",
      },
  };
  return steps;
}

const QString kNewerFile = QStringLiteral(
    "Plik Veldoran.db pochodzi z nowszej wersji programu. Historię można przeglądać, ale nowe "
    "przesłania kart i odczytane zdarzenia nie będą w nim zapisywane.");

std::atomic<int> next_connection{0};

}  // namespace

int SchemaVersion() { return static_cast<int>(Migrations().size()); }

QString ReasonOf(const QSqlError& error) {
  bool numeric = false;
  const int code = error.nativeErrorCode().toInt(&numeric) & 0xFF;
  if (numeric) {
    switch (code) {
      case 5:  // SQLITE_BUSY
      case 6:  // SQLITE_LOCKED
        return QStringLiteral("jest zablokowany przez inny program");
      case 11:  // SQLITE_CORRUPT
      case 26:  // SQLITE_NOTADB
        return QStringLiteral("jest uszkodzony albo nie jest plikiem bazy danych");
      case 8:  // SQLITE_READONLY
        return QStringLiteral("jest tylko do odczytu");
      case 13:  // SQLITE_FULL
        return QStringLiteral("nie mieści się na dysku (brak wolnego miejsca)");
      case 10:  // SQLITE_IOERR
        return QStringLiteral("nie daje się zapisać (pełny dysk albo błąd dysku)");
      case 14:  // SQLITE_CANTOPEN
        return QStringLiteral("nie daje się otworzyć");
      case 3:   // SQLITE_PERM
      case 23:  // SQLITE_AUTH
        return QStringLiteral("jest niedostępny (brak uprawnień)");
      default:
        break;
    }
  }
  const QString text = error.databaseText().isEmpty() ? error.text() : error.databaseText();
  return QStringLiteral("zgłasza błąd: %1").arg(text);
}

SiteDatabase::SiteDatabase(const std::filesystem::path& path) : SiteDatabase(path, Options{}) {}

SiteDatabase::SiteDatabase(const std::filesystem::path& path, const Options& options)
    : options_(options),
      connection_name_(QStringLiteral("veldoran-site-%1").arg(next_connection++)) {
  std::error_code ec;
  path_ = std::filesystem::absolute(path, ec);
  if (ec) path_ = path;
}

SiteDatabase::~SiteDatabase() { Disconnect(); }

void SiteDatabase::SetOnProblem(std::function<void(const QString&)> on_problem) {
  on_problem_ = std::move(on_problem);
  if (!problem_.isEmpty() && !told_ && on_problem_) {
    told_ = true;
    on_problem_(problem_);
  }
}

void SiteDatabase::Tell(const QString& message) {
  if (!problem_.isEmpty()) return;  // once
  problem_ = message;
  if (on_problem_) {
    told_ = true;
    on_problem_(problem_);
  }
}

void SiteDatabase::Unusable(const QString& reason) {
  // The connection is let go by the next write (or at the end), once no query holds it.
  const bool first = state_ != State::Unusable;
  state_ = State::Unusable;
  if (first) {
    Tell(QStringLiteral("Plik Veldoran.db %1. Program działa dalej bez historii szafek i "
                        "zdarzeń; plik nie został zmieniony.")
             .arg(reason));
  }
}

void SiteDatabase::Fail(const QSqlError& error) { Unusable(ReasonOf(error)); }

bool SiteDatabase::Exec(QSqlQuery& query) {
  if (query.exec()) return true;
  Fail(query.lastError());
  return false;
}

bool SiteDatabase::Connect(bool read_only) {
  db_ = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection_name_);
  db_.setDatabaseName(QString::fromStdU16String(path_.u16string()));
  QString options = QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(options_.busy_timeout_ms);
  if (read_only) options += QStringLiteral(";QSQLITE_OPEN_READONLY");
  db_.setConnectOptions(options);
  if (!db_.open()) {
    Fail(db_.lastError());
    return false;
  }
  return true;
}

void SiteDatabase::Disconnect() {
  if (!db_.isValid()) return;
  db_.close();
  db_ = QSqlDatabase();
  QSqlDatabase::removeDatabase(connection_name_);
}

bool SiteDatabase::Configure() {
  QSqlQuery q(db_);
  // WAL lets a reader and a writer of another program work at once; FULL makes each commit
  // survive a power loss.
  if (!q.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !q.next()) {
    Fail(q.lastError());
    return false;
  }
  if (q.value(0).toString().compare(QStringLiteral("wal"), Qt::CaseInsensitive) != 0) {
    Unusable(QStringLiteral("nie daje się przełączyć w tryb WAL"));
    return false;
  }
  for (const char* pragma : {"PRAGMA foreign_keys=ON", "PRAGMA synchronous=FULL"}) {
    if (!q.exec(QString::fromLatin1(pragma))) {
      Fail(q.lastError());
      return false;
    }
  }
  return true;
}

bool SiteDatabase::Migrate(int from_version) {
  const auto& steps = Migrations();
  for (int version = from_version; version < static_cast<int>(steps.size()); ++version) {
    const bool ok = Write([&](QSqlDatabase& db) {
      QSqlQuery q(db);
      for (const char* sql : steps[static_cast<std::size_t>(version)]) {
        if (!q.exec(QString::fromLatin1(sql))) {
          Fail(q.lastError());
          return false;
        }
      }
      if (!q.exec(QStringLiteral("PRAGMA user_version=%1").arg(version + 1))) {
        Fail(q.lastError());
        return false;
      }
      return true;
    });
    if (!ok) return false;
  }
  return true;
}

void SiteDatabase::Open() {
  if (state_ != State::Absent) return;
  std::error_code ec;
  const auto status = std::filesystem::status(path_, ec);
  if (!std::filesystem::exists(status)) return;  // made at the first write
  if (std::filesystem::is_directory(status)) {
    Unusable(QStringLiteral("jest folderem, a nie plikiem"));
    return;
  }
  const QFileInfo info(QString::fromStdU16String(path_.u16string()));
  if (!info.isReadable()) {
    Unusable(QStringLiteral("jest niedostępny (brak uprawnień)"));
    return;
  }
  if (!info.isWritable()) {
    Unusable(QStringLiteral("jest tylko do odczytu"));
    return;
  }
  if (!Connect(false)) return;
  int version = 0;
  {
    QSqlQuery q(db_);
    // Reading the schema finds a file that is no database, or whose first pages are damaged.
    if (!q.exec(QStringLiteral("SELECT count(*) FROM sqlite_master")) || !q.next() ||
        !q.exec(QStringLiteral("PRAGMA user_version")) || !q.next()) {
      Fail(q.lastError());
      return;
    }
    version = q.value(0).toInt();
    // A damaged page anywhere (zeros, a cut-off end) is found before anything is written.
    if (!q.exec(QStringLiteral("PRAGMA quick_check(1)")) || !q.next()) {
      Fail(q.lastError());
      return;
    }
    if (q.value(0).toString() != QLatin1String("ok")) {
      Unusable(QStringLiteral("jest uszkodzony albo nie jest plikiem bazy danych"));
      return;
    }
  }
  if (version > SchemaVersion()) {
    Disconnect();
    if (!Connect(true)) return;  // the queries above are gone: their scope has ended
    state_ = State::ReadOnly;
    Tell(kNewerFile);
    return;
  }
  if (!Configure()) return;
  state_ = State::Ready;
  if (version < SchemaVersion() && !Migrate(version)) return;
}

bool SiteDatabase::Write(const std::function<bool(QSqlDatabase&)>& change) {
  if (state_ == State::Absent) {
    // The first write makes the file.
    if (!Connect(false) || !Configure()) return false;
    state_ = State::Ready;
    if (!Migrate(0)) return false;
  }
  if (state_ != State::Ready) {
    if (state_ == State::Unusable) Disconnect();
    return false;
  }
  QSqlQuery q(db_);
  // IMMEDIATE takes the write lock at once (waiting up to the busy timeout for another
  // program's write), so a transaction never fails halfway for want of it.
  if (!q.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
    Fail(q.lastError());
    return false;
  }
  const bool ok = change(db_);
  if (state_ != State::Ready) {
    // A query failed: what the transaction wrote is rolled back and the file let go.
    q.exec(QStringLiteral("ROLLBACK"));
    q = QSqlQuery();
    Disconnect();
    return false;
  }
  if (!ok) {
    q.exec(QStringLiteral("ROLLBACK"));
    return false;
  }
  if (!q.exec(QStringLiteral("COMMIT"))) {
    const QSqlError error = q.lastError();
    q.exec(QStringLiteral("ROLLBACK"));
    q = QSqlQuery();
    Fail(error);
    return false;
  }
  return true;
}

}  // namespace veldoran::site
