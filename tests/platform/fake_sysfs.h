// A fake /sys and /dev, laid out as Linux lays them out (PC ports on pnp with the serial-base
// levels of kernel 6.5+, phantom 8250 ports, USB devices with interfaces and usb-serial ports,
// udev's relative by-id and by-path links, bound Bluetooth ports). In a temporary folder on
// disk, where regular files stand in for device nodes, or in memory.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/posix/memory_file_tree.h"
#include "platform/posix/port_map.h"

namespace veldoran::testing {

struct UsbSpec {
  std::string tty;         // ttyUSB0 or ttyACM0
  std::string port = "1";  // place on the bus: 1-<port>
  std::string vendor = "0403", product_id = "6001";
  std::string manufacturer = "FTDI", product = "FT232R USB UART", serial = "A12345";
  std::string driver = "ftdi_sio";  // cdc_acm for ACM
  std::string by_id;                // udev's name; empty: none (and no by-path name either)
  std::string interface = "00";
  // udev's name for the socket: /dev/serial/by-path/<ByPath()>, made with the by-id one.
  std::string ByPath() const { return "pci-0000:00:14.0-usb-0:" + port + ":1." + interface; }
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
  enum Where { kOnDisk, kInMemory };
  explicit FakeSysfs(Where where = kOnDisk) {
    if (where == kInMemory) {
      memory_ = std::make_shared<files::MemoryFileTree>();
      root_ = "/fake";
    } else {
      char dir[] = "/tmp/veldoran-sysfs-XXXXXX";
      if (!::mkdtemp(dir)) throw std::runtime_error("mkdtemp failed");
      root_ = dir;
    }
    MakeFolder(Sys() / "class" / "tty");
    MakeFolder(Dev());
    // Ttys without hardware behind them: no device link, or one into devices/virtual.
    MakeFolder(Sys() / "class" / "tty" / "tty0");
    const auto ptmx = Sys() / "devices" / "virtual" / "tty" / "ptmx";
    MakeFolder(ptmx);
    ClassEntry("ptmx", ptmx);
    WriteFile(Dev() / "ptmx", "");
  }
  ~FakeSysfs() {
    std::error_code ec;
    if (!memory_) std::filesystem::remove_all(root_, ec);
  }
  FakeSysfs(const FakeSysfs&) = delete;
  FakeSysfs& operator=(const FakeSysfs&) = delete;

