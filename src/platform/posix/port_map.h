// The port map: how "COM<n>" names become device nodes on Linux and macOS.
//
// It is a directory of symbolic links, $XDG_CONFIG_HOME/veldoran/ports/ (by default
// ~/.config/veldoran/ports/), each named COM<n> and pointing at a device node, so a user can
// read and edit it with `ls -l` and `ln -s`.
//
// - A real 8250-type port /dev/ttyS<k> (the kernel knows its UART type) is COM<k+1> without a
//   link. The phantom ttyS nodes the 8250 driver creates in advance are not ports. When a link
//   holds that name, the port is given a number as any other device.
// - Every other serial device in /sys/class/tty with a device behind it (USB serial, ACM,
//   on-board UARTs, and Bluetooth ports bound with `rfcomm bind`, which wait in devices/virtual
//   until opened) gets the lowest free number from 3 up the first time it is seen, and keeps it.
//   Its link names the device as udev does, so the number follows the device:
//   - a USB device with a serial number: its /dev/serial/by-id path (the same adapter is the
//     same number in any socket);
//   - a USB device without one: its /dev/serial/by-path path, the socket it sits in (udev's
//     by-id name then names only the model, and two such adapters would share it); the same
//     adapter in the same socket keeps its number, another socket gives it that socket's;
//   - anything else, or while udev has not made these names: its /dev node.
// - A link to a USB device's bare node is moved to the device's name above once udev has made
//   it, and a by-id link to a device without a serial number to its by-path name; the number
//   stays. No other link is ever rewritten: a link the user made always wins.
// - A dangling link is a port that is not present now: not listed as present, number kept. A
//   by-path link whose socket now holds a device that follows its by-id name is not present
//   either.
// - A device some link already points at (by its udev names, its node, or any other path to
//   the same node) gets no second number, and a real ttyS that a link points at is known by
//   that link's name only.
// - A link made for a running program (veldoran-sim) has a side file .COM<n>.owner naming the
//   process and the target; once the process is gone the next survey removes the link, unless
//   it has been pointed elsewhere since.
// - Where the map folder cannot be written, a new device still gets a number for the run (the
//   lowest free one); it becomes its lasting number once the folder can take the link.
//
// Two programs assigning at once never give one number to two devices, nor two numbers to one
// device: a link is made with symlink(), which fails when the name exists, and the name is then
// read to see whose it is. Broken entries (unreadable sysfs files, weird names such as COM0,
// COM007, com3 or COMx, links to nowhere, link loops) are skipped.
//
// Everything is read and written through a files::FileTree: the real file system unless the
// roots name another.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/file_tree.h"

namespace veldoran::portmap {

// Where the map reads the system and keeps its links. Tests point these into a temporary folder.
struct PortMapRoots {
  std::filesystem::path sys = "/sys";                // sysfs: class/tty/...
  std::filesystem::path dev = "/dev";                // device nodes and serial/by-id/
  std::filesystem::path map;                         // the folder of COM<n> links
  std::shared_ptr<files::FileTree> files = nullptr;  // where they are; null: the real ones

