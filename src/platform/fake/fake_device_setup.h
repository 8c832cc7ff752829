// A scripted device-setup interface for tests, recording every call.
//
// A test says which modules exist and what each exports (SetupAPI.dll with or without the
// configuration-manager functions, cfgmgr32.dll, ntdll.dll with ZwQueryKey), and which devices
// the machine has: their setup class, whether they are present, their properties, their
// hardware key (a key of the shared MemoryRegistry, so its values are set there), instance
// identifier, device-ID lists and device interfaces. Every call is logged with its arguments,
// in order, so a test can check what was called, with what, and when.
//
// It behaves as Windows does where a caller can go wrong: a function can only be called after
// its entry point was looked up in a module that is still loaded; structures whose cbSize is not
// the platform's size are refused (ERROR_INVALID_USER_BUFFER); buffers that are too small give
// ERROR_INSUFFICIENT_BUFFER with the size needed; device-information sets must be destroyed.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/device_setup_api.h"
#include "platform/memory_registry.h"

namespace veldoran::win {

inline constexpr DWORD ERROR_INVALID_USER_BUFFER = 1784;
inline constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
inline constexpr CONFIGRET CR_INVALID_DEVICE_ID = 0x1E;

// "{4D36E978-E325-11CE-BFC1-08002BE10318}".
std::string GuidText(const GUID& guid);

// A text property or registry string as Windows stores it: the text and its NUL.
inline std::string SzBytes(std::string_view text) { return std::string(text) + '\0'; }
// A multi-string: each text with its NUL, then one more NUL.
std::string MultiSzBytes(const std::vector<std::string>& texts);

struct FakeDeviceInterface {
  GUID interface_class{};
  std::string path;  // the device path the detail call gives
  // The detail call fails as it does for an interface removed meanwhile (no size is given).
  bool detail_fails = false;
};

struct FakeDevice {
  GUID setup_class{};
  bool present = true;
  // Registry properties (SPDRP_*) with their bytes as stored (texts with their NUL).
  std::map<DWORD, std::string> properties;
  // The device's hardware key, below HKEY_LOCAL_MACHINE in the shared registry; none: the
  // device has no hardware key.
  std::optional<std::string> hardware_key;
  std::string instance_id;
  // Device-ID lists (multi-string bytes) for the bus and removal relations filters.
  std::string bus_relations;
  std::string removal_relations;
  std::vector<FakeDeviceInterface> interfaces;
};

class FakeDeviceSetup : public DeviceSetupApi {
 public:
  // Keys of the devices' hardware keys are opened in `registry`.
  explicit FakeDeviceSetup(std::shared_ptr<MemoryRegistry> registry);
  ~FakeDeviceSetup() override;

  // ---- Modules ----
  // The entry points the device scan looks up, in SetupAPI and in the configuration manager.
  static const std::vector<std::string>& SetupApiExports();
  static const std::vector<std::string>& ConfigManagerExports();
  // A module the loader finds, with the names it exports (replacing one of the same name).
  void AddModule(std::string name, std::vector<std::string> exports);
  void RemoveModule(std::string_view name);
  void RemoveExport(std::string_view module, std::string_view name);
  // SetupAPI.dll with every SetupAPI entry point, and the configuration-manager ones too when
  // `cm_in_setupapi` (otherwise they are in cfgmgr32.dll); ntdll.dll with ZwQueryKey.
  void InstallModules(bool cm_in_setupapi = true);
  // How often a module is loaded now (LoadLibraryA calls less FreeLibrary calls).
  int LoadCount(std::string_view module) const;

  // ---- Devices ----
  // Adds a device; returns its device-node handle (DevInst).
  DWORD AddDevice(FakeDevice device);
  FakeDevice& Device(DWORD dev_inst);
  // ZwQueryKey reports `name` for a key whose kernel name is `kernel_name` (to script names
  // the registry would not make).
  void RenameKernelKey(std::string kernel_name, std::u16string name);

