#include "records/users_import.h"

#include <QDir>
#include <filesystem>

#include "platform/atomic_file.h"
#include "ui/string_grid.h"

namespace veldoran::records {

namespace {
const QString kFilter = QStringLiteral("plik CSV|*.csv *.txt");

QString LinesText(const ImportLine& line) {
  return line.last_line > line.first_line
             ? QStringLiteral("%1–%2").arg(line.first_line).arg(line.last_line)
             : QString::number(line.first_line);
}
}  // namespace

ui::PreviewList ImportPreview(const ImportPlan& plan) {
  ui::PreviewList preview;
  preview.title = QStringLiteral("Import użytkowników z pliku CSV");
  preview.summary = PlanSummary(plan);
  if (!plan.HasChanges()) {
    preview.summary += QStringLiteral("\nImport niczego nie zmieni.");
  }
  preview.headings = QStringList{QStringLiteral("Wiersz pliku"), QStringLiteral("Treść"),
                                 QStringLiteral("Co się stanie")};
  for (const ImportLine& line : plan.lines) {
    preview.rows.push_back(
        {{LinesText(line), line.text, VerdictText(line)}, line.verdict == ImportVerdict::kRefused});
  }
  preview.accept_caption = QStringLiteral("Importuj");
  preview.cancel_caption = QStringLiteral("Anuluj");
  preview.can_accept = plan.HasChanges();
  return preview;
}

UsersCsvPage::UsersCsvPage(const UsersCsvControls& controls, UserTable& users, ui::Dialogs& dialogs,
                           std::function<void()> save_config,
                           std::function<void()> show_selected_user)
    : controls_(controls),
      users_(users),
      dialogs_(dialogs),
      save_config_(std::move(save_config)),
      show_selected_user_(std::move(show_selected_user)) {
  SaveDialog.FileName = QStringLiteral("użytkownicy.csv");
  SaveDialog.Filter = QStringLiteral("plik CSV|*.csv");
}

LockerNames UsersCsvPage::Lockers() const {
  LockerNames names;
  for (int k = 1; k <= kLockerCount; ++k) {
    names[static_cast<std::size_t>(k - 1)] = controls_.StringGrid2->Cell(1, k);
  }
  return names;
}

void UsersCsvPage::ImportFromCsv() {
  const auto path = dialogs_.AskOpenFileName(kFilter);
  if (!path) return;
  const ImportFile file = ReadImportFile(*path);
  if (!file.error.isEmpty()) {
    dialogs_.ShowMessage(file.error + QStringLiteral("\n\nUżytkownicy nie zostali zmienieni."));
    return;
  }
  const ImportPlan plan = PlanImport(file.bytes, users_, Lockers());
  if (!plan.error.isEmpty()) {
    dialogs_.ShowMessage(QStringLiteral("Nie można zaimportować pliku „%1”.\n\n%2\n\n"
                                        "Użytkownicy nie zostali zmienieni.")
                             .arg(QDir::toNativeSeparators(*path), plan.error));
    return;
  }
  if (!dialogs_.ShowPreview(ImportPreview(plan))) return;
  const std::vector<int> rows = ApplyImport(plan, users_);
  if (rows.empty()) return;
  ui::TStringGrid& grid = *controls_.StringGrid3;
  for (const int row : rows) {
    const Tuser& user = users_[static_cast<std::size_t>(row)];
    grid.SetCell(1, row, user.Surname);
    grid.SetCell(2, row, user.FirstName);
    grid.SetCell(3, row, user.CardCode);
    grid.SetCell(4, row, user.Permissions);
  }
  if (save_config_) save_config_();
  if (show_selected_user_) show_selected_user_();
}

void UsersCsvPage::ExportToCsv() {
  const QStringList lines = UsersCsvLines(users_, Lockers());
  if (!SaveDialog.Execute(dialogs_)) return;
  const QString& name = SaveDialog.FileName;
  int bad_line = 0;
  const auto bytes = UsersCsvBytes(lines, &bad_line);
  if (!bytes) {
    dialogs_.ShowError(QStringLiteral("Nie można zapisać pliku „%1”: wiersz %2 zawiera znak, "
                                      "którego nie ma w stronie kodowej Windows-1250.")
                           .arg(name)
                           .arg(bad_line + 1));
    return;
  }
  const platform::FileResult written =
      platform::ReplaceFileContents(std::filesystem::path(name.toStdU16String()), *bytes);
  if (!written.ok) dialogs_.ShowError(QString::fromLocal8Bit(written.error.c_str()));
}

}  // namespace veldoran::records
