// The serial devices of the port map as Windows' device manager would show them: one device node
// per port, with the instance id, properties and hardware-key values the device-setup functions
// hand out. The POSIX device-setup backend lists them, and the POSIX registry synthesizes their
// hardware keys (HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\<instance id>) from them.
#pragma once

#include <string>
#include <vector>

#include "platform/device_setup_api.h"
#include "platform/posix/port_map.h"

namespace veldoran::win::devnodes {

// The Ports setup class, and the COM-port device-interface class.
inline constexpr GUID kPortsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
inline constexpr GUID kComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

// Where the hardware keys live, below HKEY_LOCAL_MACHINE.
inline constexpr char kEnumKey[] = "SYSTEM\\CurrentControlSet\\Enum";

struct DeviceNode {
  std::string instance_id;     // USB\VID_0403&PID_6001\A12345
  std::string description;     // the USB product string, else the driver's name
  std::string manufacturer;    // the USB manufacturer string
  std::string service;         // the kernel driver: ftdi_sio, cdc_acm, serial, ...
  std::string driver_key;      // {4d36e978-e325-11ce-bfc1-08002be10318}\0000
  std::string device_object;   // the device node's path: /dev/ttyUSB0
  std::string hardware_ids;    // REG_MULTI_SZ: each id with its NUL, then the closing NUL
  std::string friendly_name;   // FT232R USB UART (COM3)
  std::string port_name;       // COM3; empty when the device has no number
  std::string symbolic_name;   // \??\USB#VID_0403&PID_6001#A12345#{86e0d1e0-...}
  std::string interface_path;  // \\?\usb#vid_0403&pid_6001#a12345#{86e0d1e0-...}
  bool present = false;        // its device node exists now
  DWORD dev_inst = 0;          // device-node handle, from 1 up
};

// One node per sysfs serial device of the survey (numbered or not), and one per map entry with
// no sysfs device behind it (a pseudo-terminal, a dangling link): ordered by port number, nodes
// without a number last.
std::vector<DeviceNode> Nodes(const portmap::Survey& survey);

// The hardware key of a node below HKEY_LOCAL_MACHINE: Enum\<instance id>\Device Parameters.
std::string HardwareKey(const DeviceNode& node);

// "{4d36e978-e325-11ce-bfc1-08002be10318}"
std::string GuidText(const GUID& guid);

}  // namespace veldoran::win::devnodes
