// The system's short date and long time formats, as dates and times are shown to the operator
// (status bar, events grid) and saved in the CSV file. On Linux they come from the locale: its
// short date format, and its long time format without the time zone. A locale that names no
// language (C, POSIX: the default of many containers) has only English month abbreviations,
// so the window, which speaks Polish, uses the Polish numeric formats there.
//
// Every text made here can be stored in Windows-1250, the code page of the CSV file: what the
// code page cannot hold falls back to the same value in digits and separators it can.
#pragma once

#include <QLocale>
#include <QString>
#include <optional>

#include "platform/day_count.h"

namespace veldoran::ui {

struct DateTimeFormats {
  QString short_date;  // QDate::toString syntax, e.g. "dd.MM.yyyy"
  QString long_time;   // QTime::toString syntax, e.g. "HH:mm:ss"
  QLocale locale = QLocale::system();

  static DateTimeFormats System();
  // The formats of `locale`, or the Polish numeric ones when it names no language.
  static DateTimeFormats Of(const QLocale& locale);

  QString FormatDate(DayCount t) const;
  QString FormatTime(DayCount t) const;
};

// The Polish short date and long time formats, used when the locale names no language.
inline constexpr char16_t kPolishShortDate[] = u"dd.MM.yyyy";
inline constexpr char16_t kPolishLongTime[] = u"HH:mm:ss";

// A format with the time-zone fields taken out ("h:mm:ss AP t" -> "h:mm:ss AP").
QString WithoutTimeZone(const QString& format);

// `text` with what Windows-1250 cannot hold made storable where that keeps its meaning: digits
// of other scripts become 0-9, other spaces a plain space, and invisible direction marks are
// dropped. Nothing when some other character still cannot be held.
std::optional<QString> StorableDigitsAndSeparators(const QString& text);

}  // namespace veldoran::ui
