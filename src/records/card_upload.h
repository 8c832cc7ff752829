// "Prześlij kody kart do kontrolera": writes all 100 card slots of the controller from the users
// grid and then sets its clock. A slot gets its user's code only when the code has 8 characters
// and the user may open the locker of the controller's number; otherwise "FFFFFFFF". Each line
// must be acknowledged within the 50 ms before the next one.
#pragma once

#include <functional>

#include "link/heartbeat.h"
#include "link/link_state.h"

class QProgressBar;

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

struct CardUploadControls {
  const ui::TStringGrid* StringGrid3;  // codes in column 3, permissions in column 4
  QProgressBar* ProgressBar1;
  link::Heartbeat heartbeat;
};

// The code that goes to the slot of users-grid row `row` for controller `controller_number`.
std::string SlotCode(const ui::TStringGrid& users_grid, int row, int controller_number);

class CardUpload {
 public:
  CardUpload(const CardUploadControls& controls, serial::TspComm& com, link::LinkState& state,
             ui::Dialogs& dialogs, ui::Clock& clock, serial::MainThread& main_thread);

  void Upload();

  // Told after each upload that sent its lines: the controller number it wrote to and whether
  // all 100 lines were acknowledged.
  void SetOnFinished(std::function<void(int controller_number, bool ok)> on_finished) {
    on_finished_ = std::move(on_finished);
  }

 private:
  CardUploadControls controls_;
  serial::TspComm& com_;
  link::LinkState& state_;
  ui::Dialogs& dialogs_;
  ui::Clock& clock_;
  serial::MainThread& main_thread_;
  std::function<void(int, bool)> on_finished_;
};

}  // namespace veldoran::records
