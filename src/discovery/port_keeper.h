// Keeps the port component on a port that is present while the port is closed, so that the
// picker never shows an empty box while ports are listed: when the port the operator chose
// (the one kept from the last run, a pick, or the last one opened) is absent, the component
// stands on the first port listed; when the chosen port appears again, it goes back to it.
// Only the component's port number moves; what is kept in Config.ini is written by picks alone.
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>

#include "serial/spclasses.h"

namespace veldoran::serial {
class TspComm;
}

namespace veldoran::discovery {

class PortKeeper {
 public:
  // Starts on the component's current port number as the chosen one, and checks at once.
  explicit PortKeeper(serial::TspComm& com);
  ~PortKeeper();
  PortKeeper(const PortKeeper&) = delete;
  PortKeeper& operator=(const PortKeeper&) = delete;

  // The operator picked the component's current port.
  void Chosen();
  // When the chosen port is listed again while it is closed (an adapter pulled out and plugged
  // in again) and `wanted` says so, `reopen` opens it; a failure is left for the next change.
  void SetReopen(std::function<bool()> wanted, std::function<void()> reopen) {
    reopen_wanted_ = std::move(wanted);
    reopen_ = std::move(reopen);
  }
  std::uint16_t ChosenPort() const { return chosen_; }

  // Moves the closed port to the chosen one when it is listed, else to the first listed port
  // when its own is not; nothing while the port is open.
  void Check();
  // Before the operator's "Połącz": standing in for the chosen port, the list is read anew so
  // that a chosen port plugged in a moment ago is the one opened.
  void PrepareOpen();

 private:
  // The component's listener: a change of the list or of the port number is checked once the
  // change is over (a check may itself change the port number); an opened port is the chosen.
  void PortChanged(serial::TObject* sender, std::int32_t code);
  serial::TspNotifyEvent Listener();
  // Check, with the reopen when `reopen`.
  void Settle(bool reopen);

  serial::TspComm& com_;
  std::uint16_t chosen_;
  std::uint16_t stand_in_ = 0;  // the port the keeper put the component on, or 0
  QObject context_;             // owns the pending checks: none runs after the keeper is gone
  bool check_pending_ = false;
  std::function<bool()> reopen_wanted_;
  std::function<void()> reopen_;
};

}  // namespace veldoran::discovery
