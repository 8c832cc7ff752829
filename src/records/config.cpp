#include "records/config.h"

#include <QCheckBox>
#include <QDir>

#include "records/config_values.h"
#include "records/ini_file.h"
#include "ui/dialogs.h"
#include "ui/string_grid.h"
#include "ui/text.h"

namespace veldoran::records {
namespace {

QString PathText(const std::filesystem::path& path) {
  return QDir::toNativeSeparators(QString::fromStdString(path.string()));
}

}  // namespace

std::filesystem::path ConfigPath() { return std::filesystem::path(".") / "Config.ini"; }

Config::Config(const ConfigControls& controls, UserTable& users, ui::Dialogs& dialogs,
               std::filesystem::path path)
    : controls_(controls), users_(users), dialogs_(dialogs), path_(std::move(path)) {}

void Config::LoadConfig() {
  ini::LoadResult loaded = ini::LoadFile(path_);
  if (loaded.status == ini::LoadStatus::kUnreadable) {
    unreadable_ = true;
    unreadable_reason_ = QString::fromLocal8Bit(loaded.error.c_str());
    dialogs_.ShowError(QStringLiteral("Nie można odczytać pliku %1.\n\n%2\n\nPlik nie zostanie "
                                      "zastąpiony, aby nie utracić jego zawartości.")
                           .arg(PathText(path_), unreadable_reason_));
  }
  const ConfigValues values = ReadConfigValues(loaded.document);
  ui::TStringGrid& lockers = *controls_.StringGrid2;
  for (int n = 1; n <= kLockerCount; ++n) {
    lockers.SetCell(1, n, values.LockerNames[static_cast<std::size_t>(n - 1)]);
  }
  ui::TStringGrid& grid = *controls_.StringGrid3;
  for (int n = 1; n <= kUserCount; ++n) {
    const Tuser& user = users_[static_cast<std::size_t>(n)] =
        values.Users[static_cast<std::size_t>(n)];
    grid.SetCell(2, n, user.FirstName);
    grid.SetCell(1, n, user.Surname);
    grid.SetCell(3, n, user.CardCode);
    grid.SetCell(4, n, user.Permissions);
  }

  // Every value goes back to the file, so after the first start it holds all keys.
  if (!unreadable_) {
    ini::Document back = std::move(loaded.document);
    const QStringList refused = StoreAll(back);
    const bool written = !back.modified() || Write(back);
    if (written && !refused.isEmpty()) ShowRefused(refused);
  }
  UpdateLockerCaptions();
}

void Config::SaveConfig() {
  if (unreadable_) {
    ShowWriteError(QStringLiteral("Plik nie dał się odczytać przy uruchomieniu, więc nie zostanie "
                                  "zastąpiony: ") +
                   unreadable_reason_);
    return;
  }
  const ConfigSave saved = SaveConfigValues(path_, GridValues());
  if (!saved.ok) {
    ShowWriteError(QString::fromLocal8Bit(saved.error.c_str()));
  } else if (!saved.refused.isEmpty()) {
    ShowRefused(saved.refused);
  }
}

void Config::UpdateLockerCaptions() {
  for (int n = 1; n <= kLockerCount; ++n) {
    controls_.CheckBoxes[static_cast<std::size_t>(n - 1)]->setText(
        ui::PlainCaption(controls_.StringGrid2->Cell(1, n)));
  }
}

QStringList Config::StoreAll(ini::Document& doc) const {
  return StoreConfigValues(GridValues(), doc);
}

ConfigValues Config::GridValues() const {
  ConfigValues values;
  for (int n = 1; n <= kLockerCount; ++n)
    values.LockerNames[static_cast<std::size_t>(n - 1)] = controls_.StringGrid2->Cell(1, n);
  values.Users = users_;
  return values;
}

void Config::ShowRefused(const QStringList& refused) {
  QString text = QStringLiteral("Unable to write to %1.").arg(PathText(path_));
  text += QStringLiteral("\n\nTych wartości nie zapisano (plik zachował poprzednie):\n") +
          refused.join(QLatin1Char('\n')) + QStringLiteral("\n\nPozostałe dane zostały zapisane.");
  dialogs_.ShowError(text);
}

bool Config::Write(const ini::Document& doc) {
  const ini::Result saved = ini::SaveFile(path_, doc.Serialize());
  if (!saved.ok) ShowWriteError(QString::fromLocal8Bit(saved.error.c_str()));
  return saved.ok;
}

void Config::ShowWriteError(const QString& reason) {
  QString text = QStringLiteral("Unable to write to %1.").arg(PathText(path_));
  if (!reason.isEmpty()) text += QStringLiteral("\n\n") + reason;
  dialogs_.ShowError(text);
}

}  // namespace veldoran::records
