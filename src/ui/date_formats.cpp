#include "ui/date_formats.h"

#include <QDate>
#include <QTime>

namespace veldoran::ui {

QString WithoutTimeZone(const QString& format) {
  QString out;
  bool quoted = false;
  for (const QChar c : format) {
    if (c == QLatin1Char('\'')) quoted = !quoted;
    if (!quoted && c == QLatin1Char('t')) continue;
    out.append(c);
  }
  return out.simplified();
}

DateTimeFormats DateTimeFormats::System() {
  const QLocale locale = QLocale::system();
  DateTimeFormats formats;
  formats.locale = locale;
  formats.short_date = locale.dateFormat(QLocale::ShortFormat);
  formats.long_time = WithoutTimeZone(locale.timeFormat(QLocale::LongFormat));
  return formats;
}

QString DateTimeFormats::FormatDate(DayCount t) const {
  const CalendarTime c = DecodeDayCount(t);
  return locale.toString(QDate(c.year, c.month, c.day), short_date);
}

QString DateTimeFormats::FormatTime(DayCount t) const {
  const CalendarTime c = DecodeDayCount(t);
  return locale.toString(QTime(c.hour, c.minute, c.second, c.millisecond), long_time);
}

}  // namespace veldoran::ui