  // /sys, /dev and Directory(), read from the environment now.
  static PortMapRoots Default();
};

// The map's default directory, $XDG_CONFIG_HOME/veldoran/ports (not created by this call).
std::filesystem::path Directory();

// The number n of a name "COM<n>" (letters in any case, n from 1 to 999 without leading zeros),
// or nothing.
std::optional<int> ParsePortName(std::string_view name);

// The highest number the map gives to a device by itself.
inline constexpr int kHighestAssigned = 255;
// The lowest number the map gives to a device by itself (COM1 and COM2 are the on-board ports').
inline constexpr int kFirstAssigned = 3;

// A serial device of /sys/class/tty with a device behind it.
struct SerialDevice {
  std::string name;                // tty name: ttyUSB0
  std::filesystem::path node;      // <dev>/ttyUSB0
  std::filesystem::path by_id;     // <dev>/serial/by-id/usb-...; empty when it has none
  std::filesystem::path by_path;   // <dev>/serial/by-path/pci-...; empty when it has none
  std::filesystem::path hardware;  // the device in sysfs (resolved), past serial-base levels
  bool present = false;            // its device node exists now
  int fixed_number = 0;            // n of COM<n> for a real ttyS, else 0
  std::string driver;              // kernel driver: ftdi_sio, cdc_acm, serial, ...
  std::string subsystem;           // bus of `hardware`: usb-serial, usb, pnp, platform, ...
  std::string pnp_id;              // the PnP id (PNP0501) of a device on the pnp bus
  // The USB device it sits on (empty when not on USB).
  std::string vendor_id, product_id, revision;  // idVendor, idProduct, bcdDevice (hex)
  std::string manufacturer, product, serial;    // the USB strings
  std::string interface_number;                 // bInterfaceNumber of its interface (hex)
  std::string usb_port;                         // the USB device's place on the bus: 1-1.2
  bool usb() const { return !vendor_id.empty(); }
  // A USB device without a serial number is told apart by its socket, not by its by-id name.
  bool BySocket() const { return usb() && serial.empty(); }
  // The path a new link points at: the by-path path of a device told apart by its socket, the
  // by-id path of any other, else (no such name) the node.
  const std::filesystem::path& LinkTarget() const {
    const std::filesystem::path& name = BySocket() ? by_path : by_id;
    return name.empty() ? node : name;
  }
};

struct Entry {
  int number = 0;                // n of COM<n>
  std::filesystem::path device;  // what it points at (a link's target, absolute)
  bool present = false;          // the device node exists now
  bool linked = false;           // from a link (false: a real ttyS, or a number for this run)
  int source = -1;               // index of the sysfs device behind it in Survey::devices, or -1
};

struct Survey {
  std::vector<SerialDevice> devices;  // sysfs serial devices, in natural name order
  std::vector<Entry> entries;         // every mapped port (present or not), ascending by number
};

class PortMap {
 public:
  explicit PortMap(PortMapRoots roots = PortMapRoots::Default());

  const PortMapRoots& Roots() const { return roots_; }

  // The serial devices of sysfs, without looking at the map.
  std::vector<SerialDevice> Devices() const;

  // Looks at sysfs and the map, gives numbers to devices seen for the first time, and returns
  // both.
  Survey Take() const;

  // Every mapped port, ascending by number (Take().entries).
  std::vector<Entry> List() const;

  // The device node a port name stands for: the link's target (absolute, even when it does not
  // exist), else the port of that number in the map. Nothing when the name is not a port name
  // or nothing is mapped to it.
  std::optional<std::filesystem::path> Resolve(std::string_view port_name) const;

  // Whether /dev/ttyS<k> is a real port rather than a phantom one.
  bool IsRealTtyS(int k) const;

  // Links COM<number> to `device` unless a link of that name exists (dangling or not). A link
  // takes precedence over a real ttyS of the same number, so asking for COM1 explicitly shadows
  // /dev/ttyS0. Creates the directory when needed. False when taken or on error. With an
  // `owner` (a process id), the link is that process's: removed by a survey once it is gone.
  bool Register(int number, const std::filesystem::path& device, int owner = 0) const;

  // Links the lowest free COM<n>, n >= `first`, to `device`, passing over the numbers of real
  // ttyS ports; returns n, or nothing on error.
  std::optional<int> RegisterLowestFree(const std::filesystem::path& device, int first = 1,
                                        int owner = 0) const;

  // Points the link COM<number> at `to` if it points at `from` now, in one step (the name never
  // goes missing), keeping its owner's side file in step. False when it is another's link now.
  bool Repoint(int number, const std::filesystem::path& from, const std::filesystem::path& to,
               int owner = 0) const;

  // Removes the link COM<number> if it still points at `device`, and its side file.
  void Unregister(int number, const std::filesystem::path& device) const;

 private:
  std::filesystem::path LinkPath(int number) const;
  std::filesystem::path OwnerPath(int number) const;
  // Replaces the link COM<number> by one to `target` in one step.
  bool Relink(int number, const std::filesystem::path& target) const;
  // Removes the links whose owner is gone.
  void RemoveOrphans() const;

  PortMapRoots roots_;
  std::shared_ptr<files::FileTree> files_;
};

// The same on the default roots, read from the environment at each call.
std::optional<std::filesystem::path> Resolve(std::string_view port_name);
bool IsRealTtyS(int k);
std::vector<Entry> List();
bool Register(int number, const std::filesystem::path& device, int owner = 0);
std::optional<int> RegisterLowestFree(const std::filesystem::path& device, int first = 1,
                                      int owner = 0);
bool Repoint(int number, const std::filesystem::path& from, const std::filesystem::path& to,
             int owner = 0);
void Unregister(int number, const std::filesystem::path& device);

}  // namespace veldoran::portmap
