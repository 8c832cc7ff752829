#include "records/users_page.h"

#include <QCheckBox>
#include <QLineEdit>

#include "ui/dialogs.h"
#include "ui/string_grid.h"
#include "ui/text.h"

namespace veldoran::records {

namespace {
constexpr int kCardCodeLength = 8;
}

QString PermissionsOf(const std::array<QCheckBox*, kLockerCount>& boxes) {
  QString permissions(kLockerCount, QLatin1Char('0'));
  for (int k = 0; k < kLockerCount; ++k) {
    if (boxes[static_cast<std::size_t>(k)]->isChecked()) permissions[k] = QLatin1Char('1');
  }
  return permissions;
}

UsersPage::UsersPage(const UsersPageControls& controls, UserTable& users, ui::Dialogs& dialogs,
                     std::function<void()> save_config)
    : controls_(controls), users_(users), dialogs_(dialogs), save_config_(std::move(save_config)) {}

void UsersPage::ShowSelectedUser() {
  const ui::TStringGrid& grid = *controls_.StringGrid3;
  const int row = grid.Row();
  controls_.Edit9->setText(grid.Cell(1, row));
  controls_.Edit8->setText(grid.Cell(2, row));
  controls_.Edit6->setText(grid.Cell(3, row));
  const QString& permissions = grid.Cell(4, row);
  for (int k = 1; k <= kLockerCount; ++k) {
    controls_.CheckBoxes[static_cast<std::size_t>(k - 1)]->setChecked(MayOpen(permissions, k));
  }
}

int UsersPage::FindCardCode(const QString& code) const {
  int match = 0;
  for (int i = 1; i <= kUserCount; ++i) {
    const QString& stored = users_[static_cast<std::size_t>(i)].CardCode;
    if (stored.size() == kCardCodeLength && stored == code) match = i;
  }
  return match;
}

void UsersPage::ShowUserInRow(int row) {
  const Tuser& user = users_[static_cast<std::size_t>(row)];
  ui::TStringGrid& grid = *controls_.StringGrid3;
  grid.SetCell(1, row, user.Surname);
  grid.SetCell(2, row, user.FirstName);
  grid.SetCell(3, row, user.CardCode);
  grid.SetCell(4, row, user.Permissions);
}

void UsersPage::MoveDownFrom(int row) {
  if (row < 99) controls_.StringGrid3->SetRow(row + 1);
}

void UsersPage::SaveSelectedUser() {
  const int row = controls_.StringGrid3->Row();
  Tuser& user = users_[static_cast<std::size_t>(row)];
  user.FirstName = controls_.Edit8->text();
  user.Surname = controls_.Edit9->text();

  const QString code = controls_.Edit6->text();
  // A new code with a control character could not be kept in Config.ini (a line break would
  // also block every later save): refused like a duplicate, the rest of the row is saved.
  const qsizetype bad = code == user.CardCode ? -1 : ui::FirstControlCharacter(code);
  const int match = bad >= 0 ? -1 : FindCardCode(code);
  if (bad >= 0) {
    dialogs_.ShowMessage(
        QStringLiteral("Kod karty „%1” zawiera znak sterujący (%2), którego nie można zapisać "
                       "w pliku Config.ini. Kod karty nie został zmieniony; pozostałe dane "
                       "użytkownika zostały zapisane.")
            .arg(ui::WithControlsShown(code), ui::CharacterCode(code[bad])));
  } else if (match == 0) {
    user.CardCode = code;
  } else if (match != row) {
    dialogs_.ShowMessage(QStringLiteral("Kod karty już jest zaprogramowany dla nr %1").arg(match));
  }
  user.Permissions = PermissionsOf(controls_.CheckBoxes);
  ShowUserInRow(row);
  if (save_config_) save_config_();
  if (match == 0 || match == row) MoveDownFrom(row);
  ShowSelectedUser();
}

void UsersPage::DeleteSelectedUser() {
  const int row = controls_.StringGrid3->Row();
  users_[static_cast<std::size_t>(row)] =
      Tuser{{}, {}, {}, QString(kLockerCount, QLatin1Char('0'))};
  ShowUserInRow(row);
  ClearAllLockers();
  if (save_config_) save_config_();
  MoveDownFrom(row);
  ShowSelectedUser();
}

void UsersPage::CheckAllLockers() {
  for (QCheckBox* box : controls_.CheckBoxes) box->setChecked(true);
}

void UsersPage::ClearAllLockers() {
  for (QCheckBox* box : controls_.CheckBoxes) box->setChecked(false);
}

}  // namespace veldoran::records
