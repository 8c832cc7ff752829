#include "link/csv_export.h"

#include <QPlainTextEdit>
#include <filesystem>

#include "platform/atomic_file.h"
#include "ui/date_formats.h"
#include "ui/dialogs.h"
#include "ui/string_grid.h"
#include "ui/text.h"

namespace veldoran::link {

namespace {
constexpr int kDateColumn = 3;
constexpr int kTimeColumn = 4;
}  // namespace

QStringList CsvLines(const QString& heading, const QList<QStringList>& rows) {
  QStringList lines{heading};
  for (const QStringList& row : rows) {
    QStringList fields;
    for (int col = 1; col <= 7; ++col) {
      QString text = row.value(col);
      // Dates and times are written in a form the code page holds, whatever the locale made.
      if (col == kDateColumn || col == kTimeColumn) {
        text = ui::StorableDigitsAndSeparators(text).value_or(text);
      }
      fields << CsvField(text);
    }
    lines << fields.join(QLatin1Char(';'));
  }
  return lines;
}

QStringList CsvLines(const QString& heading, const ui::TStringGrid& events_grid) {
  QList<QStringList> rows;
  for (int row = 1; row < events_grid.RowCount(); ++row) {
    QStringList cells;
    for (int col = 0; col < events_grid.ColCount(); ++col) cells << events_grid.Cell(col, row);
    rows << cells;
  }
  return CsvLines(heading, rows);
}

std::optional<std::string> CsvBytes(const QStringList& lines, CsvEncodingError* error) {
  std::string bytes;
  for (qsizetype i = 0; i < lines.size(); ++i) {
    const auto encoded = ui::ToAnsi(lines[i]);
    if (!encoded) {
      if (error) {
        error->line = static_cast<int>(i);
        for (const QChar c : lines[i]) {
          if (!ui::ToAnsi(QString(c))) {
            error->character = c;
            break;
          }
        }
      }
      return std::nullopt;
    }
    bytes += *encoded;
    bytes += "\r\n";
  }
  return bytes;
}

void ExportEventsToCsv(const CsvExportControls& controls, ui::TSaveDialog& save_dialog,
                       ui::Dialogs& dialogs) {
  const QString heading = controls.Memo1->toPlainText().section(QLatin1Char('\n'), 0, 0);
  const QStringList lines = CsvLines(heading, *controls.StringGrid1);
  SaveCsvLines(lines, QStringLiteral("tabeli zdarzeń"), save_dialog, dialogs);
}

void SaveCsvLines(const QStringList& lines, const QString& rows_name, ui::TSaveDialog& save_dialog,
                  ui::Dialogs& dialogs) {
  if (!save_dialog.Execute(dialogs)) return;
  const QString& name = save_dialog.FileName;
  CsvEncodingError bad;
  const auto bytes = CsvBytes(lines, &bad);
  if (!bytes) {
    const QString where = bad.line == 0
                              ? QStringLiteral("nagłówek")
                              : QStringLiteral("wiersz %1 %2").arg(bad.line).arg(rows_name);
    dialogs.ShowError(QStringLiteral("Nie można zapisać pliku „%1”: %2 zawiera znak „%3”, "
                                     "którego nie ma w stronie kodowej Windows-1250.")
                          .arg(name, where, QString(bad.character)));
    return;
  }
  const platform::FileResult written =
      platform::ReplaceFileContents(std::filesystem::path(name.toStdU16String()), *bytes);
  if (!written.ok) dialogs.ShowError(QString::fromLocal8Bit(written.error.c_str()));
}

}  // namespace veldoran::link
