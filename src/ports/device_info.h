// The record of one serial port (or of one scanned device), how a port component builds its
// device list, and the items a picker copies from it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/win_types.h"

namespace veldoran::serial {
class TspBaseIO;
}

namespace veldoran::ports {

// One serial port of a component's device list, or one device found by the device scan.
struct TspDevice {
  std::int32_t Index = 0;              // position in its owner's device list
  serial::TspBaseIO* Owner = nullptr;  // the component whose list holds it
  std::int32_t PortNo = 0;             // 3 for COM3
  std::string Caption;                 // what a picker shows
  std::string DeviceName;              // kernel device name (\Device\Serial0)
  std::string PortName;                // COM3
  std::string SymbolicName;            // scan records: "SymbolicName" or the interface path
  std::string RegistryKey;             // hardware key, below HKEY_LOCAL_MACHINE
  std::string Description;
  std::string Service;
  std::string Driver;
  std::string InstanceId;   // scan records only
  std::string Children;     // scan records only: bus relations, ";"-separated
  std::string PnPPortName;  // "PortName" of the hardware key: the matching key
  std::string Manufacturer;
  win::DWORD DevInst = 0;  // scan records only
};

// How a port component builds its device list.
enum TspEnumPorts : std::uint8_t {
  epQuickAll,     // the serial-port map only
  epFullInfo,     // the map, with descriptions from a scan of all installed devices
  epFullPresent,  // the map, with a scan of present devices; ports without a device left out
};

// An entry of a picker: the text the record had when it was listed, and the record for as long
// as the list that owns it has not been cleared (the list owns its records; a picker never keeps
// one alive or uses one that is gone).
struct TspDeviceItem {
  std::string text;
  std::weak_ptr<const TspDevice> record;
};
using TspDeviceItems = std::vector<TspDeviceItem>;

// Records the scan makes, with the text each is listed under (its Driver), in scan order.
struct TspScanItem {
  std::string text;
  std::unique_ptr<TspDevice> record;
};
using TspScanList = std::vector<TspScanItem>;

}  // namespace veldoran::ports
