// Veldoran.db, the site's own file beside Config.ini: which cards each locker was given and
// every event ever read. SQLite through Qt's SQL module, in WAL mode with a busy timeout so the
// window and the command-line program can use it at once.
//
// The file is made at the first write, never at open. A file the tool cannot use (locked,
// damaged, read-only, a folder, a full disk) leaves the tool working without it: the reason is
// told once, and the file is never deleted, replaced or rewritten. A file written by a newer
// version is opened read-only.
#pragma once

#include <QSqlDatabase>
#include <QString>
#include <filesystem>
#include <functional>

class QSqlError;
class QSqlQuery;

namespace veldoran::site {

// The file's name; it lives beside Config.ini.
inline constexpr char kDatabaseFileName[] = "Veldoran.db";

// The version of the schema this program writes (PRAGMA user_version).
int SchemaVersion();

class SiteDatabase {
 public:
  enum class State {
    Absent,    // no file yet: nothing recorded; the first write makes it
    Ready,     // open for reading and writing
    ReadOnly,  // a newer version's file: read, never written
    Unusable,  // cannot be used at all; the reason has been told
  };

  struct Options {
    int busy_timeout_ms = 2000;
  };

  explicit SiteDatabase(const std::filesystem::path& path);
  SiteDatabase(const std::filesystem::path& path, const Options& options);
  ~SiteDatabase();
  SiteDatabase(const SiteDatabase&) = delete;
  SiteDatabase& operator=(const SiteDatabase&) = delete;

  // Looks at the file: opens it when it exists, migrating an older schema. Never creates it.
  void Open();

  State state() const { return state_; }
  bool CanRead() const { return state_ == State::Ready || state_ == State::ReadOnly; }
  const std::filesystem::path& path() const { return path_; }

  // Receives the one message that says why the file is not used (or used read-only). Called
  // at most once for the life of this object; a message raised before it is set is passed on
  // when it is set.
  void SetOnProblem(std::function<void(const QString&)> on_problem);
  // The message told so far, or empty.
  const QString& problem() const { return problem_; }

  // Runs `change` in one transaction, making the file first if there is none. `change`
  // returns false (after its failing query has been given to Fail) to roll everything back.
  // False when nothing was written; the file is then as it was before.
  bool Write(const std::function<bool(QSqlDatabase&)>& change);

  // The connection for queries; only valid while CanRead().
  QSqlDatabase& connection() { return db_; }

  // A failed query: the file is not used from here on, and the reason is told once.
  void Fail(const QSqlError& error);
  // Executes a prepared query; on failure gives its error to Fail.
  bool Exec(QSqlQuery& query);

 private:
  bool Connect(bool read_only);
  bool Configure();
  bool Migrate(int from_version);
  void Disconnect();
  void Unusable(const QString& reason);
  void Tell(const QString& message);

  std::filesystem::path path_;
  Options options_;
  QString connection_name_;
  QSqlDatabase db_;
  State state_ = State::Absent;
  QString problem_;
  bool told_ = false;
  std::function<void(const QString&)> on_problem_;
};

// `text` as a value to store: a null text is stored as an empty one, never as NULL.
inline QString Stored(const QString& text) { return text.isNull() ? QStringLiteral("") : text; }

// The reason an SQLite error gives, in the operator's words ("jest zablokowany przez inny
// program", ...).
QString ReasonOf(const QSqlError& error);

}  // namespace veldoran::site
