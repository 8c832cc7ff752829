#include "ui/date_formats.h"

#include <QDate>
#include <QTime>

#include "ui/text.h"

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

DateTimeFormats DateTimeFormats::System() { return Of(QLocale::system()); }

DateTimeFormats DateTimeFormats::Of(const QLocale& locale) {
  DateTimeFormats formats;
  if (locale.language() == QLocale::C || locale.language() == QLocale::AnyLanguage) {
    formats.locale = QLocale(QLocale::Polish, QLocale::Poland);
    formats.short_date = QString::fromUtf16(kPolishShortDate);
    formats.long_time = QString::fromUtf16(kPolishLongTime);
    return formats;
  }
  formats.locale = locale;
  formats.short_date = locale.dateFormat(QLocale::ShortFormat);
  formats.long_time = WithoutTimeZone(locale.timeFormat(QLocale::LongFormat));
  return formats;
}

std::optional<QString> StorableDigitsAndSeparators(const QString& text) {
  if (ToAnsi(text)) return text;
  QString out;
  for (const QChar c : text) {
    if (c.category() == QChar::Other_Format) continue;  // direction marks
    if (c.isDigit() && c.digitValue() >= 0) {
      out.append(QChar(u'0' + c.digitValue()));
    } else if (c.isSpace() && !ToAnsi(QString(c))) {
      out.append(QLatin1Char(' '));
    } else {
      out.append(c);
    }
  }
  if (!ToAnsi(out)) return std::nullopt;
  return out;
}

namespace {

// `text` if the code page holds it (perhaps after StorableDigitsAndSeparators), otherwise the
// value again in the Polish numeric format.
template <typename Value>
QString Storable(const QString& text, const Value& value, const char16_t* fallback_format) {
  if (auto storable = StorableDigitsAndSeparators(text)) return *storable;
  return QLocale::c().toString(value, QString::fromUtf16(fallback_format));
}

}  // namespace

QString DateTimeFormats::FormatDate(DayCount t) const {
  const CalendarTime c = DecodeDayCount(t);
  const QDate date(c.year, c.month, c.day);
  return Storable(locale.toString(date, short_date), date, kPolishShortDate);
}

QString DateTimeFormats::FormatTime(DayCount t) const {
  const CalendarTime c = DecodeDayCount(t);
  const QTime time(c.hour, c.minute, c.second, c.millisecond);
  return Storable(locale.toString(time, long_time), time, kPolishLongTime);
}

}  // namespace veldoran::ui
