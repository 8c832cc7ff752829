// The users page: the edit fields and check boxes are a scratch copy of the selected users-grid
// row; "Zapisz" stores them into the row and "Usuń" empties it, each saved to Config.ini at once.
#pragma once

#include <array>
#include <functional>

#include "link/user_table.h"
#include "records/slot_codes.h"

class QCheckBox;
class QLineEdit;

namespace veldoran::ui {
class Dialogs;
class TStringGrid;
}  // namespace veldoran::ui

namespace veldoran::records {

struct UsersPageControls {
  ui::TStringGrid* StringGrid3;  // users grid
  QLineEdit* Edit8;              // first name
  QLineEdit* Edit9;              // surname
  QLineEdit* Edit6;              // card code
  std::array<QCheckBox*, kLockerCount> CheckBoxes;
};

// The permission string the check boxes stand for: ten characters of "0" and "1".
QString PermissionsOf(const std::array<QCheckBox*, kLockerCount>& boxes);

class UsersPage {
 public:
  UsersPage(const UsersPageControls& controls, UserTable& users, ui::Dialogs& dialogs,
            std::function<void()> save_config);

  void ShowSelectedUser();
  void SaveSelectedUser();    // "Zapisz"
  void DeleteSelectedUser();  // "Usuń"
  void CheckAllLockers();     // "Wszystkie"
  void ClearAllLockers();     // "Wyczyść"

 private:
  // The highest user whose stored 8-character code equals `code`, or 0.
  int FindCardCode(const QString& code) const;
  void ShowUserInRow(int row);
  void MoveDownFrom(int row);

  UsersPageControls controls_;
  UserTable& users_;
  ui::Dialogs& dialogs_;
  std::function<void()> save_config_;
};

}  // namespace veldoran::records
