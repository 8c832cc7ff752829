// Saves the events grid as a ";"-separated Windows-1250 file with CRLF lines that a spreadsheet
// opens: the heading line, then columns 1 to 7 of every data row, each field written by CsvField
// (quoted where it would break the columns, shown as text where it looks like a formula).
#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <string>

#include "link/csv_field.h"

class QPlainTextEdit;

namespace veldoran::ui {
class Dialogs;
class TSaveDialog;
class TStringGrid;
}  // namespace veldoran::ui

namespace veldoran::link {

// The heading line of the file, as the page's hidden memo holds it.
inline constexpr char16_t kCsvHeading[] = u"NAZWISKO;IMIĘ;DATA;CZAS;NR;LOKALIZACJA;KARTA";

// The heading line followed by one line per row, of columns 1 to 7 of the events grid's
// layout (link/event_rows.h). Dates and times are put in a form the code page holds (digits
// and separators), whatever the locale made of them.
QStringList CsvLines(const QString& heading, const QList<QStringList>& rows);
// The same of the data rows of the grid.
QStringList CsvLines(const QString& heading, const ui::TStringGrid& events_grid);

// Asks for a file and writes `lines` to it; a line the code page cannot hold is named as a row of
// `rows_name` ("tabeli zdarzeń"), and a failed write is shown in the error box.
void SaveCsvLines(const QStringList& lines, const QString& rows_name, ui::TSaveDialog& save_dialog,
                  ui::Dialogs& dialogs);

// Where a line holds a character the code page cannot: the line (0 is the heading) and the
// character.
struct CsvEncodingError {
  int line = 0;
  QChar character;
};

// The file's bytes, or nothing when a text holds a character the code page cannot (described
// in `error`, if given).
std::optional<std::string> CsvBytes(const QStringList& lines, CsvEncodingError* error = nullptr);

struct CsvExportControls {
  const QPlainTextEdit* Memo1;  // holds the heading line
  const ui::TStringGrid* StringGrid1;
};

// "Zapisz do pliku CSV": collects the lines, asks for a file name (and, for a file that exists,
// whether to replace it) and writes the file. The file is replaced all at once; a failed write
// is shown in the error box and leaves no partial file.
void ExportEventsToCsv(const CsvExportControls& controls, ui::TSaveDialog& save_dialog,
                       ui::Dialogs& dialogs);

}  // namespace veldoran::link
