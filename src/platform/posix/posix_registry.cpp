// The system registry and device-setup interface on POSIX systems.
//
// For now the registry lives in memory for the run of the program, with the serial-port map
// synthesized from the port map each time it is opened, and there is no device-setup interface
// (the scan then finds nothing, as on a system without SetupAPI).
#include <cctype>

#include "platform/device_setup_api.h"
#include "platform/memory_registry.h"
#include "platform/posix/port_map.h"

namespace veldoran::win {

namespace {

class NoDeviceSetup : public DeviceSetupApi {
 public:
  HMODULE LoadLibraryA(const char*) override { return Fail(); }
  FARPROC GetProcAddress(HMODULE, const char*) override { return Fail(); }
  BOOL FreeLibrary(HMODULE) override { return FALSE; }
  DWORD GetLastError() override { return ERROR_PROC_NOT_FOUND; }
  HDEVINFO SetupDiGetClassDevsA(const GUID*, const char*, HWND, DWORD) override {
    return InvalidHandle();
  }
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO) override { return FALSE; }
  BOOL SetupDiEnumDeviceInfo(HDEVINFO, DWORD, SP_DEVINFO_DATA*) override { return FALSE; }
  BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO, SP_DEVINFO_DATA*, DWORD, DWORD*, BYTE*, DWORD,
                                         DWORD*) override {
    return FALSE;
  }
  HKEY SetupDiOpenDevRegKey(HDEVINFO, SP_DEVINFO_DATA*, DWORD, DWORD, DWORD, REGSAM) override {
    return reinterpret_cast<HKEY>(InvalidHandle());
  }
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO, SP_DEVINFO_DATA*, const GUID*, DWORD,
                                   SP_DEVICE_INTERFACE_DATA*) override {
    return FALSE;
  }
  BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO, SP_DEVICE_INTERFACE_DATA*, void*, DWORD, DWORD*,
                                        SP_DEVINFO_DATA*) override {
    return FALSE;
  }
  BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO, SP_DEVINFO_DATA*, char*, DWORD, DWORD*) override {
    return FALSE;
  }
  CONFIGRET CM_Get_Device_ID_List_SizeA(ULONG*, const char*, ULONG) override { return CR_FAILURE; }
  CONFIGRET CM_Get_Device_ID_ListA(const char*, char*, ULONG, ULONG) override { return CR_FAILURE; }
  NTSTATUS ZwQueryKey(HKEY, DWORD, void*, ULONG, ULONG*) override {
    return STATUS_PROCEDURE_NOT_FOUND;
  }

 private:
  static std::nullptr_t Fail() { return nullptr; }
};

class PortMapRegistry : public MemoryRegistry {
 protected:
  void BeforeOpen(HKEY hive, const std::string& path) override {
    static constexpr char kSerialComm[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
    if (hive != HKEY_LOCAL_MACHINE || path.size() != sizeof kSerialComm - 1) return;
    for (std::size_t i = 0; i < path.size(); ++i) {
      if (std::toupper(static_cast<unsigned char>(path[i])) != kSerialComm[i]) return;
    }
    std::vector<Value> values;
    for (const portmap::Entry& entry : portmap::List()) {
      if (!entry.present) continue;
      const std::string name = "COM" + std::to_string(entry.number);
      values.push_back(
          Value{entry.device.string(), REG_SZ, std::string(name.c_str(), name.size() + 1)});
    }
    ReplaceValues(HKEY_LOCAL_MACHINE, kSerialComm, std::move(values));
  }
};

}  // namespace

std::shared_ptr<RegistryApi> SystemRegistryApi() {
  static const auto registry = std::make_shared<PortMapRegistry>();
  return registry;
}

std::shared_ptr<DeviceSetupApi> SystemDeviceSetupApi() {
  static const auto setup = std::make_shared<NoDeviceSetup>();
  return setup;
}

}  // namespace veldoran::win
