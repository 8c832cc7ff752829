// The system's short date and long time formats, as dates and times are shown to the operator
// (status bar, events grid). On Linux they come from the locale: its short date format, and its
// long time format without the time zone.
#pragma once

#include <QLocale>
#include <QString>

#include "link/day_count.h"

namespace veldoran::ui {

struct DateTimeFormats {
  QString short_date;  // QDate::toString syntax, e.g. "dd.MM.yyyy"
  QString long_time;   // QTime::toString syntax, e.g. "HH:mm:ss"
  QLocale locale = QLocale::system();

  static DateTimeFormats System();

  QString FormatDate(DayCount t) const;
  QString FormatTime(DayCount t) const;
};

// A format with the time-zone fields taken out ("h:mm:ss AP t" -> "h:mm:ss AP").
QString WithoutTimeZone(const QString& format);

}  // namespace veldoran::ui
