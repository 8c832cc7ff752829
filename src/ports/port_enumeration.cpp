#include "ports/port_enumeration.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "platform/cp1250.h"

namespace veldoran::ports {

using win::DWORD;

namespace {

struct ClassScan {
  const win::GUID* guid;
  bool interface_mode;
};

// The scans of the full modes, in order: three interface classes, then nine setup classes.
constexpr ClassScan kScans[] = {
    {&kModemInterfaceClass, true},
    {&kComPortInterfaceClass, true},
    {&kSerialEnumeratorInterfaceClass, true},
    {&kPortsClass, false},
    {&kInfraredClass, false},
    {&kAdapterClass, false},
    {&kBluetoothClass, false},
    {&kModemClass, false},
    {&kMultifunctionClass, false},
    {&kMultiportSerialClass, false},
    {&kLegacyDriverClass, false},
    {&kNoDriverClass, false},
};

bool SameText(const std::string& a, const std::string& b) { return cp1250::EqualsIgnoreCase(a, b); }

}  // namespace

void AddPortSorted(TspPortList& list, TspPortEntry entry) {
  for (const TspPortEntry& listed : list) {
    if (SameText(listed.PortName, entry.PortName) && SameText(listed.DeviceName, entry.DeviceName))
      return;
  }
  const auto greater = std::find_if(list.begin(), list.end(), [&](const TspPortEntry& listed) {
    return listed.PortNo > entry.PortNo;
  });
  list.insert(greater, std::move(entry));
}

std::int32_t PortNumberOf(const std::string& port_name) {
  if (port_name.size() <= 3) return -1;
  const char* first = port_name.data() + 3;
  const char* last = port_name.data() + port_name.size();
  if (*first == '+') ++first;  // a sign is allowed; a negative number is no port anyway
  std::int32_t number = 0;
  const auto [end, error] = std::from_chars(first, last, number);
  if (error != std::errc() || end != last || number < 1 || number > 0xFFFF) return -1;
  return number;
}

void EnumComPorts(win::RegistryApi& registry, TspPortList& list) {
  list.clear();
  win::HKEY key = nullptr;
  if (registry.RegOpenKeyExA(win::HKEY_LOCAL_MACHINE, kSerialCommKey, 0, win::KEY_QUERY_VALUE,
                             &key) != static_cast<win::LSTATUS>(win::ERROR_SUCCESS)) {
    return;
  }
  for (DWORD index = 0;; ++index) {
    char name[kSerialCommBufferSize];
    win::BYTE data[kSerialCommBufferSize];
    DWORD name_chars = sizeof name;
    DWORD data_bytes = sizeof data;
    const win::LSTATUS status =
        registry.RegEnumValueA(key, index, name, &name_chars, nullptr, data, &data_bytes);
    // A value too long for the buffers cannot name a port; the values after it still can.
    if (status == static_cast<win::LSTATUS>(win::ERROR_MORE_DATA)) continue;
    if (status != static_cast<win::LSTATUS>(win::ERROR_SUCCESS)) break;

    const std::size_t data_size = std::min<std::size_t>(data_bytes, sizeof data);
    std::string port_name(reinterpret_cast<const char*>(data),
                          strnlen(reinterpret_cast<const char*>(data), data_size));
    for (char& c : port_name) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - ('a' - 'A'));
    }
    if (port_name.compare(0, 3, "COM") != 0) continue;
    const bool listed = std::any_of(list.begin(), list.end(), [&](const TspPortEntry& entry) {
      return SameText(entry.PortName, port_name);
    });
    if (listed) continue;
    // A name such as "COMX" or "COM0" is no port that can be opened: it is passed over rather
    // than ending the walk, so the ports after it are still listed.
    const std::int32_t number = PortNumberOf(port_name);
    if (number < 0) continue;
    AddPortSorted(
        list, TspPortEntry{
                  std::move(port_name),
                  std::string(name, strnlen(name, std::min<std::size_t>(name_chars, sizeof name))),
                  number});
  }
  registry.RegCloseKey(key);
}

std::vector<std::unique_ptr<TspDevice>> EnumeratePorts(TspEnumPorts mode,
                                                       win::RegistryApi& registry,
                                                       DeviceScan& scan) {
  const bool present_only = mode == epFullPresent;
  TspScanList scan_list;
  if (mode != epQuickAll) {
    for (const ClassScan& item : kScans) {
      scan.ScanDevices(*item.guid, present_only, item.interface_mode, scan_list);
    }
  }
  // Without any device found (no device-setup interface, or a system that has none for its
  // ports) every port of the map is listed, whatever the mode.
  const bool scan_found_any = !scan_list.empty();

  TspPortList ports;
  EnumComPorts(registry, ports);

  std::vector<std::unique_ptr<TspDevice>> records;
  for (TspPortEntry& port : ports) {
    auto record = std::make_unique<TspDevice>();
    record->Caption = port.PortName;
    record->PortName = port.PortName;
    record->DeviceName = port.DeviceName;
    record->PortNo = port.PortNo;
    bool matched = false;
    if (mode != epQuickAll) {
      const auto found = std::find_if(
          scan_list.begin(), scan_list.end(),
          [&](const TspScanItem& s) { return SameText(s.record->PnPPortName, port.PortName); });
      if (found != scan_list.end()) {
        const TspDevice& device = *found->record;
        record->Service = device.Service;
        record->Description = device.Description;
        if (!record->Description.empty()) {
          record->Caption += " (" + record->Description + ")";
        }
        record->Driver = device.Driver;
        record->Manufacturer = device.Manufacturer;
        record->PnPPortName = device.PnPPortName;
        record->RegistryKey = device.RegistryKey;
        scan_list.erase(found);  // a device is matched to one port at most
        matched = true;
      }
    }
    if (present_only && scan_found_any && !matched) continue;
    records.push_back(std::move(record));
  }
  return records;
}

}  // namespace veldoran::ports
