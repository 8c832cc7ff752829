#include "platform/posix/posix_device_setup.h"

#include <algorithm>
#include <cstring>

#include "platform/cp1250.h"

namespace veldoran::win {

namespace {

thread_local DWORD tls_last_error = ERROR_SUCCESS;

template <typename T>
T Failed(DWORD error, T value) {
  tls_last_error = error;
  return value;
}

HDEVINFO InvalidSet() { return InvalidHandle(); }
HKEY InvalidKey() { return reinterpret_cast<HKEY>(InvalidHandle()); }

// What the modules export (ntdll: of what the scan looks up).
constexpr const char* kNtdllExports[] = {"ZwQueryKey", "NtQueryKey"};

// The entry point GetProcAddress hands out: the calls go through this interface, never through
// the pointer, which only says that the name is exported.
void ExportedEntryPoint() {}

bool Exports(int module, std::string_view name) {
  const auto has = [name](const auto& list) {
    return std::find(std::begin(list), std::end(list), name) != std::end(list);
  };
  switch (module) {
    case 1:
      return has(kSetupApiExports) || has(kConfigManagerExports);
    case 2:
      return has(kConfigManagerExports);
    case 3:
      return has(kNtdllExports);
    default:
      return false;
  }
}

// The module a file name stands for: "SetupAPI.dll", "setupapi", ...
int ModuleNamed(std::string_view file) {
  std::string name;
  for (char c : file) name += static_cast<char>((c >= 'A' && c <= 'Z') ? c + 32 : c);
  if (name.size() > 4 && name.substr(name.size() - 4) == ".dll") name.resize(name.size() - 4);
  if (name == "setupapi") return 1;
  if (name == "cfgmgr32") return 2;
  if (name == "ntdll") return 3;
  return 0;
}

HMODULE ModuleHandle(int module) {
  return reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x7A000000u + module * 0x10000u));
}

int ModuleOf(HMODULE handle) {
  for (int module = 1; module <= 3; ++module) {
    if (ModuleHandle(module) == handle) return module;
  }
  return 0;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto up = [](char c) { return (c >= 'a' && c <= 'z') ? char(c - 32) : c; };
           return up(x) == up(y);
         });
}

// A property's type and bytes; nothing when the device does not have it.
std::optional<std::pair<DWORD, std::string>> Property(const devnodes::DeviceNode& d,
                                                      DWORD property) {
  const auto text = [](const std::string& value) -> std::optional<std::pair<DWORD, std::string>> {
    if (value.empty()) return std::nullopt;
    return std::make_pair(REG_SZ, value + '\0');
  };
  switch (property) {
    case SPDRP_DEVICEDESC:
      return text(d.description);
    case SPDRP_HARDWAREID:
      return std::make_pair(REG_MULTI_SZ, d.hardware_ids);
    case SPDRP_SERVICE:
      return text(d.service);
    case SPDRP_CLASS:
      return text("Ports");
    case 8:  // SPDRP_CLASSGUID
      return text(devnodes::GuidText(devnodes::kPortsClass));
    case SPDRP_DRIVER:
      return text(d.driver_key);
    case SPDRP_MFG:
      return text(d.manufacturer);
    case SPDRP_FRIENDLYNAME:
      return text(d.friendly_name);
    case SPDRP_PHYSICAL_DEVICE_OBJECT_NAME:
      return text(d.device_object);
    case 22:  // SPDRP_ENUMERATOR_NAME
      return text(d.instance_id.substr(0, d.instance_id.find('\\')));
    default:
      return std::nullopt;
  }
}

constexpr DWORD kLastProperty = 0x25;  // SPDRP_MAXIMUM_PROPERTY
constexpr DWORD kSpintActive = 1;
constexpr DWORD kDicsFlagConfigSpecific = 2;
constexpr ULONG kFilterEnumerator = 0x01;
constexpr ULONG kFilterService = 0x02;
constexpr ULONG kFilterAll = 0x3FF;

}  // namespace

PosixDeviceSetup::PosixDeviceSetup(std::shared_ptr<PosixRegistry> registry)
    : registry_(std::move(registry)) {}

PosixDeviceSetup::~PosixDeviceSetup() = default;

DWORD PosixDeviceSetup::GetLastError() { return tls_last_error; }

