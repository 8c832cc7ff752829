#include "link/event_rows.h"

#include <algorithm>

#include "ui/date_formats.h"

namespace veldoran::link {

Tevent EventOf(const protocol::EventRecordReply& record, const ui::DateTimeFormats& formats,
               const QString& location) {
  const DayCount when = protocol::ControllerSecondsToDateTime(record.clock);
  Tevent e;
  e.DateText = formats.FormatDate(when);
  e.TimeText = formats.FormatTime(when);
  e.LockerNumber = record.controller_number;
  e.Location = location;
  e.UserSlot = record.user_slot;
  e.ClockValue = record.clock;
  return e;
}

QList<QStringList> EventRows(const EventTable& events, int event_count,
                             const CardHolders& holders) {
  if (event_count <= 0) {
    QStringList empty(kEventColumns);
    empty[0] = QStringLiteral("1");
    return {empty};
  }
  // A status line can report up to 65535 events; the table holds 1001 slots.
  const int count = std::min(event_count, kEventTableSize);
  QList<QStringList> rows;
  rows.reserve(count);
  static const CardHolder kNobody;
  for (int i = 0; i < count; ++i) {
    const Tevent& e = events[static_cast<std::size_t>(i)];
    const bool held = e.UserSlot >= 0 && e.UserSlot < kCardHolderCount;
    const CardHolder& holder = held ? holders[static_cast<std::size_t>(e.UserSlot)] : kNobody;
    rows.append(QStringList{QString::number(i + 1), holder.Surname, holder.FirstName, e.DateText,
                            e.TimeText, QString::number(e.LockerNumber), e.Location,
                            holder.CardCode});
  }
  return rows;
}

}  // namespace veldoran::link
