// The device-setup seam on Windows: the real loader, and the SetupAPI, configuration-manager
// and ntdll functions called through the entry points the caller looked up with
// GetProcAddress. Nothing here links SetupAPI: a system without it (or without one of its
// functions) makes the lookup fail, and a call whose entry point was not found fails with
// ERROR_PROC_NOT_FOUND (CR_FAILURE, STATUS_PROCEDURE_NOT_FOUND) instead of crashing.

#include <map>
#include <mutex>
#include <string>

#include "platform/device_setup_api.h"

// After our headers, whose Win32 names <windows.h> would turn into macros.
// clang-format off
#include <windows.h>
// clang-format on

namespace veldoran::win {

namespace {

static_assert(sizeof(SP_DEVINFO_DATA) == (sizeof(void*) == 8 ? 32 : 28) &&
                  sizeof(SP_DEVICE_INTERFACE_DATA) == (sizeof(void*) == 8 ? 32 : 28),
              "SetupAPI structures must keep the Win32 layout");

// The entry points, as the system declares them (ANSI, WINAPI).
using GetClassDevsFn = void*(WINAPI*)(const GUID*, const char*, void*, ::DWORD);
using DestroyListFn = ::BOOL(WINAPI*)(void*);
using EnumDeviceInfoFn = ::BOOL(WINAPI*)(void*, ::DWORD, SP_DEVINFO_DATA*);
using GetRegistryPropertyFn = ::BOOL(WINAPI*)(void*, SP_DEVINFO_DATA*, ::DWORD, ::DWORD*, BYTE*,
                                              ::DWORD, ::DWORD*);
using OpenDevRegKeyFn = ::HKEY(WINAPI*)(void*, SP_DEVINFO_DATA*, ::DWORD, ::DWORD, ::DWORD,
                                        ::REGSAM);
using EnumInterfacesFn = ::BOOL(WINAPI*)(void*, SP_DEVINFO_DATA*, const GUID*, ::DWORD,
                                         SP_DEVICE_INTERFACE_DATA*);
using GetInterfaceDetailFn = ::BOOL(WINAPI*)(void*, SP_DEVICE_INTERFACE_DATA*, void*, ::DWORD,
                                             ::DWORD*, SP_DEVINFO_DATA*);
using GetInstanceIdFn = ::BOOL(WINAPI*)(void*, SP_DEVINFO_DATA*, char*, ::DWORD, ::DWORD*);
using IdListSizeFn = ::DWORD(WINAPI*)(::ULONG*, const char*, ::ULONG);
using IdListFn = ::DWORD(WINAPI*)(const char*, char*, ::ULONG, ::ULONG);
using QueryKeyFn = ::LONG(WINAPI*)(::HANDLE, ::DWORD, void*, ::ULONG, ::ULONG*);

::DWORD* Word(DWORD* p) { return reinterpret_cast<::DWORD*>(p); }
::ULONG* Long(ULONG* p) { return reinterpret_cast<::ULONG*>(p); }

class Win32DeviceSetupApi : public DeviceSetupApi {
 public:
  HMODULE LoadLibraryA(const char* file_name) override { return ::LoadLibraryA(file_name); }

  FARPROC GetProcAddress(HMODULE module, const char* proc_name) override {
    const auto found = reinterpret_cast<FARPROC>(
        reinterpret_cast<void*>(::GetProcAddress(static_cast<::HMODULE>(module), proc_name)));
    if (found && proc_name) {
      std::lock_guard lock(mutex_);
      entries_[proc_name] = Entry{module, found};
    }
    return found;
  }

  BOOL FreeLibrary(HMODULE module) override {
    {
      std::lock_guard lock(mutex_);
      for (auto it = entries_.begin(); it != entries_.end();) {
        it = it->second.module == module ? entries_.erase(it) : std::next(it);
      }
    }
    return ::FreeLibrary(static_cast<::HMODULE>(module));
  }

  DWORD GetLastError() override { return ::GetLastError(); }