// ---- The loader ----

HMODULE PosixDeviceSetup::LoadLibraryA(const char* file_name) {
  const int module = ModuleNamed(file_name ? file_name : "");
  if (module == 0) return Failed<HMODULE>(kErrorModNotFound, nullptr);
  std::lock_guard lock(mutex_);
  ++loaded_[module];
  return ModuleHandle(module);
}

FARPROC PosixDeviceSetup::GetProcAddress(HMODULE handle, const char* proc_name) {
  const int module = ModuleOf(handle);
  std::lock_guard lock(mutex_);
  if (module == 0 || loaded_[module] == 0) return Failed<FARPROC>(kErrorModNotFound, nullptr);
  if (!proc_name || !Exports(module, proc_name))
    return Failed<FARPROC>(ERROR_PROC_NOT_FOUND, nullptr);
  resolved_[module].insert(proc_name);
  return &ExportedEntryPoint;
}

BOOL PosixDeviceSetup::FreeLibrary(HMODULE handle) {
  const int module = ModuleOf(handle);
  std::lock_guard lock(mutex_);
  if (module == 0 || loaded_[module] == 0) return Failed<BOOL>(kErrorModNotFound, FALSE);
  if (--loaded_[module] == 0) resolved_.erase(module);
  return TRUE;
}

bool PosixDeviceSetup::Callable(const char* name) {
  std::lock_guard lock(mutex_);
  for (const auto& [module, names] : resolved_) {
    if (loaded_[module] > 0 && names.count(name)) return true;
  }
  return Failed<bool>(ERROR_PROC_NOT_FOUND, false);
}

// ---- Device-information sets ----

PosixDeviceSetup::Set* PosixDeviceSetup::FindSet(HDEVINFO set) {
  const auto found = sets_.find(reinterpret_cast<std::uintptr_t>(set));
  return found == sets_.end() ? nullptr : &found->second;
}

HDEVINFO PosixDeviceSetup::SetupDiGetClassDevsA(const GUID* class_guid, const char* enumerator,
                                                HWND, DWORD flags) {
  if (!Callable("SetupDiGetClassDevsA")) return InvalidSet();
  const bool all_classes = (flags & DIGCF_ALLCLASSES) != 0;
  if (!all_classes && !class_guid) return Failed(ERROR_INVALID_PARAMETER, InvalidSet());
  const bool interfaces = (flags & DIGCF_DEVICEINTERFACE) != 0;
  const bool listed = all_classes || *class_guid == (interfaces ? devnodes::kComPortInterface
                                                                : devnodes::kPortsClass);

  Set result;
  if (listed) {
    const std::string prefix = enumerator ? enumerator : "";
    auto nodes = devnodes::Nodes(portmap::PortMap(registry_->Roots()).Take());
    registry_->RefreshDeviceKeys(nodes);  // the hardware keys of what is listed now
    for (devnodes::DeviceNode& node : nodes) {
      if ((flags & DIGCF_PRESENT) && !node.present) continue;
      if (!prefix.empty()) {
        // An enumerator names a bus; in interface mode it may name one device.
        const std::string bus = node.instance_id.substr(0, node.instance_id.find('\\'));
        if (!EqualsIgnoreCase(bus, prefix) && !EqualsIgnoreCase(node.instance_id, prefix)) continue;
      }
      result.devices.push_back(std::move(node));
    }
  }
  std::lock_guard lock(mutex_);
  const std::uintptr_t handle = next_set_;
  next_set_ += 4;
  sets_[handle] = std::move(result);
  tls_last_error = ERROR_SUCCESS;
  return reinterpret_cast<HDEVINFO>(handle);
}

BOOL PosixDeviceSetup::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  if (!Callable("SetupDiDestroyDeviceInfoList")) return FALSE;
  std::lock_guard lock(mutex_);
  if (sets_.erase(reinterpret_cast<std::uintptr_t>(set)) == 0)
    return Failed<BOOL>(ERROR_INVALID_HANDLE, FALSE);
  return TRUE;
}

int PosixDeviceSetup::OpenSets() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(sets_.size());
}

