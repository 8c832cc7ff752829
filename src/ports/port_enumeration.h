// Port enumeration: the serial ports of the machine, from the registry's serial-port map
// (HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM: value name = kernel device, data = COM
// name), in ascending port-number order, and in the fuller modes with the description, maker,
// driver and hardware key the device scan found for each.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry_api.h"
#include "ports/device_info.h"
#include "ports/device_scan.h"

namespace veldoran::ports {

inline constexpr char kSerialCommKey[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
// The buffers each value of the map is read with, name and data.
inline constexpr win::DWORD kSerialCommBufferSize = 260;

// One port of the map.
struct TspPortEntry {
  std::string PortName;    // COM3
  std::string DeviceName;  // \Device\Serial2
  std::int32_t PortNo = 0;
};
// Kept in ascending port-number order; no two entries have the same port name.
using TspPortList = std::vector<TspPortEntry>;

// Inserts `entry` in number order, after the entries of the same number; an entry equal to it
// (port name and device name, without regard to case) is not added again.
void AddPortSorted(TspPortList& list, TspPortEntry entry);

// The number of a port name COM<n> as the map holds it (n from 1 to 65535), or -1 for a name
// whose rest is not such a number.
std::int32_t PortNumberOf(const std::string& port_name);

// Empties `list`, then walks the serial-port map into it: the first value naming a port wins;
// values that do not name a COM port, whose number is not a usable port number, or whose name
// or data is too long for the buffers are passed over, and the rest of the map is still read.
void EnumComPorts(win::RegistryApi& registry, TspPortList& list);

// The device list's records, in order: one per port of the map, captioned with its name (and
// in the full modes the description of its device in parentheses). In `epFullPresent` a port
// without a present device is left out, unless the scan found no device at all (no device-setup
// interface): then every port is listed, as in `epFullInfo`.
std::vector<std::unique_ptr<TspDevice>> EnumeratePorts(TspEnumPorts mode,
                                                       win::RegistryApi& registry,
                                                       DeviceScan& scan);

}  // namespace veldoran::ports
