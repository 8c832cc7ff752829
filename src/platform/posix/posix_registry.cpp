// The system registry and device-setup interface on POSIX systems.
//
// For now the registry lives in memory for the run of the program, and there is no device-setup
// interface (the scan then finds nothing, as on a system without SetupAPI).
#include "platform/device_setup_api.h"
#include "platform/memory_registry.h"

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

}  // namespace

std::shared_ptr<RegistryApi> SystemRegistryApi() {
  static const auto registry = std::make_shared<MemoryRegistry>();
  return registry;
}

std::shared_ptr<DeviceSetupApi> SystemDeviceSetupApi() {
  static const auto setup = std::make_shared<NoDeviceSetup>();
  return setup;
}

}  // namespace veldoran::win
