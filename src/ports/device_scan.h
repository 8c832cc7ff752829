// The device information scan: which devices of a setup class (or which interfaces of an
// interface class) the operating system's device-setup interface knows, with their driver,
// service, description, maker, hardware key and the port name in that key. The port
// enumeration matches these records to the serial-port map by port name.
//
// The device-setup functions are loaded at run time, so the program also runs where they are
// missing: then the scan finds nothing. They are loaded once per device-setup interface (the
// system's is one for the whole process) and stay loaded while it exists.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "platform/device_setup_api.h"
#include "platform/registry_api.h"
#include "ports/device_info.h"

namespace veldoran::ports {

// Interface classes.
inline constexpr win::GUID kModemInterfaceClass{
    0x2C7089AA, 0x2E0E, 0x11D1, {0xB1, 0x14, 0x00, 0xC0, 0x4F, 0xC2, 0xAA, 0xE4}};
inline constexpr win::GUID kComPortInterfaceClass{
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
inline constexpr win::GUID kSerialEnumeratorInterfaceClass{
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
// Setup classes.
inline constexpr win::GUID kPortsClass{
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
inline constexpr win::GUID kInfraredClass{
    0x6BDD1FC5, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};
inline constexpr win::GUID kAdapterClass{
    0x4D36E964, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
inline constexpr win::GUID kBluetoothClass{
    0xE0CBF06C, 0xCD8B, 0x4647, {0xBB, 0x8A, 0x26, 0x3B, 0x43, 0xF0, 0xF9, 0x74}};
inline constexpr win::GUID kModemClass{
    0x4D36E96D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
inline constexpr win::GUID kMultifunctionClass{
    0x4D36E971, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
inline constexpr win::GUID kMultiportSerialClass{
    0x50906CB8, 0xBA12, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
inline constexpr win::GUID kLegacyDriverClass{
    0x8ECC055D, 0x047F, 0x11D1, {0xA5, 0x37, 0x00, 0x00, 0xF8, 0x75, 0x3E, 0xD1}};
inline constexpr win::GUID kNoDriverClass{
    0x4D36E976, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// The buffer a device property is read into; a longer value reads as empty.
inline constexpr win::DWORD kPropertyBufferSize = 512;
// The buffer the instance identifier is read into, in characters.
inline constexpr win::DWORD kInstanceIdBufferSize = 256;

class DeviceScan {
 public:
  // `setup` null: no device-setup interface (nothing is ever found). Hardware keys are read
  // through `registry`, which must be the registry `setup` hands its keys out of.
  DeviceScan(std::shared_ptr<win::DeviceSetupApi> setup,
             std::shared_ptr<win::RegistryApi> registry);

  // Whether the device-setup functions are loaded (loading them if not yet done). A failed
  // load is tried again on the next call.
  bool LoadSetupApi();

  // Appends one record per device of the setup class `class_guid` (or, in interface mode, per
  // interface of that interface class); only present ones when `present_only`.
  void ScanDevices(const win::GUID& class_guid, bool present_only, bool interface_mode,
                   TspScanList& scan_list);

  // A device's registry property as text; empty when it cannot be read or is longer than
  // kPropertyBufferSize.
  std::string GetDeviceProperty(win::HDEVINFO set, win::SP_DEVINFO_DATA& devinfo,
                                win::DWORD property);
  // The key's path as the kernel names it, in the ANSI code page. With `hive`: a key of
  // HKEY_LOCAL_MACHINE or of the current user gives its path below that hive and the hive;
  // any other name is given whole, with a null hive.
  std::string GetKeyPath(win::HKEY key, win::HKEY* hive = nullptr);
  // A value's data as text (without its terminating NUL); empty when it cannot be read.
  std::string ReadRegString(win::HKEY root_key, const std::string& sub_key,
                            const std::string& value_name);
  // The identifiers of the devices on the device's bus (or of those removed with it), joined
  // by `separator`; empty on any failure.
  std::string GetDeviceIdList(const std::string& device_id, std::string_view separator,
                              bool bus_relations);

 private:
  void ScanDeviceInfo(win::HDEVINFO set, TspScanList& scan_list);
  void ScanInterfaces(win::HDEVINFO set, const win::GUID& class_guid, TspScanList& scan_list);
  void ReadProperties(win::HDEVINFO set, win::SP_DEVINFO_DATA& devinfo, TspDevice& record);

  std::shared_ptr<win::DeviceSetupApi> setup_;
  std::shared_ptr<win::RegistryApi> registry_;
};

// A multi-string buffer of `length` characters as one text: each NUL between the strings
// becomes `separator`; the NUL at length - 2 ends it, the last character is not looked at.
std::string MultiSzToText(const char* buffer, std::size_t length, std::string_view separator);

}  // namespace veldoran::ports
