// The events page's operations on the controller's event memory: read it into the event table,
// clear it, and set the controller's clock to the PC's time. Each checks the port first and
// pauses the heartbeat while it talks to the controller.
#pragma once

#include "link/heartbeat.h"
#include "link/link_state.h"

namespace veldoran::serial {
class MainThread;
class TspComm;
}  // namespace veldoran::serial
namespace veldoran::ui {
class Clock;
class Dialogs;
}  // namespace veldoran::ui

namespace veldoran::link {

class EventLog {
 public:
  EventLog(serial::TspComm& com, const Heartbeat& heartbeat, LinkState& state, ui::Dialogs& dialogs,
           ui::Clock& clock, serial::MainThread& main_thread);

  // "Odczytaj zdarzenia": asks for the event records and returns at once; the receive
  // dispatcher fills the table as they arrive and ends the read.
  void ReadEvents();
  // The heartbeat's pause ended: a read still waiting for its last record is over, and the
  // operator is told once how many records came.
  void PauseEnded();
  // "Kasuj zdarzenia z pamięci ": a status line must answer within 500 ms. True when it did.
  bool ClearMemory();
  // "Aktualizuj czas ": sets the clock, then a status query must be answered.
  void SetClock();

 private:
  serial::TspComm& com_;
  Heartbeat heartbeat_;
  LinkState& state_;
  ui::Dialogs& dialogs_;
  ui::Clock& clock_;
  serial::MainThread& main_thread_;
};

}  // namespace veldoran::link
