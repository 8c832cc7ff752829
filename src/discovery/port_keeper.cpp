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

void PortKeeper::Chosen() { chosen_ = com_.ComPortNo(); }

void PortKeeper::PortChanged(serial::TObject* /*sender*/, std::int32_t code) {
  if (code == serial::kNotifyOpened) {
    chosen_ = com_.ComPortNo();
    return;
  }
  if (code != serial::kNotifyPortChanged || check_pending_) return;
  check_pending_ = true;
  QTimer::singleShot(0, &context_, [this] {
    check_pending_ = false;
    Check();
  });
}

void PortKeeper::Check() {
  if (com_.Active()) return;
  com_.FillDeviceList(nullptr);  // builds the list if it is empty
  if (com_.IndexOfPortNo(chosen_) >= 0) {
    if (com_.ComPortNo() != chosen_) com_.SetComPortNo(chosen_);
    if (reopen_wanted_ && reopen_ && reopen_wanted_()) {
      try {
        reopen_();
      } catch (const std::exception&) {
        // Not ready yet (the system may still be setting the device up): the next change of
        // the port list tries again. The operator's own "Połącz" shows the error.
      }
    }
    return;
  }
  if (com_.IndexOfPortNo(com_.ComPortNo()) >= 0 || com_.DeviceCount() == 0) return;
  com_.SetComPortNo(static_cast<std::uint16_t>(com_.GetDevice(0)->PortNo));
}

}  // namespace veldoran::discovery
