#include "discovery/port_keeper.h"

#include <QTimer>
#include <exception>

#include "serial/spcomm.h"

namespace veldoran::discovery {

PortKeeper::PortKeeper(serial::TspComm& com) : com_(com), chosen_(com.ComPortNo()) {
  com_.AddListener(Listener());
  Check();
}

PortKeeper::~PortKeeper() { com_.RemoveListener(Listener()); }

serial::TspNotifyEvent PortKeeper::Listener() {
  return serial::TspNotifyEvent::Of<PortKeeper, &PortKeeper::PortChanged>(this);
}

void PortKeeper::Chosen() {
  chosen_ = com_.ComPortNo();
  stand_in_ = 0;
}

void PortKeeper::PortChanged(serial::TObject* /*sender*/, std::int32_t code) {
  if (code == serial::kNotifyOpened) {
    Chosen();
    return;
  }
  if (code != serial::kNotifyPortChanged || check_pending_) return;
  check_pending_ = true;
  QTimer::singleShot(0, &context_, [this] {
    check_pending_ = false;
    Check();
  });
}

void PortKeeper::Check() { Settle(true); }

void PortKeeper::PrepareOpen() {
  if (com_.Active() || stand_in_ == 0 || com_.ComPortNo() != stand_in_) return;
  com_.RefreshDevices();
  Settle(false);
}

void PortKeeper::Settle(bool reopen) {
  if (com_.Active()) return;
  com_.FillDeviceList(nullptr);  // builds the list if it is empty
  const std::uint16_t current = com_.ComPortNo();
  // A port number set by anyone but the keeper (a pick, the program) is the one to keep.
  if (current != stand_in_) chosen_ = current;
  if (com_.IndexOfPortNo(chosen_) >= 0) {
    stand_in_ = 0;
    if (current != chosen_) com_.SetComPortNo(chosen_);
    if (reopen && reopen_wanted_ && reopen_ && reopen_wanted_()) {
      try {
        reopen_();
      } catch (const std::exception&) {
        // Not ready yet (the system may still be setting the device up): the next change of
        // the port list tries again. The operator's own "Połącz" shows the error.
      }
    }
    return;
  }
  if (com_.IndexOfPortNo(current) >= 0 || com_.DeviceCount() == 0) return;
  stand_in_ = static_cast<std::uint16_t>(com_.GetDevice(0)->PortNo);
  com_.SetComPortNo(stand_in_);
}

}  // namespace veldoran::discovery
