// The device-setup interface on POSIX systems, answered from sysfs and the port map.
//
// Modules: "SetupAPI.dll" (which exports the configuration-manager functions too, so
// "cfgmgr32.dll" is not needed, though it loads) and "ntdll.dll" with ZwQueryKey; names match
// without regard to case, with or without ".dll". Loading counts references; a module freed as
// often as it was loaded forgets the entry points looked up in it.
//
// Classes: the Ports setup class lists the serial devices (device_nodes.h), as does the COM-port
// interface class in interface mode (DIGCF_DEVICEINTERFACE), one interface per device;
// DIGCF_ALLCLASSES lists them too, any other class is an empty list. DIGCF_PRESENT keeps the
// devices whose device node exists now. An enumerator ("USB", "PNP", ...) keeps those whose
// instance id begins with it.
//
// Properties (SetupDiGetDeviceRegistryPropertyA): SPDRP_DEVICEDESC, SPDRP_HARDWAREID,
// SPDRP_SERVICE, SPDRP_CLASS, SPDRP_CLASSGUID, SPDRP_DRIVER, SPDRP_MFG, SPDRP_FRIENDLYNAME,
// SPDRP_PHYSICAL_DEVICE_OBJECT_NAME and SPDRP_ENUMERATOR_NAME; one a device does not have is
// ERROR_INVALID_DATA. The hardware key (SetupDiOpenDevRegKey, DICS_FLAG_GLOBAL, DIREG_DEV) is a
// key of the registry the backend was made with, which ZwQueryKey names
// (\REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Enum\<id>\Device Parameters). Device-ID lists
// hold every device's id (no filter), those of one enumerator or service, and no relations.
//
// Buffers follow Win32: the size needed is reported with ERROR_INSUFFICIENT_BUFFER
// (CR_BUFFER_SMALL, STATUS_BUFFER_TOO_SMALL / STATUS_BUFFER_OVERFLOW for ZwQueryKey); the cbSize of
// SP_DEVINFO_DATA and SP_DEVICE_INTERFACE_DATA must be the structure's size, that of an
// interface detail block kInterfaceDetailDataSize, else ERROR_INVALID_USER_BUFFER.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/device_setup_api.h"
#include "platform/posix/device_nodes.h"
#include "platform/posix/posix_registry.h"

namespace veldoran::win {

class PosixDeviceSetup : public DeviceSetupApi {
 public:
  // Codes beyond those of device_setup_api.h.
  static constexpr DWORD kErrorModNotFound = 126;              // ERROR_MOD_NOT_FOUND
  static constexpr DWORD kErrorInvalidFlags = 1004;            // ERROR_INVALID_FLAGS
  static constexpr DWORD kErrorInvalidUserBuffer = 1784;       // ERROR_INVALID_USER_BUFFER
  static constexpr DWORD kErrorKeyDoesNotExist = 0xE0000204u;  // ERROR_KEY_DOES_NOT_EXIST
  static constexpr DWORD kErrorInvalidRegProperty = 0xE0000209u;
  static constexpr CONFIGRET kCrInvalidPointer = 0x03;
  static constexpr CONFIGRET kCrInvalidFlag = 0x04;
  static constexpr CONFIGRET kCrInvalidDeviceId = 0x1E;
  static constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000Du);
  static constexpr NTSTATUS kStatusInvalidInfoClass = static_cast<NTSTATUS>(0xC0000003u);

  explicit PosixDeviceSetup(std::shared_ptr<PosixRegistry> registry);
  ~PosixDeviceSetup() override;

  HMODULE LoadLibraryA(const char* file_name) override;
  FARPROC GetProcAddress(HMODULE module, const char* proc_name) override;
  BOOL FreeLibrary(HMODULE module) override;
  DWORD GetLastError() override;

  HDEVINFO SetupDiGetClassDevsA(const GUID* class_guid, const char* enumerator, HWND parent,
                                DWORD flags) override;
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override;
  BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* devinfo) override;
  BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* devinfo, DWORD property,
                                         DWORD* type, BYTE* buffer, DWORD buffer_size,
                                         DWORD* required_size) override;
  HKEY SetupDiOpenDevRegKey(HDEVINFO set, SP_DEVINFO_DATA* devinfo, DWORD scope, DWORD hw_profile,
                            DWORD key_type, REGSAM desired) override;
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* devinfo,
                                   const GUID* interface_class, DWORD index,
                                   SP_DEVICE_INTERFACE_DATA* ifdata) override;
  BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* ifdata,
                                        void* detail, DWORD detail_size, DWORD* required_size,
                                        SP_DEVINFO_DATA* devinfo) override;
  BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO set, SP_DEVINFO_DATA* devinfo, char* buffer,
                                   DWORD buffer_size, DWORD* required_size) override;
  CONFIGRET CM_Get_Device_ID_List_SizeA(ULONG* length, const char* filter, ULONG flags) override;
  CONFIGRET CM_Get_Device_ID_ListA(const char* filter, char* buffer, ULONG length,
                                   ULONG flags) override;
  NTSTATUS ZwQueryKey(HKEY key, DWORD info_class, void* info, ULONG length,
                      ULONG* result_length) override;

  // Device-information sets not yet destroyed.
  int OpenSets() const;

 private:
  struct Set {
    std::vector<devnodes::DeviceNode> devices;
  };
  enum Module { kSetupApi = 1, kCfgMgr = 2, kNtdll = 3 };

  // Whether the entry point was looked up in a module that is loaded (the last error is set
  // when not).
  bool Callable(const char* name);
  // The set and the device a SP_DEVINFO_DATA names, or null (the last error set).
  const devnodes::DeviceNode* Device(HDEVINFO set, const SP_DEVINFO_DATA* devinfo);
  Set* FindSet(HDEVINFO set);  // mutex_ held
  // The device-ID list a CM_Get_Device_ID_List call asks for.
  CONFIGRET IdList(const char* filter, ULONG flags, std::string* list);

  std::shared_ptr<PosixRegistry> registry_;
  mutable std::mutex mutex_;
  std::map<int, int> loaded_;                      // module -> references
  std::map<int, std::set<std::string>> resolved_;  // module -> entry points looked up
  std::map<std::uintptr_t, Set> sets_;
  std::uintptr_t next_set_ = 0x7D00;
};

// The device-setup interface SystemDeviceSetupApi() hands out, sharing SystemPosixRegistry().
std::shared_ptr<PosixDeviceSetup> SystemPosixDeviceSetup();

}  // namespace veldoran::win
