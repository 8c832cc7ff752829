#include "site/history.h"

#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include "link/protocol.h"
#include "platform/day_count.h"
#include "site/site_database.h"

namespace veldoran::site {

std::int64_t DayStart(const QDate& date) {
  const DayCount day = static_cast<DayCount>(QDate(1899, 12, 30).daysTo(date));
  return protocol::DateTimeToControllerSeconds(day);
}

std::optional<std::pair<QString, QVariantList>> History::Where(const HistoryFilter& filter) {
  QStringList terms;
  QVariantList values;
  if (filter.locker != 0) {
    terms << QStringLiteral("e.locker = ?");
    values << filter.locker;
  }
  if (filter.from) {
    terms << QStringLiteral("e.at >= ?");
    values << static_cast<qlonglong>(DayStart(*filter.from));
  }
  if (filter.to) {
    terms << QStringLiteral("e.at < ?");
    values << static_cast<qlonglong>(DayStart(filter.to->addDays(1)));
  }
  const QString text = filter.text.trimmed();
  if (!text.isEmpty()) {
    // The holders are few: they are matched here, where letter case is known for every
    // language (SQLite's own matching knows it only for ASCII).
    QSqlQuery q(db_.connection());
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT id, code, first_name, surname FROM holders"));
    if (!db_.Exec(q)) return std::nullopt;
    QStringList ids;
    while (q.next()) {
      const QString code = q.value(1).toString();
      const QString first = q.value(2).toString();
      const QString surname = q.value(3).toString();
      const auto has = [&](const QString& s) { return s.contains(text, Qt::CaseInsensitive); };
      if (has(code) || has(first) || has(surname) || has(first + QLatin1Char(' ') + surname) ||
          has(surname + QLatin1Char(' ') + first)) {
        ids << q.value(0).toString();
      }
    }
    if (ids.isEmpty()) return std::nullopt;
    terms << QStringLiteral("e.holder_id IN (%1)").arg(ids.join(QLatin1Char(',')));
  }
  const QString where =
      terms.isEmpty() ? QString() : QStringLiteral(" WHERE ") + terms.join(QStringLiteral(" AND "));
  return std::make_pair(where, values);
}

int History::Count(const HistoryFilter& filter) {
  if (!db_.CanRead()) return 0;
  const auto where = Where(filter);
  if (!where || !db_.CanRead()) return 0;
  QSqlQuery q(db_.connection());
  q.setForwardOnly(true);
  q.prepare(QStringLiteral("SELECT count(*) FROM events e") + where->first);
  for (const QVariant& v : where->second) q.addBindValue(v);
  if (!db_.Exec(q) || !q.next()) return 0;
  return q.value(0).toInt();
}

std::vector<HistoryRow> History::Rows(const HistoryFilter& filter, int offset, int limit) {
  std::vector<HistoryRow> rows;
  if (!db_.CanRead() || limit <= 0) return rows;
  const auto where = Where(filter);
  if (!where || !db_.CanRead()) return rows;
  QSqlQuery q(db_.connection());
  q.setForwardOnly(true);
  q.prepare(QStringLiteral("SELECT e.locker, e.at, e.slot, h.code, h.first_name, h.surname, l.name,"
                           " e.from_upload FROM events e JOIN holders h ON h.id = e.holder_id"
                           " JOIN locations l ON l.id = e.location_id") +
            where->first + QStringLiteral(" ORDER BY e.at DESC, e.id DESC LIMIT ? OFFSET ?"));
  for (const QVariant& v : where->second) q.addBindValue(v);
  q.addBindValue(limit);
  q.addBindValue(std::max(offset, 0));
  if (!db_.Exec(q)) return rows;
  rows.reserve(static_cast<std::size_t>(limit));
  while (q.next()) {
    HistoryRow r;
    r.locker = q.value(0).toInt();
    r.at = static_cast<std::int32_t>(q.value(1).toLongLong());
    r.user_slot = q.value(2).toInt();
    r.code = q.value(3).toString();
    r.first_name = q.value(4).toString();
    r.surname = q.value(5).toString();
    r.location = q.value(6).toString();
    r.from_upload = q.value(7).toInt() != 0;
    rows.push_back(std::move(r));
  }
  return rows;
}

}  // namespace veldoran::site
