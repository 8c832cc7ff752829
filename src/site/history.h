// Queries of the event archive for the history page and the command line: the events that
// match a filter, newest first, a page at a time, and how many there are.
#pragma once

#include <QDate>
#include <QString>
#include <QVariant>
#include <cstdint>
#include <optional>
#include <vector>

namespace veldoran::site {

class SiteDatabase;

struct HistoryFilter {
  int locker = 0;             // 1 to 10; 0 for every locker
  std::optional<QDate> from;  // first day shown
  std::optional<QDate> to;    // last day shown
  QString text;               // part of a first name, surname or card code; any case
  bool operator==(const HistoryFilter&) const = default;
};

struct HistoryRow {
  int locker = 0;
  std::int32_t at = 0;  // the controller's clock value of the event
  int user_slot = 0;
  QString code;
  QString first_name;
  QString surname;
  QString location;
  bool from_upload = false;  // holder from an upload, not from the users table at the read
};

class History {
 public:
  explicit History(SiteDatabase& db) : db_(db) {}

  // How many archived events match; 0 when the archive cannot tell.
  int Count(const HistoryFilter& filter);
  // Up to `limit` matching events from the `offset`-th on, newest first.
  std::vector<HistoryRow> Rows(const HistoryFilter& filter, int offset, int limit);

 private:
  // The WHERE clause (with its leading " WHERE ", or empty) and its values; nothing when no
  // event can match.
  std::optional<std::pair<QString, QVariantList>> Where(const HistoryFilter& filter);

  SiteDatabase& db_;
};

// The controller clock value of the start of day `date` (local wall-clock time).
std::int64_t DayStart(const QDate& date);

}  // namespace veldoran::site
