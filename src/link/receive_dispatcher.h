// The one place where controller replies are read. Every delivery of received bytes is appended
// to ReceiveBuffer; complete replies at its front are recognised by their leading letters and
// length and acted on; incomplete ones wait for the next delivery.
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>

#include "link/heartbeat.h"
#include "link/link_state.h"
#include "link/user_table.h"

class QLineEdit;
class QProgressBar;

namespace veldoran::ui {
class Dialogs;
class TStringGrid;
struct DateTimeFormats;
}  // namespace veldoran::ui

namespace veldoran::link {

struct DispatcherControls {
  QLineEdit* Edit6;                    // card code of the users page
  ConnectionDisplay connection;        // Label14, status bar panel 0
  ui::TStatusBar* StatusBar1;          // panels 1 to 4
  QProgressBar* ProgressBar1;          // upload acknowledgements
  QProgressBar* ProgressBar2;          // event read
  Heartbeat heartbeat;                 // Timer1, Timer2
  const ui::TStringGrid* StringGrid2;  // locker names in column 1
  const ui::TStringGrid* StringGrid3;  // card codes in column 3
};

class ReceiveDispatcher {
 public:
  ReceiveDispatcher(const DispatcherControls& controls, LinkState& state,
                    const records::UserTable& users, ui::Dialogs& dialogs,
                    const ui::DateTimeFormats& formats, std::function<void()> fill_events_grid);

  // Handles one delivery of `received` bytes (the port's OnAfterReceive). The record that ends
  // an event read resets the progress bar, resumes the heartbeat and fills the events grid
  // here; its message box ("Odczytano N zdarzeń") opens after this returns, from the event
  // loop, and not while another such box is open or about to open.
  void Receive(const void* buffer, std::uint32_t received);

 private:
  void CardRead();
  void StatusLine();
  void Acknowledgement();
  void EventRecord();
  void ReadEnded();
  QString DateAndTime(std::int32_t clock_value) const;

  DispatcherControls controls_;
  LinkState& state_;
  const records::UserTable& users_;
  ui::Dialogs& dialogs_;
  const ui::DateTimeFormats& formats_;
  std::function<void()> fill_events_grid_;
  // An end-of-read box is open or waiting to open. Shared with the box's call, which may end
  // after this object is gone.
  std::shared_ptr<bool> read_end_box_ = std::make_shared<bool>(false);
  // Owns the call that opens the box: a call not yet made dies with the dispatcher.
  QObject read_end_context_;
};

}  // namespace veldoran::link