  HDEVINFO SetupDiGetClassDevsA(const GUID* class_guid, const char* enumerator, HWND parent,
                                DWORD flags) override {
    const auto fn = Proc<GetClassDevsFn>("SetupDiGetClassDevsA");
    if (!fn) return NotFound<HDEVINFO>(InvalidHandle());
    return fn(class_guid, enumerator, parent, flags);
  }
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override {
    const auto fn = Proc<DestroyListFn>("SetupDiDestroyDeviceInfoList");
    return fn ? fn(set) : NotFound<BOOL>(0);
  }
  BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* devinfo) override {
    const auto fn = Proc<EnumDeviceInfoFn>("SetupDiEnumDeviceInfo");
    return fn ? fn(set, index, devinfo) : NotFound<BOOL>(0);
  }
  BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* devinfo, DWORD property,
                                         DWORD* type, BYTE* buffer, DWORD buffer_size,
                                         DWORD* required_size) override {
    const auto fn = Proc<GetRegistryPropertyFn>("SetupDiGetDeviceRegistryPropertyA");
    if (!fn) return NotFound<BOOL>(0);
    return fn(set, devinfo, property, Word(type), buffer, buffer_size, Word(required_size));
  }
  HKEY SetupDiOpenDevRegKey(HDEVINFO set, SP_DEVINFO_DATA* devinfo, DWORD scope, DWORD hw_profile,
                            DWORD key_type, REGSAM desired) override {
    const auto fn = Proc<OpenDevRegKeyFn>("SetupDiOpenDevRegKey");
    if (!fn) return NotFound<HKEY>(reinterpret_cast<HKEY>(InvalidHandle()));
    return reinterpret_cast<HKEY>(fn(set, devinfo, scope, hw_profile, key_type, desired));
  }
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* devinfo,
                                   const GUID* interface_class, DWORD index,
                                   SP_DEVICE_INTERFACE_DATA* ifdata) override {
    const auto fn = Proc<EnumInterfacesFn>("SetupDiEnumDeviceInterfaces");
    return fn ? fn(set, devinfo, interface_class, index, ifdata) : NotFound<BOOL>(0);
  }
  BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* ifdata,
                                        void* detail, DWORD detail_size, DWORD* required_size,
                                        SP_DEVINFO_DATA* devinfo) override {
    const auto fn = Proc<GetInterfaceDetailFn>("SetupDiGetDeviceInterfaceDetailA");
    if (!fn) return NotFound<BOOL>(0);
    return fn(set, ifdata, detail, detail_size, Word(required_size), devinfo);
  }
  BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO set, SP_DEVINFO_DATA* devinfo, char* buffer,
                                   DWORD buffer_size, DWORD* required_size) override {
    const auto fn = Proc<GetInstanceIdFn>("SetupDiGetDeviceInstanceIdA");
    return fn ? fn(set, devinfo, buffer, buffer_size, Word(required_size)) : NotFound<BOOL>(0);
  }

  CONFIGRET CM_Get_Device_ID_List_SizeA(ULONG* length, const char* filter, ULONG flags) override {
    const auto fn = Proc<IdListSizeFn>("CM_Get_Device_ID_List_SizeA");
    return fn ? fn(Long(length), filter, flags) : NotFound<CONFIGRET>(CR_FAILURE);
  }
  CONFIGRET CM_Get_Device_ID_ListA(const char* filter, char* buffer, ULONG length,
                                   ULONG flags) override {
    const auto fn = Proc<IdListFn>("CM_Get_Device_ID_ListA");
    return fn ? fn(filter, buffer, length, flags) : NotFound<CONFIGRET>(CR_FAILURE);
  }

  NTSTATUS ZwQueryKey(HKEY key, DWORD info_class, void* info, ULONG length,
                      ULONG* result_length) override {
    const auto fn = Proc<QueryKeyFn>("ZwQueryKey");
    if (!fn) return NotFound<NTSTATUS>(STATUS_PROCEDURE_NOT_FOUND);
    return fn(key, info_class, info, length, Long(result_length));
  }

 private:
  struct Entry {
    HMODULE module = nullptr;
    FARPROC proc = nullptr;
  };

  // The entry point looked up under `name`, as a function of type Fn; null when not found.
  template <class Fn>
  Fn Proc(const char* name) {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(name);
    return it == entries_.end() ? nullptr
                                : reinterpret_cast<Fn>(reinterpret_cast<void*>(it->second.proc));
  }

  template <class T>
  static T NotFound(T result) {
    ::SetLastError(127);  // ERROR_PROC_NOT_FOUND
    return result;
  }

  std::mutex mutex_;
  std::map<std::string, Entry, std::less<>> entries_;
};

}  // namespace

std::shared_ptr<DeviceSetupApi> SystemDeviceSetupApi() {
  static const std::shared_ptr<DeviceSetupApi> setup = std::make_shared<Win32DeviceSetupApi>();
  return setup;
}

}  // namespace veldoran::win
