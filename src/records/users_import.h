// "Importuj z CSV" and "Eksportuj do CSV" on the users page. The import shows every line of the
// chosen file with what will happen to it, and changes the users (one save of Config.ini, the
// grid and the selected user's fields shown at once) only when the operator says so.
#pragma once

#include <functional>

#include "link/user_table.h"
#include "records/users_csv.h"
#include "ui/dialogs.h"

namespace veldoran::ui {
class TStringGrid;
}  // namespace veldoran::ui

namespace veldoran::records {

struct UsersCsvControls {
  ui::TStringGrid* StringGrid3;        // users grid
  const ui::TStringGrid* StringGrid2;  // lockers grid: the locker names
};

// The texts of the preview for a plan.
ui::PreviewList ImportPreview(const ImportPlan& plan);

class UsersCsvPage {
 public:
  UsersCsvPage(const UsersCsvControls& controls, UserTable& users, ui::Dialogs& dialogs,
               std::function<void()> save_config, std::function<void()> show_selected_user);

  void ImportFromCsv();  // "Importuj z CSV"
  void ExportToCsv();    // "Eksportuj do CSV"

  // The export's save dialog: proposes "użytkownicy.csv", then the last name chosen.
  ui::TSaveDialog SaveDialog;

 private:
  LockerNames Lockers() const;

  UsersCsvControls controls_;
  UserTable& users_;
  ui::Dialogs& dialogs_;
  std::function<void()> save_config_;
  std::function<void()> show_selected_user_;
};

}  // namespace veldoran::records