BOOL PosixDeviceSetup::SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* devinfo) {
  if (!Callable("SetupDiEnumDeviceInfo")) return FALSE;
  std::lock_guard lock(mutex_);
  Set* s = FindSet(set);
  if (!s) return Failed<BOOL>(ERROR_INVALID_HANDLE, FALSE);
  if (!devinfo) return Failed<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
  if (devinfo->cbSize != sizeof(SP_DEVINFO_DATA))
    return Failed<BOOL>(kErrorInvalidUserBuffer, FALSE);
  if (index >= s->devices.size()) return Failed<BOOL>(ERROR_NO_MORE_ITEMS, FALSE);
  devinfo->ClassGuid = devnodes::kPortsClass;
  devinfo->DevInst = s->devices[index].dev_inst;
  devinfo->Reserved = index + 1;
  return TRUE;
}

const devnodes::DeviceNode* PosixDeviceSetup::Device(HDEVINFO set, const SP_DEVINFO_DATA* devinfo) {
  // mutex_ held by the caller.
  Set* s = FindSet(set);
  if (!s) return Failed<const devnodes::DeviceNode*>(ERROR_INVALID_HANDLE, nullptr);
  if (!devinfo) return Failed<const devnodes::DeviceNode*>(ERROR_INVALID_PARAMETER, nullptr);
  if (devinfo->cbSize != sizeof(SP_DEVINFO_DATA))
    return Failed<const devnodes::DeviceNode*>(kErrorInvalidUserBuffer, nullptr);
  const ULONG_PTR index = devinfo->Reserved;
  if (index < 1 || index > s->devices.size() || s->devices[index - 1].dev_inst != devinfo->DevInst)
    return Failed<const devnodes::DeviceNode*>(ERROR_INVALID_PARAMETER, nullptr);
  return &s->devices[index - 1];
}

BOOL PosixDeviceSetup::SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* devinfo,
                                                         DWORD property, DWORD* type, BYTE* buffer,
                                                         DWORD buffer_size, DWORD* required_size) {
  if (!Callable("SetupDiGetDeviceRegistryPropertyA")) return FALSE;
  std::lock_guard lock(mutex_);
  const devnodes::DeviceNode* device = Device(set, devinfo);
  if (!device) return FALSE;
  if (property >= kLastProperty) return Failed<BOOL>(kErrorInvalidRegProperty, FALSE);
  if (!buffer && buffer_size > 0) return Failed<BOOL>(kErrorInvalidUserBuffer, FALSE);
  const auto value = Property(*device, property);
  if (!value) return Failed<BOOL>(ERROR_INVALID_DATA, FALSE);
  const auto size = static_cast<DWORD>(value->second.size());
  if (required_size) *required_size = size;
  if (type) *type = value->first;
  if (buffer_size < size) return Failed<BOOL>(ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::memcpy(buffer, value->second.data(), size);
  return TRUE;
}

HKEY PosixDeviceSetup::SetupDiOpenDevRegKey(HDEVINFO set, SP_DEVINFO_DATA* devinfo, DWORD scope,
                                            DWORD, DWORD key_type, REGSAM desired) {
  if (!Callable("SetupDiOpenDevRegKey")) return InvalidKey();
  std::string path;
  {
    std::lock_guard lock(mutex_);
    const devnodes::DeviceNode* device = Device(set, devinfo);
    if (!device) return InvalidKey();
    if ((scope != DICS_FLAG_GLOBAL && scope != kDicsFlagConfigSpecific) ||
        (key_type != DIREG_DEV && key_type != DIREG_DRV))
      return Failed(kErrorInvalidFlags, InvalidKey());
    // Only the hardware key exists: no driver keys, no hardware profiles.
    if (scope != DICS_FLAG_GLOBAL || key_type != DIREG_DEV)
      return Failed(kErrorKeyDoesNotExist, InvalidKey());
    path = devnodes::HardwareKey(*device);
  }
  HKEY key = nullptr;
  const LSTATUS status =
      registry_->RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, desired, &key);
  if (status == ERROR_FILE_NOT_FOUND) return Failed(kErrorKeyDoesNotExist, InvalidKey());
  if (status != ERROR_SUCCESS) return Failed(static_cast<DWORD>(status), InvalidKey());
  tls_last_error = ERROR_SUCCESS;
  return key;
}

// ---- Interfaces ----

