// The lockers page: names the ten lockers (saved to Config.ini and shown on the permission check
// boxes) and programs the controller's own number, confirmed by the controller's next status
// line.
#pragma once

#include <functional>

#include "link/heartbeat.h"
#include "link/link_state.h"

class QLineEdit;

namespace veldoran::serial {
class MainThread;
class TspComm;
}  // namespace veldoran::serial
namespace veldoran::ui {
class Clock;
class Dialogs;
class TStringGrid;
}  // namespace veldoran::ui

namespace veldoran::records {

struct LockersPageControls {
  ui::TStringGrid* StringGrid2;  // locker names in column 1
  QLineEdit* Edit7;              // the name being edited
  link::Heartbeat heartbeat;
};

class LockersPage {
 public:
  LockersPage(const LockersPageControls& controls, serial::TspComm& com, link::LinkState& state,
              ui::Dialogs& dialogs, ui::Clock& clock, serial::MainThread& main_thread,
              std::function<void()> update_captions, std::function<void()> save_config);

  void ShowSelectedLocker();  // the selected row's name into the edit field
  void RenameSelectedLocker();
  // "Zaprogramuj numer kontrolera": asks first, naming the number ("Tak"/"Nie").
  void ProgramControllerNumber();

 private:
  QString ProgramNumberQuestion(int row) const;

  LockersPageControls controls_;
  serial::TspComm& com_;
  link::LinkState& state_;
  ui::Dialogs& dialogs_;
  ui::Clock& clock_;
  serial::MainThread& main_thread_;
  std::function<void()> update_captions_;
  std::function<void()> save_config_;
};

}  // namespace veldoran::records
