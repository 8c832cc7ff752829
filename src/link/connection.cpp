#include "link/connection.h"

#include <QString>

#include "link/protocol.h"
#include "serial/spcomm.h"
#include "ui/dialogs.h"
#include "ui/timer.h"

namespace veldoran::link {

bool PortOpenGuard(const serial::TspComm& com, ui::Dialogs& dialogs) {
  if (com.Active()) return true;
  dialogs.ShowMessage(QString::fromUtf16(kNoConnectionMessage));
  return false;
}

Connection::Connection(serial::TspComm& com, const Heartbeat& heartbeat,
                       const ConnectionDisplay& display, LinkState& state)
    : com_(com), heartbeat_(heartbeat), display_(display), state_(state) {}

void Connection::Connect() {
  // What a broken link left half-received belongs to no reply on the new one: joined to the
  // first reply it would read as something else (an event record that ends a read that was
  // cut off, say).
  state_.ReceiveBuffer.clear();
  com_.SetActive(true);
  heartbeat_.Timer1->SetEnabled(true);
}

void Connection::Disconnect() { com_.SetActive(false); }

void Connection::HeartbeatTick() {
  if (!state_.ReplySeen) display_.ShowLost();
  state_.ReplySeen = false;
  com_.SendString(protocol::StatusQueryLine());
}

void Connection::PauseEnded() {
  heartbeat_.Timer1->SetEnabled(true);
  heartbeat_.Timer2->SetEnabled(false);
}

}  // namespace veldoran::link
