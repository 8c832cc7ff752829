// A fake /sys and /dev in a temporary folder, laid out as Linux lays them out (PC ports on pnp
// with the serial-base levels of kernel 6.5+, phantom 8250 ports, USB devices with interfaces
// and usb-serial ports, udev's relative by-id links). Regular files stand in for device nodes.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "platform/posix/port_map.h"

namespace veldoran::testing {

struct UsbSpec {
  std::string tty;         // ttyUSB0 or ttyACM0
  std::string port = "1";  // place on the bus: 1-<port>
  std::string vendor = "0403", product_id = "6001";
  std::string manufacturer = "FTDI", product = "FT232R USB UART", serial = "A12345";
  std::string driver = "ftdi_sio";  // cdc_acm for ACM
  std::string by_id;                // udev's name; empty: none
  std::string interface = "00";
};

// Adapters to plug: FTDI usb-serial with a by-id link; an ACM board without strings or by-id
// link; a CH340 without a serial number.
// clang-format off
inline UsbSpec Ftdi() { return {"ttyUSB0", "1", "0403", "6001", "FTDI", "FT232R USB UART", "A12345", "ftdi_sio", "usb-FTDI_FT232R_USB_UART_A12345-if00-port0", "00"}; }
inline UsbSpec Acm() { return {"ttyACM0", "2", "2341", "43", "", "", "", "cdc_acm", "", "00"}; }
inline UsbSpec Ch340() { return {"ttyUSB1", "3", "1a86", "7523", "", "USB Serial", "", "ch341", "usb-1a86_USB_Serial-if00-port0", "00"}; }
// clang-format on

class FakeSysfs {
 public:
  FakeSysfs() {
    char dir[] = "/tmp/veldoran-sysfs-XXXXXX";
    if (!::mkdtemp(dir)) throw std::runtime_error("mkdtemp failed");
    root_ = dir;
    std::filesystem::create_directories(Sys() / "class" / "tty");
    std::filesystem::create_directories(Dev());
    // Ttys without hardware behind them: no device link, or one into devices/virtual.
    std::filesystem::create_directories(Sys() / "class" / "tty" / "tty0");
    const auto ptmx = Sys() / "devices" / "virtual" / "tty" / "ptmx";
    std::filesystem::create_directories(ptmx);
    ClassEntry("ptmx", ptmx);
    Write(Dev() / "ptmx", "");
  }
  ~FakeSysfs() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  FakeSysfs(const FakeSysfs&) = delete;
  FakeSysfs& operator=(const FakeSysfs&) = delete;

  std::filesystem::path Root() const { return root_; }
  std::filesystem::path Sys() const { return root_ / "sys"; }
  std::filesystem::path Dev() const { return root_ / "dev"; }
  std::filesystem::path Map() const { return root_ / "config" / "veldoran" / "ports"; }
  portmap::PortMapRoots Roots() const { return {Sys(), Dev(), Map()}; }
  std::filesystem::path Link(int n) const { return Map() / ("COM" + std::to_string(n)); }

  // A PC serial port ttyS<k>; `uart_type` 0 makes it a phantom of the 8250 driver.
  void AddTtyS(int k, int uart_type) {
    const std::string name = "ttyS" + std::to_string(k);
    std::filesystem::path device;
    if (uart_type == 0) {
      device = Sys() / "devices" / "platform" / "serial8250";
      Driver(device, "platform", "serial8250");
    } else {
      const auto pnp = Sys() / "devices" / "pnp0" / ("00:0" + std::to_string(k));
      Driver(pnp, "pnp", "serial");
      Write(pnp / "id", "PNP0501\n");
      device = pnp / ("00:0" + std::to_string(k) + ":0") / ("00:0" + std::to_string(k) + ":0.0");
      Driver(device.parent_path(), "serial-base", "ctrl");
      Driver(device, "serial-base", "port");
    }
    ClassEntry(name, device);
    Write(Sys() / "class" / "tty" / name / "type", std::to_string(uart_type) + "\n");
    Write(Dev() / name, "");
  }

  // An on-board UART of a system on chip (ttyAMA0, ttymxc0, ...).
  void AddUart(const std::string& name, const std::string& driver) {
    const auto device = Sys() / "devices" / "platform" / ("soc-" + name);
    Driver(device, "platform", driver);
    ClassEntry(name, device);
    Write(Dev() / name, "");
  }

  // A USB adapter: usb-serial (ttyUSB, the tty's device is the port below the interface) or
  // ACM (the tty's device is the interface).
  void Plug(const UsbSpec& s) {
    const auto usb = Sys() / "devices" / "pci0000:00" / "usb1" / ("1-" + s.port);
    Write(usb / "idVendor", s.vendor + "\n");
    Write(usb / "idProduct", s.product_id + "\n");
    Write(usb / "bcdDevice", "0600\n");
    if (!s.manufacturer.empty()) Write(usb / "manufacturer", s.manufacturer + "\n");
    if (!s.product.empty()) Write(usb / "product", s.product + "\n");
    if (!s.serial.empty()) Write(usb / "serial", s.serial + "\n");
    const auto interface = usb / ("1-" + s.port + ":1." + std::to_string(std::stoi(s.interface)));
    Write(interface / "bInterfaceNumber", s.interface + "\n");
    std::filesystem::path device = interface;
    if (s.tty.rfind("ttyACM", 0) == 0) {
      Driver(interface, "usb", s.driver);
    } else {
      Driver(interface, "usb", "usbserial_generic");
      device = interface / s.tty;
      Driver(device, "usb-serial", s.driver);
    }
    ClassEntry(s.tty, device);
    Write(Dev() / s.tty, "");
    if (!s.by_id.empty()) {
      std::filesystem::create_directories(Dev() / "serial" / "by-id");
      std::filesystem::create_symlink("../../" + s.tty, Dev() / "serial" / "by-id" / s.by_id);
    }
  }

  // The adapter goes: its tty, its node and its udev link.
  void Unplug(const UsbSpec& s) {
    std::error_code ec;
    std::filesystem::remove_all(Sys() / "devices" / "pci0000:00" / "usb1" / ("1-" + s.port), ec);
    std::filesystem::remove_all(Sys() / "class" / "tty" / s.tty, ec);
    std::filesystem::remove(Dev() / s.tty, ec);
    if (!s.by_id.empty()) std::filesystem::remove(Dev() / "serial" / "by-id" / s.by_id, ec);
  }

  static void Write(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
  }

 private:
  void Driver(const std::filesystem::path& device, const std::string& bus,
              const std::string& driver) {
    const auto bus_dir = Sys() / "bus" / bus;
    std::filesystem::create_directories(bus_dir / "drivers" / driver);
    std::filesystem::create_directories(device);
    std::error_code ec;
    std::filesystem::create_directory_symlink(bus_dir, device / "subsystem", ec);
    std::filesystem::create_directory_symlink(bus_dir / "drivers" / driver, device / "driver", ec);
  }
  void ClassEntry(const std::string& name, const std::filesystem::path& device) {
    const auto entry = Sys() / "class" / "tty" / name;
    std::filesystem::create_directories(entry);
    std::filesystem::create_directory_symlink(device, entry / "device");
    Write(entry / "uevent", "MAJOR=188\nMINOR=0\nDEVNAME=" + name + "\n");
  }

  std::filesystem::path root_;
};

}  // namespace veldoran::testing
