// WM_DEVICECHANGE from the system's broadcasts to top-level windows (Windows only).
#include <QAbstractNativeEventFilter>
#include <memory>

#include "discovery/device_watch.h"

#define NOMINMAX
#include <windows.h>

namespace veldoran::discovery {

namespace {

class DeviceChangeFilter : public QAbstractNativeEventFilter {
 public:
  explicit DeviceChangeFilter(DeviceChangeWatch::Handler handler) : handler_(std::move(handler)) {}
  bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
    if (type != "windows_generic_MSG") return false;
    const MSG* msg = static_cast<const MSG*>(message);
    if (msg->message == WM_DEVICECHANGE) {
      handler_(serial::TMessage{msg->message, static_cast<std::uint32_t>(msg->wParam),
                                static_cast<std::intptr_t>(msg->lParam)});
    }
    return false;  // the window still gets it
  }

 private:
  DeviceChangeWatch::Handler handler_;
};

}  // namespace

std::unique_ptr<QAbstractNativeEventFilter> MakeDeviceChangeFilter(
    DeviceChangeWatch::Handler handler) {
  return std::make_unique<DeviceChangeFilter>(std::move(handler));
}

}  // namespace veldoran::discovery