  std::filesystem::path Root() const { return root_; }
  std::filesystem::path Sys() const { return root_ / "sys"; }
  std::filesystem::path Dev() const { return root_ / "dev"; }
  std::filesystem::path Map() const { return root_ / "config" / "veldoran" / "ports"; }
  portmap::PortMapRoots Roots() const { return {Sys(), Dev(), Map(), memory_}; }
  // The tree in memory (null on disk).
  const std::shared_ptr<files::MemoryFileTree>& Memory() const { return memory_; }
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
      WriteFile(pnp / "id", "PNP0501\n");
      device = pnp / ("00:0" + std::to_string(k) + ":0") / ("00:0" + std::to_string(k) + ":0.0");
      Driver(device.parent_path(), "serial-base", "ctrl");
      Driver(device, "serial-base", "port");
    }
    ClassEntry(name, device);
    WriteFile(Sys() / "class" / "tty" / name / "type", std::to_string(uart_type) + "\n");
    WriteFile(Dev() / name, "");
  }

  // An on-board UART of a system on chip (ttyAMA0, ttymxc0, ...).
  void AddUart(const std::string& name, const std::string& driver) {
    const auto device = Sys() / "devices" / "platform" / ("soc-" + name);
    Driver(device, "platform", driver);
    ClassEntry(name, device);
    WriteFile(Dev() / name, "");
  }

  // A Bluetooth port bound with `rfcomm bind` and not connected: in devices/virtual, without a
  // device link.
  void AddRfcomm(int k) {
    const std::string name = "rfcomm" + std::to_string(k);
    const auto device = Sys() / "devices" / "virtual" / "tty" / name;
    WriteFile(device / "uevent",
              "MAJOR=216\nMINOR=" + std::to_string(k) + "\nDEVNAME=" + name + "\n");
    Symlink(device, Sys() / "class" / "tty" / name);
    WriteFile(Dev() / name, "");
  }

  // A USB adapter: usb-serial (ttyUSB, the tty's device is the port below the interface) or
  // ACM (the tty's device is the interface).
  void Plug(const UsbSpec& s) {
    const auto usb = Sys() / "devices" / "pci0000:00" / "usb1" / ("1-" + s.port);
    WriteFile(usb / "idVendor", s.vendor + "\n");
    WriteFile(usb / "idProduct", s.product_id + "\n");
    WriteFile(usb / "bcdDevice", "0600\n");
    if (!s.manufacturer.empty()) WriteFile(usb / "manufacturer", s.manufacturer + "\n");
    if (!s.product.empty()) WriteFile(usb / "product", s.product + "\n");
    if (!s.serial.empty()) WriteFile(usb / "serial", s.serial + "\n");
    const auto interface = usb / ("1-" + s.port + ":1." + std::to_string(std::stoi(s.interface)));
    WriteFile(interface / "bInterfaceNumber", s.interface + "\n");
    std::filesystem::path device = interface;
    if (s.tty.rfind("ttyACM", 0) == 0) {
      Driver(interface, "usb", s.driver);
    } else {
      Driver(interface, "usb", "usbserial_generic");
      device = interface / s.tty;
      Driver(device, "usb-serial", s.driver);
    }
    ClassEntry(s.tty, device);
    WriteFile(Dev() / s.tty, "");
    if (!s.by_id.empty()) {
      // Each plug rewrites the name, as udev does: two adapters of one name leave it at the last.
      RemoveAll(Dev() / "serial" / "by-id" / s.by_id);
      Symlink("../../" + s.tty, Dev() / "serial" / "by-id" / s.by_id);
      Symlink("../../" + s.tty, Dev() / "serial" / "by-path" / s.ByPath());
    }
  }

  // The adapter goes: its tty, its node and its udev link.
  // The adapter goes: its tty, its node and its udev links (the by-id name only while it is
  // this adapter's).
  void Unplug(const UsbSpec& s) {
    RemoveAll(Sys() / "devices" / "pci0000:00" / "usb1" / ("1-" + s.port));
    RemoveAll(Sys() / "class" / "tty" / s.tty);
    RemoveAll(Dev() / s.tty);
    if (s.by_id.empty()) return;
    const auto by_id = Dev() / "serial" / "by-id" / s.by_id;
    if (ReadLink(by_id) == "../../" + s.tty) RemoveAll(by_id);
    RemoveAll(Dev() / "serial" / "by-path" / s.ByPath());
  }

  // A file on disk: folders above are made, an existing file replaced.
  static void Write(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
  }
  // Files and links on disk or in memory.
  void WriteFile(const std::filesystem::path& file, const std::string& text) const {
    if (memory_) return memory_->MakeFile(file, text);
    Write(file, text);
  }
  void MakeFolder(const std::filesystem::path& path) const {
    if (memory_) return memory_->MakeFolder(path);
    std::filesystem::create_directories(path);
  }
  // A link, unless the name is taken.
  void Symlink(const std::filesystem::path& target, const std::filesystem::path& link) const {
    MakeFolder(link.parent_path());
    if (memory_) {
      memory_->Symlink(target, link);
      return;
    }
    std::error_code ec;
    std::filesystem::create_symlink(target, link, ec);
  }
  std::optional<std::filesystem::path> ReadLink(const std::filesystem::path& link) const {
    if (memory_) return memory_->ReadLink(link);
    std::error_code ec;
    auto target = std::filesystem::read_symlink(link, ec);
    return ec ? std::nullopt : std::optional(target);
  }
  void RemoveAll(const std::filesystem::path& path) const {
    if (memory_) return memory_->RemoveAll(path);
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }

 private:
  void Driver(const std::filesystem::path& device, const std::string& bus,
              const std::string& driver) {
    const auto bus_dir = Sys() / "bus" / bus;
    MakeFolder(bus_dir / "drivers" / driver);
    MakeFolder(device);
    Symlink(bus_dir, device / "subsystem");
    Symlink(bus_dir / "drivers" / driver, device / "driver");
  }
  void ClassEntry(const std::string& name, const std::filesystem::path& device) {
    const auto entry = Sys() / "class" / "tty" / name;
    MakeFolder(entry);
    Symlink(device, entry / "device");
    WriteFile(entry / "uevent", "MAJOR=188\nMINOR=0\nDEVNAME=" + name + "\n");
  }

  std::shared_ptr<files::MemoryFileTree> memory_;
  std::filesystem::path root_;
};

}  // namespace veldoran::testing
