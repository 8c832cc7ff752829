#include "link/csv_field.h"

namespace veldoran::link {
namespace {

constexpr QChar kApostrophe = QLatin1Char('\'');

bool StartsFormula(QChar c) {
  return c == QLatin1Char('=') || c == QLatin1Char('+') || c == QLatin1Char('-') ||
         c == QLatin1Char('@') || c == QLatin1Char('\t') || c == QLatin1Char('\r');
}

// Whether `text` is apostrophes (at least `min_apostrophes`) followed by a formula's first
// character.
bool LooksLikeFormula(const QString& text, qsizetype min_apostrophes) {
  qsizetype i = 0;
  while (i < text.size() && text[i] == kApostrophe) ++i;
  return i >= min_apostrophes && i < text.size() && StartsFormula(text[i]);
}

bool NeedsQuotes(const QString& text) {
  for (const QChar c : text) {
    switch (c.unicode()) {
      case ';':
      case '"':
      case '\r':
      case '\n':
        return true;
      default:
        break;
    }
  }
  return false;
}

}  // namespace

QString CsvField(const QString& text) {
  QString field = LooksLikeFormula(text, 0) ? kApostrophe + text : text;
  if (!NeedsQuotes(field)) return field;
  field.replace(QLatin1Char('"'), QStringLiteral("\"\""));
  return QLatin1Char('"') + field + QLatin1Char('"');
}

QString CsvFieldText(const QString& field) {
  return LooksLikeFormula(field, 1) ? field.mid(1) : field;
}

}  // namespace veldoran::link
