// udev's monitor for the device-change watch: a tty's "add" event comes once udev's rules have
// run, so its /dev/serial names exist by the time the port list is refreshed.
#include <libudev.h>
#include <unistd.h>

#include <QSocketNotifier>

#include "discovery/device_watch.h"

namespace veldoran::discovery {

class UdevMonitor {
 public:
  UdevMonitor(QObject* parent, std::function<void()> changed) {
    // udev makes this socket while it runs; without it no event would ever come.
    if (::access("/run/udev/control", F_OK) != 0) return;
    udev_ = udev_new();
    if (!udev_) return;
    monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (!monitor_ ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor_) < 0) {
      Close();
      return;
    }
    const int fd = udev_monitor_get_fd(monitor_);
    if (fd < 0) {
      Close();
      return;
    }
    notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, parent);
    QObject::connect(notifier_, &QSocketNotifier::activated, parent, [this, changed] {
      // Every pending event is taken, so the notifier does not fire again for them.
      while (udev_device* device = udev_monitor_receive_device(monitor_)) udev_device_unref(device);
      changed();
    });
  }
  ~UdevMonitor() { Close(); }
  UdevMonitor(const UdevMonitor&) = delete;
  UdevMonitor& operator=(const UdevMonitor&) = delete;

  bool Running() const { return notifier_ != nullptr; }

 private:
  void Close() {
    delete notifier_;
    notifier_ = nullptr;
    if (monitor_) udev_monitor_unref(monitor_);
    monitor_ = nullptr;
    if (udev_) udev_unref(udev_);
    udev_ = nullptr;
  }

  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
  QSocketNotifier* notifier_ = nullptr;
};

std::shared_ptr<UdevMonitor> MakeUdevMonitor(QObject* parent, std::function<void()> changed) {
  auto monitor = std::make_shared<UdevMonitor>(parent, std::move(changed));
  return monitor->Running() ? monitor : nullptr;
}

}  // namespace veldoran::discovery
