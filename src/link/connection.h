// Connection supervision: "Połącz" and "Rozłącz" open and close the port, the heartbeat sends a
// status query every second and shows the link as lost when no status line came since the
// previous tick, and the port-open guard refuses to start an exchange on a closed port.
#pragma once

#include "link/heartbeat.h"
#include "link/link_state.h"

namespace veldoran::serial {
class TspComm;
}
namespace veldoran::ui {
class Dialogs;
}

namespace veldoran::link {

// The refusal every controller operation shows on a closed port.
inline constexpr char16_t kNoConnectionMessage[] =
    u"Brak połączenia z kontrolerem. Sprawdź port COM. ";

// True when the port is open; otherwise shows the refusal and changes nothing else.
bool PortOpenGuard(const serial::TspComm& com, ui::Dialogs& dialogs);

class Connection {
 public:
  Connection(serial::TspComm& com, const Heartbeat& heartbeat, const ConnectionDisplay& display,
             LinkState& state);

  // Drops what is left in the receive buffer, opens the port (a failure raises the port's
  // open error) and enables the heartbeat.
  void Connect();
  // Closes the port; the heartbeat keeps running and shows the loss on its next ticks.
  void Disconnect();
  // Each second: judges the last query, then sends the next one (silently nothing on a closed
  // port).
  void HeartbeatTick();
  // The end of a pause: the heartbeat resumes.
  void PauseEnded();

 private:
  serial::TspComm& com_;
  Heartbeat heartbeat_;
  ConnectionDisplay display_;
  LinkState& state_;
};

}  // namespace veldoran::link
