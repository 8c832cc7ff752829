// The users table to and from a CSV file. An import is planned first: every record of the file
// gets its verdict (a new user in a free row, an update of a user matched by card code or else
// by surname and first name, or refused with the reason), nothing changes until the plan is
// applied, and applying it changes only the rows the plan names. Qt Core only: the window and
// the command-line program use the same functions.
#pragma once

#include <QChar>
#include <QString>
#include <QStringList>
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/user_table.h"
#include "records/users_csv_reader.h"

namespace veldoran::records {

// What an import takes: files of up to 1 MB (a hundred users fill a few kilobytes; a card
// supplier's list of codes a few more), records of up to 4096 characters, 10000 records.
inline constexpr std::size_t kMaxImportBytes = 1024 * 1024;
inline constexpr qsizetype kMaxImportRecordChars = 4096;
inline constexpr int kMaxImportRecords = 10000;

// The names of lockers 1 to 10, as the lockers grid holds them.
using LockerNames = std::array<QString, kLockerCount>;

// Whether a row holds a user: a first name, a surname or a card code.
bool IsUserSet(const Tuser& user);

enum class ImportVerdict {
  kHeading,  // the heading line
  kNewUser,  // goes into the free row `row`
  kUpdate,   // changes user `row` (or leaves them as they are: `changes` false)
  kRefused,  // changes nothing; `reason` says why
  kSkipped,  // an empty line
};

struct ImportLine {
  int first_line = 0;  // where the record is in the file, counted from 1
  int last_line = 0;
  QString text;  // the record as it stands in the file (cut when it is very long)
  ImportVerdict verdict = ImportVerdict::kSkipped;
  int row = 0;           // kNewUser, kUpdate
  bool changes = false;  // kNewUser, kUpdate: whether applying changes the row
  Tuser user;            // kNewUser, kUpdate: the row as applying leaves it
  QString reason;        // kRefused: why; kHeading: what the columns were taken for
};

struct ImportPlan {
  // Not empty when the file as a whole cannot be imported (no lines then): why, in Polish.
  QString error;
  CsvEncoding encoding = CsvEncoding::kWindows1250;
  QChar separator;          // null for a file of one column
  bool bare_codes = false;  // a list of card codes without a heading
  QStringList ignored_columns;
  std::vector<ImportLine> lines;

  int Count(ImportVerdict verdict) const;
  // Updates that leave their user as they are.
  int UnchangedCount() const;
  // Whether applying the plan changes any row.
  bool HasChanges() const;
};

// Plans the import of a file's bytes into `users`, whose locker names are `lockers`.
ImportPlan PlanImport(std::string_view bytes, const UserTable& users, const LockerNames& lockers);

// Applies the plan's new users and updates; returns the rows that changed, in ascending order.
std::vector<int> ApplyImport(const ImportPlan& plan, UserTable& users);

// "nowy użytkownik w wierszu 3", "aktualizacja użytkownika 7", "odrzucony: ...", for the preview.
QString VerdictText(const ImportLine& line);
// How many lines go which way, and how the file was read, for the preview.
QString PlanSummary(const ImportPlan& plan);

// A file's bytes for an import, or why they cannot be had (Polish). Only a regular file of up to
// kMaxImportBytes is read; a larger one is not read at all.
struct ImportFile {
  std::string bytes;
  QString error;
};
ImportFile ReadImportFile(const QString& path);

// The export: the heading "NAZWISKO;IMIĘ;KOD KARTY;" with the ten locker names, then one line
// per user that is set, in row order: surname, first name, card code and "1" or "0" for each
// locker. Fields are written by CsvField.
QStringList UsersCsvLines(const UserTable& users, const LockerNames& lockers);
// The file's bytes: Windows-1250, every line ending in CRLF. Nothing when a text holds a
// character the code page cannot (its line, 0 being the heading, in `bad_line`).
std::optional<std::string> UsersCsvBytes(const QStringList& lines, int* bad_line = nullptr);

}  // namespace veldoran::records
