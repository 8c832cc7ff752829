// Reading a CSV file as spreadsheets write it, leniently: its code page from the bytes, its
// separator from the first line, and its records with quoted fields. Qt Core only.
#pragma once

#include <QChar>
#include <QString>
#include <QStringList>
#include <string_view>
#include <vector>

namespace veldoran::records {

enum class CsvEncoding {
  kWindows1250,
  kUtf8,     // without a byte-order mark, recognised by its multi-byte sequences
  kUtf8Bom,  // with the byte-order mark EF BB BF
  kUtf16Le,  // with the byte-order mark FF FE (a spreadsheet's "Unicode text")
  kUtf16Be,  // with the byte-order mark FE FF
};

// "Windows-1250", "UTF-8 ze znacznikiem BOM", ...: for the operator.
QString EncodingName(CsvEncoding encoding);

struct DecodedCsv {
  QString text;  // without the byte-order mark
  CsvEncoding encoding = CsvEncoding::kWindows1250;
};

// The text of a file's bytes. A byte-order mark names the encoding; without one, bytes that
// hold at least one multi-byte UTF-8 sequence and nothing that is not UTF-8 are UTF-8, anything
// else is Windows-1250 (which gives every byte a character). Malformed UTF-8 after a byte-order
// mark becomes U+FFFD, which no field can be stored with.
DecodedCsv DecodeCsv(std::string_view bytes);

// The separator of a file: the one of ";", "," and tab that its first non-blank line holds most
// often outside quotes (";" first, then tab, then "," when they are equally frequent), or a
// null character when the line holds none of them (a file of one column).
QChar FindSeparator(const QString& text);

// One record: a line of the file, or several when a quoted field holds line breaks.
struct CsvRecord {
  int first_line = 0;  // in the file, counted from 1
  int last_line = 0;
  QStringList fields;               // unquoted, as they stand otherwise; empty when too_long
  QString text;                     // the record as it stands in the file, without its line end
  bool too_long = false;            // more than the limit's characters: fields not kept
  bool unterminated_quote = false;  // a quoted field runs to the end of the file
};

struct CsvRecords {
  std::vector<CsvRecord> records;
  bool too_many = false;  // more records than the limit: reading stopped there
};

// Splits `text` into records. Lines end in CRLF, LF or CR. A field that starts with a double
// quote (blanks before it allowed) runs to the next double quote that is not doubled, line ends
// included, and doubled quotes in it are one; what follows the closing quote up to the next
// separator is kept as it stands. A null separator makes every line one field. `text` of a
// record longer than `max_chars` is cut there.
CsvRecords SplitCsv(const QString& text, QChar separator, qsizetype max_chars, int max_records);

}  // namespace veldoran::records