BOOL PosixDeviceSetup::SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* devinfo,
                                                   const GUID* interface_class, DWORD index,
                                                   SP_DEVICE_INTERFACE_DATA* ifdata) {
  if (!Callable("SetupDiEnumDeviceInterfaces")) return FALSE;
  std::lock_guard lock(mutex_);
  Set* s = FindSet(set);
  if (!s) return Failed<BOOL>(ERROR_INVALID_HANDLE, FALSE);
  if (!interface_class || !ifdata) return Failed<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
  if (ifdata->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
    return Failed<BOOL>(kErrorInvalidUserBuffer, FALSE);
  // Each device has one interface, of the COM-port class.
  std::vector<std::size_t> owners;
  if (devinfo) {
    const devnodes::DeviceNode* device = Device(set, devinfo);
    if (!device) return FALSE;
    owners.push_back(static_cast<std::size_t>(device - s->devices.data()));
  } else {
    for (std::size_t i = 0; i < s->devices.size(); ++i) owners.push_back(i);
  }
  if (!(*interface_class == devnodes::kComPortInterface) || index >= owners.size())
    return Failed<BOOL>(ERROR_NO_MORE_ITEMS, FALSE);
  const devnodes::DeviceNode& device = s->devices[owners[index]];
  ifdata->InterfaceClassGuid = devnodes::kComPortInterface;
  ifdata->Flags = device.present ? kSpintActive : 0;
  ifdata->Reserved = owners[index] + 1;
  return TRUE;
}

BOOL PosixDeviceSetup::SetupDiGetDeviceInterfaceDetailA(HDEVINFO set,
                                                        SP_DEVICE_INTERFACE_DATA* ifdata,
                                                        void* detail, DWORD detail_size,
                                                        DWORD* required_size,
                                                        SP_DEVINFO_DATA* devinfo) {
  if (!Callable("SetupDiGetDeviceInterfaceDetailA")) return FALSE;
  std::lock_guard lock(mutex_);
  Set* s = FindSet(set);
  if (!s) return Failed<BOOL>(ERROR_INVALID_HANDLE, FALSE);
  if (!ifdata) return Failed<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
  if (ifdata->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
    return Failed<BOOL>(kErrorInvalidUserBuffer, FALSE);
  const ULONG_PTR index = ifdata->Reserved;
  if (index < 1 || index > s->devices.size()) return Failed<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
  if (devinfo && devinfo->cbSize != sizeof(SP_DEVINFO_DATA))
    return Failed<BOOL>(kErrorInvalidUserBuffer, FALSE);
  if (!detail && detail_size > 0) return Failed<BOOL>(kErrorInvalidUserBuffer, FALSE);
  DWORD block_size = 0;
  if (detail) {
    if (detail_size < sizeof block_size) return Failed<BOOL>(kErrorInvalidUserBuffer, FALSE);
    std::memcpy(&block_size, detail, sizeof block_size);
    if (block_size != kInterfaceDetailDataSize) return Failed<BOOL>(kErrorInvalidUserBuffer, FALSE);
  }
  const devnodes::DeviceNode& device = s->devices[index - 1];
  if (devinfo) {
    devinfo->ClassGuid = devnodes::kPortsClass;
    devinfo->DevInst = device.dev_inst;
    devinfo->Reserved = index;
  }
  const auto needed =
      static_cast<DWORD>(kInterfaceDetailPathOffset + device.interface_path.size() + 1);
  if (required_size) *required_size = needed;
  if (detail_size < needed) return Failed<BOOL>(ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::memcpy(static_cast<char*>(detail) + kInterfaceDetailPathOffset,
              device.interface_path.c_str(), device.interface_path.size() + 1);
  return TRUE;
}

BOOL PosixDeviceSetup::SetupDiGetDeviceInstanceIdA(HDEVINFO set, SP_DEVINFO_DATA* devinfo,
                                                   char* buffer, DWORD buffer_size,
                                                   DWORD* required_size) {
  if (!Callable("SetupDiGetDeviceInstanceIdA")) return FALSE;
  std::lock_guard lock(mutex_);
  const devnodes::DeviceNode* device = Device(set, devinfo);
  if (!device) return FALSE;
  if (!buffer && buffer_size > 0) return Failed<BOOL>(kErrorInvalidUserBuffer, FALSE);
  const auto needed = static_cast<DWORD>(device->instance_id.size() + 1);
  if (required_size) *required_size = needed;
  if (buffer_size < needed) return Failed<BOOL>(ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::memcpy(buffer, device->instance_id.c_str(), needed);
  return TRUE;
}

// ---- Configuration manager ----

CONFIGRET PosixDeviceSetup::IdList(const char* filter, ULONG flags, std::string* list) {
  if (flags & ~kFilterAll) return kCrInvalidFlag;
  if (flags != 0 && !filter) return kCrInvalidPointer;
  const auto nodes = devnodes::Nodes(portmap::PortMap(registry_->Roots()).Take());
  list->clear();
  if (flags == 0 || flags == kFilterEnumerator || flags == kFilterService) {
    for (const auto& node : nodes) {
      const bool wanted =
          flags == 0 ||
          (flags == kFilterEnumerator &&
           EqualsIgnoreCase(node.instance_id.substr(0, node.instance_id.find('\\')), filter)) ||
          (flags == kFilterService && EqualsIgnoreCase(node.service, filter));
      if (wanted) *list += node.instance_id + '\0';
    }
  } else {
    // Relations (bus, removal, ejection, ...): a serial port has none. The device must exist.
    const bool known = std::any_of(nodes.begin(), nodes.end(), [filter](const auto& node) {
      return EqualsIgnoreCase(node.instance_id, filter);
    });
    if (!known) return kCrInvalidDeviceId;
  }
  *list += '\0';
  return CR_SUCCESS;
}

CONFIGRET PosixDeviceSetup::CM_Get_Device_ID_List_SizeA(ULONG* length, const char* filter,
                                                        ULONG flags) {
  if (!Callable("CM_Get_Device_ID_List_SizeA")) return CR_FAILURE;
  if (!length) return kCrInvalidPointer;
  std::string list;
  const CONFIGRET status = IdList(filter, flags, &list);
  *length = status == CR_SUCCESS ? static_cast<ULONG>(list.size()) : 0;
  return status;
}

CONFIGRET PosixDeviceSetup::CM_Get_Device_ID_ListA(const char* filter, char* buffer, ULONG length,
                                                   ULONG flags) {
  if (!Callable("CM_Get_Device_ID_ListA")) return CR_FAILURE;
  if (!buffer || length == 0) return kCrInvalidPointer;
  std::string list;
  const CONFIGRET status = IdList(filter, flags, &list);
  if (status != CR_SUCCESS) return status;
  if (list.size() > length) return CR_BUFFER_SMALL;
  std::memset(buffer, 0, length);
  std::memcpy(buffer, list.data(), list.size());
  return CR_SUCCESS;
}

// ---- ntdll ----

NTSTATUS PosixDeviceSetup::ZwQueryKey(HKEY key, DWORD info_class, void* info, ULONG length,
                                      ULONG* result_length) {
  if (!Callable("ZwQueryKey")) return STATUS_PROCEDURE_NOT_FOUND;
  if (info_class != KeyNameInformation) return kStatusInvalidInfoClass;
  if (!result_length || (!info && length > 0)) return kStatusInvalidParameter;
  const auto name = registry_->KernelName(key);
  if (!name) return STATUS_INVALID_HANDLE;
  // KEY_NAME_INFORMATION: the name's length in bytes, then the name in UTF-16, no NUL.
  const std::u16string wide = cp1250::Decode(*name);
  const auto name_bytes = static_cast<ULONG>(wide.size() * sizeof(char16_t));
  *result_length = sizeof(ULONG) + name_bytes;
  if (length < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(info, &name_bytes, sizeof name_bytes);
  const ULONG room = (length - sizeof(ULONG)) / sizeof(char16_t) * sizeof(char16_t);
  std::memcpy(static_cast<char*>(info) + sizeof(ULONG), wide.data(), std::min(room, name_bytes));
  return room < name_bytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

std::shared_ptr<PosixDeviceSetup> SystemPosixDeviceSetup() {
  static const auto setup = std::make_shared<PosixDeviceSetup>(SystemPosixRegistry());
  return setup;
}

std::shared_ptr<DeviceSetupApi> SystemDeviceSetupApi() { return SystemPosixDeviceSetup(); }

}  // namespace veldoran::win
