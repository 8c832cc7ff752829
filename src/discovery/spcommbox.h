// The port picker: a drop-down list of the serial ports a port component found, kept on the
// entry of the component's current port. When the operator picks an entry, the component
// switches to that port (an open port moves there). The box follows the component through its
// listener list: whenever the port number or the device list changes, it reloads.
#pragma once

#include <QComboBox>
#include <cstdint>
#include <functional>
#include <memory>

#include "serial/spclasses.h"

namespace veldoran::discovery {

class TspDeviceBox : public QComboBox, public serial::TComponent {
  Q_OBJECT

 public:
  // Runs an operator's pick. An error the pick raises (the port cannot be opened) must not
  // cross the event loop: the guard runs the action and shows what it throws.
  using TGuard = std::function<void(const std::function<void()>& action)>;

  explicit TspDeviceBox(QWidget* parent = nullptr);
  ~TspDeviceBox() override;

  // The bound component (not owned). Writing it binds the box: the items are loaded from the
  // component's device list (built if it is empty), the entry of its current port is selected,
  // and the box listens to it; a component bound before is let go.
  serial::TspBaseIO* spComm() const { return com_; }
  void SetspComm(serial::TspBaseIO* value);
  // Binds again to the component already bound.
  void Rebuild();
  // The box's listener: the port number or device list changed (kNotifyPortChanged) reloads it.
  void PortChanged(serial::TObject* Sender, std::int32_t Code);
  // Passes a device-change broadcast to the bound component (false when unbound); a change of
  // ports rebuilds the component's list, and so the box.
  virtual bool DeviceChange(const serial::TMessage& message);

  // The operator picked an entry: the bound component switches to its port, then OnChange.
  // Throws what the switch throws (the open error of a port that cannot be opened); OnChange
  // then does not run.
  virtual void Change();

  // A stored flag; nothing reads it.
  bool ResetOnChanged() const { return reset_on_changed_; }
  void SetResetOnChanged(bool value) { reset_on_changed_ = value; }
  // The height of an entry in the drop-down list, in pixels.
  int ItemHeight() const { return item_height_; }
  void SetItemHeight(int height);

  // The record of entry `index`, while the component's list still holds it.
  std::shared_ptr<const serial::TspDevice> Device(int index) const;

  const serial::TNotifyEvent& OnChange() const { return on_change_; }
  void SetOnChange(serial::TNotifyEvent handler) { on_change_ = std::move(handler); }
  void SetGuard(TGuard guard) { guard_ = std::move(guard); }

 protected:
  void Notification(serial::TComponent* component, serial::TOperation operation) override;

 private:
  // An entry chosen with the mouse or the keyboard (never a selection made by code).
  void Picked(int index);
  serial::TspNotifyEvent Listener();

  serial::TspBaseIO* com_ = nullptr;
  bool reset_on_changed_ = false;
  int item_height_ = 0;
  serial::TspDeviceItems items_;
  serial::TNotifyEvent on_change_;
  TGuard guard_;
};

}  // namespace veldoran::discovery
