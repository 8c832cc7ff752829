#include "ui/dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

#include "ui/preview_dialog.h"

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

// Texts in boxes are shown as they stand (a name or a file name that looks like markup is not
// drawn as markup), in the window's font.
void QtDialogs::Prepare(QMessageBox& box) const {
  box.setTextFormat(Qt::PlainText);
  if (parent_) box.setFont(parent_->font());
}

void QtDialogs::ShowMessage(const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, Title(), Shown(text), QMessageBox::Ok, parent_);
  Prepare(box);
  box.exec();
}

void QtDialogs::ShowError(const QString& text) {
  QMessageBox box(QMessageBox::Critical, Title(), Shown(text), QMessageBox::Ok, parent_);
  Prepare(box);
  box.exec();
}

namespace {
// "plik CSV|*.csv" -> "plik CSV (*.csv)"
QString QtFilter(const QString& filter) {
  const QStringList parts = filter.split(QLatin1Char('|'));
  return parts.size() >= 2 ? QStringLiteral("%1 (%2)").arg(parts[0], parts[1]) : filter;
}
}  // namespace

std::optional<QString> QtDialogs::AskSaveFileName(const QString& file_name, const QString& filter) {
  QFileDialog dialog(parent_, QString(), QString(), QtFilter(filter));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
  dialog.selectFile(file_name);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().constFirst();
}

bool QtDialogs::AskYesNo(const QString& question) {
  QMessageBox box(QMessageBox::Warning, Title(), Shown(question),
                  QMessageBox::Yes | QMessageBox::No, parent_);
  Prepare(box);
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

std::optional<QString> QtDialogs::AskOpenFileName(const QString& filter) {
  QFileDialog dialog(parent_, QString(), QString(), QtFilter(filter));
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().constFirst();
}

bool QtDialogs::ShowPreview(const PreviewList& preview) { return ExecPreview(parent_, preview); }

bool Dialogs::AskYesNo(const QString& /*question*/) { return true; }
std::optional<QString> Dialogs::AskOpenFileName(const QString& /*filter*/) { return std::nullopt; }
bool Dialogs::ShowPreview(const PreviewList& /*preview*/) { return false; }

QString ReplaceQuestion(const QString& path) {
  return QStringLiteral("%1 już istnieje.\nCzy chcesz go zastąpić?")
      .arg(QFileInfo(path).fileName());
}

bool TSaveDialog::Execute(Dialogs& dialogs) {
  QString proposed = FileName;
  for (;;) {
    const auto chosen = dialogs.AskSaveFileName(proposed, Filter);
    if (!chosen) return false;
    const QFileInfo file(*chosen);
    if (!OverwritePrompt || !file.exists() || dialogs.AskYesNo(ReplaceQuestion(*chosen))) {
      FileName = *chosen;
      return true;
    }
    proposed = *chosen;
  }
}

}  // namespace veldoran::ui
