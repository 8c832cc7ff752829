#include "records/users_csv_reader.h"

#include <QStringDecoder>
#include <array>

#include "platform/cp1250.h"

namespace veldoran::records {

QString EncodingName(CsvEncoding encoding) {
  switch (encoding) {
    case CsvEncoding::kWindows1250:
      return QStringLiteral("Windows-1250");
    case CsvEncoding::kUtf8:
      return QStringLiteral("UTF-8");
    case CsvEncoding::kUtf8Bom:
      return QStringLiteral("UTF-8 ze znacznikiem BOM");
    case CsvEncoding::kUtf16Le:
    case CsvEncoding::kUtf16Be:
      return QStringLiteral("UTF-16");
  }
  return {};
}

namespace {

bool StartsWith(std::string_view bytes, std::string_view prefix) {
  return bytes.substr(0, prefix.size()) == prefix;
}

QString Decode(QStringConverter::Encoding encoding, std::string_view bytes, bool* error) {
  QStringDecoder decoder(encoding, QStringConverter::Flag::Stateless);
  QString text = decoder.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
  if (error) *error = decoder.hasError();
  return text;
}

bool HasHighByte(std::string_view bytes) {
  for (const char c : bytes) {
    if (static_cast<unsigned char>(c) >= 0x80) return true;
  }
  return false;
}

bool IsLineEnd(QChar c) { return c == QLatin1Char('\n') || c == QLatin1Char('\r'); }

}  // namespace

DecodedCsv DecodeCsv(std::string_view bytes) {
  if (StartsWith(bytes, "\xEF\xBB\xBF")) {
    return {Decode(QStringConverter::Utf8, bytes.substr(3), nullptr), CsvEncoding::kUtf8Bom};
  }
  if (StartsWith(bytes, "\xFF\xFE")) {
    return {Decode(QStringConverter::Utf16LE, bytes.substr(2), nullptr), CsvEncoding::kUtf16Le};
  }
  if (StartsWith(bytes, "\xFE\xFF")) {
    return {Decode(QStringConverter::Utf16BE, bytes.substr(2), nullptr), CsvEncoding::kUtf16Be};
  }
  if (HasHighByte(bytes)) {
    bool error = false;
    QString text = Decode(QStringConverter::Utf8, bytes, &error);
    if (!error) return {std::move(text), CsvEncoding::kUtf8};
  }
  const std::u16string text = cp1250::Decode(bytes);
  return {QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size())),
          CsvEncoding::kWindows1250};
}

QChar FindSeparator(const QString& text) {
  const std::array<QChar, 3> candidates{QLatin1Char(';'), QLatin1Char('\t'), QLatin1Char(',')};
  qsizetype i = 0;
  const qsizetype n = text.size();
  while (i < n) {
    std::array<int, 3> counts{};
    bool quoted = false;
    bool blank = true;
    for (; i < n && (quoted || !IsLineEnd(text[i])); ++i) {
      const QChar c = text[i];
      if (c == QLatin1Char('"')) quoted = !quoted;
      if (!c.isSpace()) blank = false;
      if (quoted) continue;
      for (std::size_t k = 0; k < candidates.size(); ++k) {
        if (c == candidates[k]) ++counts[k];
      }
    }
    while (i < n && IsLineEnd(text[i])) ++i;
    if (blank) continue;
    std::size_t best = 0;
    for (std::size_t k = 1; k < candidates.size(); ++k) {
      if (counts[k] > counts[best]) best = k;
    }
    return counts[best] > 0 ? candidates[best] : QChar();
  }
  return QChar();
}

CsvRecords SplitCsv(const QString& text, QChar separator, qsizetype max_chars, int max_records) {
  CsvRecords out;
  const qsizetype n = text.size();
  const bool split = !separator.isNull();
  qsizetype i = 0;
  int line = 1;
  while (i < n) {
    if (static_cast<int>(out.records.size()) >= max_records) {
      out.too_many = true;
      break;
    }
    CsvRecord record;
    record.first_line = line;
    const qsizetype start = i;
    for (;;) {
      QString field;
      qsizetype j = i;
      while (j < n && text[j] == QLatin1Char(' ')) ++j;
      if (j < n && text[j] == QLatin1Char('"')) {
        bool closed = false;
        for (i = j + 1; i < n; ++i) {
          const QChar c = text[i];
          if (c == QLatin1Char('"')) {
            if (i + 1 < n && text[i + 1] == QLatin1Char('"')) {
              field += c;
              ++i;
              continue;
            }
            ++i;
            closed = true;
            break;
          }
          if (c == QLatin1Char('\n') ||
              (c == QLatin1Char('\r') && (i + 1 >= n || text[i + 1] != QLatin1Char('\n')))) {
            ++line;
          }
          field += c;
        }
        record.unterminated_quote = record.unterminated_quote || !closed;
      }
      for (; i < n && !IsLineEnd(text[i]) && !(split && text[i] == separator); ++i)
        field += text[i];
      record.fields << field;
      if (i < n && split && text[i] == separator) {
        ++i;
        continue;
      }
      break;
    }
    record.last_line = line;
    record.text = text.mid(start, std::min(i - start, max_chars));
    if (i - start > max_chars) {
      record.too_long = true;
      record.fields.clear();
    }
    if (i < n) {
      i += (text[i] == QLatin1Char('\r') && i + 1 < n && text[i + 1] == QLatin1Char('\n')) ? 2 : 1;
      ++line;
    }
    out.records.push_back(std::move(record));
  }
  return out;
}

}  // namespace veldoran::records
