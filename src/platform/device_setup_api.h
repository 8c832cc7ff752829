// The device-setup calls of port discovery, as one interface shaped like the Win32 functions of
// the same names: the loader (LoadLibraryA, GetProcAddress, FreeLibrary), the SetupAPI and
// configuration-manager functions the device scan calls, and ntdll's ZwQueryKey.
//
// The scan loads the modules and looks its entry points up by name itself, as a program that
// must also run where they are missing does. A call of a function whose entry point was not
// looked up in a loaded module fails (ERROR_PROC_NOT_FOUND, CR_FAILURE, or
// STATUS_PROCEDURE_NOT_FOUND).
//
// Keys returned by SetupDiOpenDevRegKey are keys of the registry seam the backend was made with:
// they are closed with its RegCloseKey, and ZwQueryKey names them.
//
// Backends: win32/ loads the real modules; posix/ answers from sysfs and the port map; the
// recording fake in fake/ scripts devices and logs every call.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/registry_api.h"
#include "platform/win_types.h"

namespace veldoran::win {

using ULONG = std::uint32_t;
using NTSTATUS = LONG;
using CONFIGRET = DWORD;
using HMODULE = void*;
using HWND = void*;
using HDEVINFO = void*;
using FARPROC = void (*)();

struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
  bool operator==(const GUID&) const = default;
};
static_assert(sizeof(GUID) == 16, "GUID must keep the Win32 layout");

struct SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
};

struct SP_DEVICE_INTERFACE_DATA {
  DWORD cbSize;
  GUID InterfaceClassGuid;
  DWORD Flags;
  ULONG_PTR Reserved;
};

// SP_DEVICE_INTERFACE_DETAIL_DATA_A: cbSize, then the device path as a NUL-terminated text
// starting 4 bytes into the block. Its cbSize is the structure's size with a one-character
// path: 5 on 32-bit Windows, 8 on 64-bit (where the structure is padded to pointer alignment).
inline constexpr DWORD kInterfaceDetailDataSize = sizeof(void*) == 8 ? 8 : 5;
inline constexpr DWORD kInterfaceDetailPathOffset = 4;

// SetupDiGetClassDevsA flags.
inline constexpr DWORD DIGCF_DEFAULT = 0x01;
inline constexpr DWORD DIGCF_PRESENT = 0x02;
inline constexpr DWORD DIGCF_ALLCLASSES = 0x04;
inline constexpr DWORD DIGCF_PROFILE = 0x08;
inline constexpr DWORD DIGCF_DEVICEINTERFACE = 0x10;

// SetupDiGetDeviceRegistryPropertyA properties.
inline constexpr DWORD SPDRP_DEVICEDESC = 0;
inline constexpr DWORD SPDRP_HARDWAREID = 1;
inline constexpr DWORD SPDRP_SERVICE = 4;
inline constexpr DWORD SPDRP_CLASS = 7;
inline constexpr DWORD SPDRP_DRIVER = 9;
inline constexpr DWORD SPDRP_MFG = 11;
inline constexpr DWORD SPDRP_FRIENDLYNAME = 12;
inline constexpr DWORD SPDRP_PHYSICAL_DEVICE_OBJECT_NAME = 14;

// SetupDiOpenDevRegKey arguments.
inline constexpr DWORD DICS_FLAG_GLOBAL = 1;
inline constexpr DWORD DIREG_DEV = 1;
inline constexpr DWORD DIREG_DRV = 2;

// Configuration manager.
inline constexpr CONFIGRET CR_SUCCESS = 0;
inline constexpr CONFIGRET CR_FAILURE = 0x13;
inline constexpr CONFIGRET CR_BUFFER_SMALL = 0x1A;
inline constexpr CONFIGRET CR_NO_SUCH_VALUE = 0x25;
inline constexpr ULONG CM_GETIDLIST_FILTER_REMOVALRELATIONS = 0x08;
inline constexpr ULONG CM_GETIDLIST_FILTER_BUSRELATIONS = 0x20;

// ntdll.
inline constexpr NTSTATUS STATUS_SUCCESS = 0;
inline constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = static_cast<NTSTATUS>(0x80000005u);
inline constexpr NTSTATUS STATUS_INVALID_HANDLE = static_cast<NTSTATUS>(0xC0000008u);
inline constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = static_cast<NTSTATUS>(0xC0000023u);
inline constexpr NTSTATUS STATUS_PROCEDURE_NOT_FOUND = static_cast<NTSTATUS>(0xC000007Au);
inline constexpr DWORD KeyNameInformation = 3;

inline constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
inline constexpr DWORD ERROR_INVALID_DATA = 13;

