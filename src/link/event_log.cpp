#include "link/event_log.h"

#include <QString>

#include "link/connection.h"
#include "link/protocol.h"
#include "serial/main_thread.h"
#include "serial/spcomm.h"
#include "ui/clock.h"
#include "ui/dialogs.h"

namespace veldoran::link {

namespace {
const QString kFailed = QStringLiteral("Coś poszło nie tak!");
}

EventLog::EventLog(serial::TspComm& com, const Heartbeat& heartbeat, LinkState& state,
                   ui::Dialogs& dialogs, ui::Clock& clock, serial::MainThread& main_thread)
    : com_(com),
      heartbeat_(heartbeat),
      state_(state),
      dialogs_(dialogs),
      clock_(clock),
      main_thread_(main_thread) {}

void EventLog::ReadEvents() {
  if (!PortOpenGuard(com_, dialogs_)) return;
  heartbeat_.Pause(10000);
  state_.ReadRunning = true;
  state_.ReadRecords = 0;
  com_.SendString(protocol::ReadEventsLine());
}

void EventLog::PauseEnded() {
  if (!state_.ReadRunning) return;
  state_.ReadRunning = false;
  // The grid keeps what it showed: what came is in the event table for the next complete read.
  dialogs_.ShowMessage(
      QStringLiteral("Odczyt zdarzeń nie został ukończony: odebrano %1 z %2 rekordów.")
          .arg(state_.ReadRecords)
          .arg(protocol::kLastEventSlot + 1));
}

bool EventLog::ClearMemory() {
  if (!PortOpenGuard(com_, dialogs_)) return false;
  heartbeat_.Pause(2000);
  com_.SendString(protocol::ClearEventsLine());
  clock_.Sleep(500);
  state_.ReplySeen = false;
  main_thread_.ProcessMessages();
  dialogs_.ShowMessage(state_.ReplySeen ? QStringLiteral("Pamięć została zwolniona.") : kFailed);
  return state_.ReplySeen;
}

void EventLog::SetClock() {
  if (!PortOpenGuard(com_, dialogs_)) return;
  heartbeat_.Pause(2000);
  com_.SendString(protocol::SetClockLine(protocol::DateTimeToControllerSeconds(clock_.Now())));
  clock_.Sleep(200);
  state_.ReplySeen = false;
  com_.SendString(protocol::StatusQueryLine());
  main_thread_.ProcessMessages();
  clock_.Sleep(500);
  main_thread_.ProcessMessages();
  dialogs_.ShowMessage(state_.ReplySeen ? QStringLiteral("Czas został przeslany.") : kFailed);
}

}  // namespace veldoran::link
