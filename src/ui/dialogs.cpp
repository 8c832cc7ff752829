#include "ui/dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

namespace veldoran::ui {

namespace {
QString Title() {
  const QString name = QApplication::applicationDisplayName();
  return name.isEmpty() ? QStringLiteral("Veldoran") : name;
}

// A carriage return breaks the line in a Windows message box; here it has to be a line feed.
QString Shown(QString text) {
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return text;
}
}  // namespace

void QtDialogs::ShowMessage(const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, Title(), Shown(text), QMessageBox::Ok, parent_);
  box.exec();
}

void QtDialogs::ShowError(const QString& text) {
  QMessageBox box(QMessageBox::Critical, Title(), Shown(text), QMessageBox::Ok, parent_);
  box.exec();
}

std::optional<QString> QtDialogs::AskSaveFileName(const QString& file_name, const QString& filter) {
  // "plik CSV|*.csv" -> "plik CSV (*.csv)"
  const QStringList parts = filter.split(QLatin1Char('|'));
  const QString qt_filter =
      parts.size() >= 2 ? QStringLiteral("%1 (%2)").arg(parts[0], parts[1]) : filter;
  QFileDialog dialog(parent_, QString(), QString(), qt_filter);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
  dialog.selectFile(file_name);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().constFirst();
}

bool TSaveDialog::Execute(Dialogs& dialogs) {
  const auto chosen = dialogs.AskSaveFileName(FileName, Filter);
  if (!chosen) return false;
  FileName = *chosen;
  return true;
}

}  // namespace veldoran::ui
