// One field of a CSV file that a spreadsheet opens: how a text is written so that it stays one
// field and is shown as text, and how such a field reads back. Qt Core only, so that programs
// without the window write and read the same fields.
#pragma once

#include <QString>

namespace veldoran::link {

// A field as it goes into the file.
// - A text that a spreadsheet would take for a formula (its first character "=", "+", "-", "@",
//   a tab or a carriage return), or that starts with apostrophes followed by one of these, gets
//   one more apostrophe in front: spreadsheets show the field as text, and CsvFieldText takes
//   the apostrophe off again, so every text reads back as it was.
// - A field holding ";", a double quote, a carriage return or a line feed is put in double
//   quotes with its double quotes doubled, so that it stays one field.
QString CsvField(const QString& text);

// The text of a field read from a file (already without its surrounding quotes): the apostrophe
// that CsvField puts before a formula-like text is taken off.
QString CsvFieldText(const QString& field);

}  // namespace veldoran::link