  // ---- Recording and faults ----
  // One line per call, in call order, with its arguments, e.g.
  //   LoadLibraryA SetupAPI.dll
  //   GetProcAddress SetupAPI.dll SetupDiGetClassDevsA
  //   SetupDiGetClassDevsA {4D36E978-E325-11CE-BFC1-08002BE10318} enumerator=- parent=- flags=0x2
  //   SetupDiEnumDeviceInfo set=1 index=0 cbSize=32
  //   SetupDiGetDeviceRegistryPropertyA set=1 dev=1 property=9 buffer=512
  //   SetupDiOpenDevRegKey set=1 dev=1 scope=1 profile=0 type=1 sam=0x1
  //   SetupDiGetDeviceInstanceIdA set=1 dev=1 buffer=256
  //   SetupDiEnumDeviceInterfaces set=1 dev=- class={...} index=0 cbSize=32
  //   SetupDiGetDeviceInterfaceDetailA set=1 dev=2 detail=- size=0 devinfo=32
  //   SetupDiGetDeviceInterfaceDetailA set=1 dev=2 detail=8 size=40 devinfo=32
  //   CM_Get_Device_ID_List_SizeA filter=USB\X flags=0x20
  //   CM_Get_Device_ID_ListA filter=USB\X length=12 flags=0x20
  //   ZwQueryKey key=\REGISTRY\MACHINE\SYSTEM\X class=3 length=0
  //   SetupDiDestroyDeviceInfoList set=1
  //   FreeLibrary SetupAPI.dll
  // Sets are numbered from 1 in the order they were made; "dev" is the device's DevInst,
  // "detail" the cbSize found in the detail block (- for none), "key" the key's kernel name.
  // GetLastError is not logged.
  std::vector<std::string> Calls() const;
  // The calls whose line starts with `prefix`.
  std::vector<std::string> CallsOf(std::string_view prefix) const;
  void ClearCalls();
  // The next `times` calls of the function named `call` fail with `error` (a Win32 error, a
  // CONFIGRET or an NTSTATUS, as the function returns), without any effect.
  void FailCalls(std::string call, DWORD error, int times = 1);
  // Device-information sets made and not yet destroyed.
  int OpenSets() const;

  // ---- DeviceSetupApi ----
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

 private:
  struct Module {
    std::string name;
    std::set<std::string> exports;
    bool present = true;  // removed modules keep their handle but cannot be loaded
    int loads = 0;
  };
  struct Set {
    int number = 0;
    bool interfaces = false;
    GUID guid{};
    std::vector<DWORD> devices;  // DevInst of each device in the set
    // For an interface set: (DevInst, interface index) of each interface of the class.
    std::vector<std::pair<DWORD, std::size_t>> items;
  };

  Module* FindModule(std::string_view name);  // caller holds mutex_
  Module* ModuleOf(HMODULE handle);           // caller holds mutex_
  HMODULE HandleOf(const Module& module) const;
  // Whether `proc` was looked up in a module that is still loaded; sets the last error if not.
  bool Callable(const std::string& proc);                  // caller holds mutex_
  bool ShouldFail(const std::string& call, DWORD* error);  // caller holds mutex_
  Set* FindSet(HDEVINFO set);                              // caller holds mutex_
  // The device of `devinfo` in `set`, or null (with the last error set).
  FakeDevice* DeviceIn(Set& set, const SP_DEVINFO_DATA* devinfo);  // caller holds mutex_
  FakeDevice* DeviceById(std::string_view instance_id);            // caller holds mutex_
  static std::string Text(const char* text);

  mutable std::mutex mutex_;
  const std::shared_ptr<MemoryRegistry> registry_;
  std::vector<std::unique_ptr<Module>> modules_;   // handles stay valid while the fake lives
  std::map<std::string, const Module*> resolved_;  // entry point -> module it was found in
  std::vector<FakeDevice> devices_;                // DevInst = index + 1
  std::map<std::uintptr_t, Set> sets_;
  std::uintptr_t next_set_ = 0x7000;
  int sets_made_ = 0;
  std::map<std::string, std::u16string> kernel_renames_;
  DWORD last_error_ = 0;
  std::vector<std::string> calls_;
  std::map<std::string, std::pair<DWORD, int>> failures_;
};

}  // namespace veldoran::win
