#include "link/csv_export.h"

#include <QPlainTextEdit>
#include <filesystem>

#include "platform/atomic_file.h"
#include "ui/dialogs.h"
#include "ui/string_grid.h"
#include "ui/text.h"

namespace veldoran::link {

QString CsvField(const QString& text) {
  static const QString kSpecial = QStringLiteral(";\"\r\n");
  bool special = false;
  for (const QChar c : text) special = special || kSpecial.contains(c);
  if (!special) return text;
  QString quoted = text;
  quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
  return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QStringList CsvLines(const QString& heading, const ui::TStringGrid& events_grid) {
  QStringList lines{heading};
  for (int row = 1; row < events_grid.RowCount(); ++row) {
    QStringList fields;
    for (int col = 1; col <= 7; ++col) fields << CsvField(events_grid.Cell(col, row));
    lines << fields.join(QLatin1Char(';'));
  }
  return lines;
}

std::optional<std::string> CsvBytes(const QStringList& lines) {
  std::string bytes;
  for (const QString& line : lines) {
    const auto encoded = ui::ToAnsi(line);
    if (!encoded) return std::nullopt;
    bytes += *encoded;
    bytes += "\r\n";
  }
  return bytes;
}

void ExportEventsToCsv(const CsvExportControls& controls, ui::TSaveDialog& save_dialog,
                       ui::Dialogs& dialogs) {
  const QString heading = controls.Memo1->toPlainText().section(QLatin1Char('\n'), 0, 0);
  const QStringList lines = CsvLines(heading, *controls.StringGrid1);
  if (!save_dialog.Execute(dialogs)) return;
  const QString& name = save_dialog.FileName;
  const auto bytes = CsvBytes(lines);
  if (!bytes) {
    dialogs.ShowError(QStringLiteral("Cannot save \"%1\": a text holds a character "
                                     "Windows-1250 cannot store.")
                          .arg(name));
    return;
  }
  const platform::FileResult written =
      platform::ReplaceFileContents(std::filesystem::path(name.toStdU16String()), *bytes);
  if (!written.ok) dialogs.ShowError(QString::fromLocal8Bit(written.error.c_str()));
}

}  // namespace veldoran::link