// Device-change broadcasts (WM_DEVICECHANGE).
inline constexpr std::uint32_t WM_DEVICECHANGE = 0x0219;
inline constexpr DWORD DBT_DEVNODES_CHANGED = 0x0007;
inline constexpr DWORD DBT_DEVICEARRIVAL = 0x8000;
inline constexpr DWORD DBT_DEVICEREMOVECOMPLETE = 0x8004;
inline constexpr DWORD DBT_DEVTYP_VOLUME = 0x0002;
inline constexpr DWORD DBT_DEVTYP_PORT = 0x0003;
inline constexpr DWORD DBT_DEVTYP_DEVICEINTERFACE = 0x0005;
struct DEV_BROADCAST_HDR {
  DWORD dbch_size;
  DWORD dbch_devicetype;
  DWORD dbch_reserved;
};

// The entry points, of those port discovery looks up, that the system's SetupAPI.dll and
// cfgmgr32.dll export; stand-ins for them (the POSIX backend, the tests' fake) export the same.
inline constexpr const char* kSetupApiExports[] = {
    "SetupDiGetClassDevsA",
    "SetupDiDestroyDeviceInfoList",
    "SetupDiEnumDeviceInfo",
    "SetupDiGetDeviceRegistryPropertyA",
    "SetupDiOpenDevRegKey",
    "SetupDiEnumDeviceInterfaces",
    "SetupDiGetDeviceInterfaceDetailA",
    "SetupDiCreateDeviceInfoList",
    "SetupDiCreateDeviceInfoA",
    "SetupDiGetINFClassA",
    "SetupDiSetDeviceRegistryPropertyA",
    "SetupDiCallClassInstaller",
    "SetupDiGetDeviceInstanceIdA",
    "SetupDiRemoveDevice",
    "SetupDiUnremoveDevice",
    "SetupDiOpenDeviceInfoA",
};
inline constexpr const char* kConfigManagerExports[] = {
    "CM_Locate_DevNodeA",     "CM_Get_DevNode_Registry_PropertyA",
    "CM_Get_Parent",          "CM_Get_Device_ID_List_SizeA",
    "CM_Get_Device_ID_ListA", "CM_Get_Child",
    "CM_Get_Sibling",         "CM_Request_Device_EjectA",
};

class DeviceSetupApi {
 public:
  virtual ~DeviceSetupApi() = default;

  // The loader. GetProcAddress answers whether the module exports the name (a non-null entry
  // point); the backend remembers it for the calls below.
  virtual HMODULE LoadLibraryA(const char* file_name) = 0;
  virtual FARPROC GetProcAddress(HMODULE module, const char* proc_name) = 0;
  virtual BOOL FreeLibrary(HMODULE module) = 0;
  virtual DWORD GetLastError() = 0;

  // SetupAPI.
  virtual HDEVINFO SetupDiGetClassDevsA(const GUID* class_guid, const char* enumerator, HWND parent,
                                        DWORD flags) = 0;
  virtual BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) = 0;
  virtual BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* devinfo) = 0;
  virtual BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* devinfo,
                                                 DWORD property, DWORD* type, BYTE* buffer,
                                                 DWORD buffer_size, DWORD* required_size) = 0;
  virtual HKEY SetupDiOpenDevRegKey(HDEVINFO set, SP_DEVINFO_DATA* devinfo, DWORD scope,
                                    DWORD hw_profile, DWORD key_type, REGSAM desired) = 0;
  virtual BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* devinfo,
                                           const GUID* interface_class, DWORD index,
                                           SP_DEVICE_INTERFACE_DATA* ifdata) = 0;
  // `detail` is a SP_DEVICE_INTERFACE_DETAIL_DATA_A block of `detail_size` bytes (or null).
  virtual BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* ifdata,
                                                void* detail, DWORD detail_size,
                                                DWORD* required_size, SP_DEVINFO_DATA* devinfo) = 0;
  virtual BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO set, SP_DEVINFO_DATA* devinfo, char* buffer,
                                           DWORD buffer_size, DWORD* required_size) = 0;

  // Configuration manager.
  virtual CONFIGRET CM_Get_Device_ID_List_SizeA(ULONG* length, const char* filter, ULONG flags) = 0;
  virtual CONFIGRET CM_Get_Device_ID_ListA(const char* filter, char* buffer, ULONG length,
                                           ULONG flags) = 0;

  // ntdll.
  virtual NTSTATUS ZwQueryKey(HKEY key, DWORD info_class, void* info, ULONG length,
                              ULONG* result_length) = 0;
};

// The device-setup interface of the platform the program runs on, sharing its keys with
// SystemRegistryApi().
std::shared_ptr<DeviceSetupApi> SystemDeviceSetupApi();

}  // namespace veldoran::win
