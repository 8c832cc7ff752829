#include "platform/fake/fake_device_setup.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/cp1250.h"

namespace veldoran::win {
namespace {

constexpr DWORD ERROR_NOT_FOUND = 1168;

void EntryPoint() {}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
  return text;
}

// An interface's place in the fake: its device and its position in the device's list.
ULONG_PTR InterfaceTag(DWORD dev_inst, std::size_t index) {
  return (static_cast<ULONG_PTR>(dev_inst) << 16) | (index + 1);
}

}  // namespace

std::string GuidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                guid.Data4[6], guid.Data4[7]);
  return text;
}

std::string MultiSzBytes(const std::vector<std::string>& texts) {
  std::string out;
  for (const std::string& text : texts) out += text + '\0';
  return out + '\0';
}

FakeDeviceSetup::FakeDeviceSetup(std::shared_ptr<MemoryRegistry> registry)
    : registry_(std::move(registry)) {}

FakeDeviceSetup::~FakeDeviceSetup() = default;

// ---- modules ----

const std::vector<std::string>& FakeDeviceSetup::SetupApiExports() {
  static const std::vector<std::string> names(std::begin(kSetupApiExports),
                                              std::end(kSetupApiExports));
  return names;
}

const std::vector<std::string>& FakeDeviceSetup::ConfigManagerExports() {
  static const std::vector<std::string> names(std::begin(kConfigManagerExports),
                                              std::end(kConfigManagerExports));
  return names;
}

void FakeDeviceSetup::AddModule(std::string name, std::vector<std::string> exports) {
  std::lock_guard lock(mutex_);
  Module* module = FindModule(name);
  if (!module) {
    modules_.push_back(std::make_unique<Module>());
    module = modules_.back().get();
    module->name = std::move(name);
  }
  module->present = true;
  module->exports = std::set<std::string>(exports.begin(), exports.end());
}

void FakeDeviceSetup::RemoveModule(std::string_view name) {
  std::lock_guard lock(mutex_);
  if (Module* module = FindModule(name)) {
    module->present = false;
    module->exports.clear();
  }
}

void FakeDeviceSetup::RemoveExport(std::string_view module_name, std::string_view name) {
  std::lock_guard lock(mutex_);
  if (Module* module = FindModule(module_name)) module->exports.erase(std::string(name));
}

void FakeDeviceSetup::InstallModules(bool cm_in_setupapi) {
  std::vector<std::string> setupapi = SetupApiExports();
  if (cm_in_setupapi) {
    setupapi.insert(setupapi.end(), ConfigManagerExports().begin(), ConfigManagerExports().end());
  }
  AddModule("SetupAPI.dll", setupapi);
  AddModule("cfgmgr32.dll", ConfigManagerExports());
  AddModule("ntdll.dll", {"ZwQueryKey"});
}

int FakeDeviceSetup::LoadCount(std::string_view name) const {
  std::lock_guard lock(mutex_);
  for (const auto& module : modules_) {
    if (SameName(module->name, name)) return module->loads;
  }
  return 0;
}

FakeDeviceSetup::Module* FakeDeviceSetup::FindModule(std::string_view name) {
  for (const auto& module : modules_) {
    if (SameName(module->name, name)) return module.get();
  }
  return nullptr;
}

FakeDeviceSetup::Module* FakeDeviceSetup::ModuleOf(HMODULE handle) {
  for (const auto& module : modules_) {
    if (HandleOf(*module) == handle) return module.get();
  }
  return nullptr;
}

HMODULE FakeDeviceSetup::HandleOf(const Module& module) const {
  return const_cast<Module*>(&module);
}

bool FakeDeviceSetup::Callable(const std::string& proc) {
  const auto found = resolved_.find(proc);
  if (found != resolved_.end() && found->second->present && found->second->loads > 0) return true;
  last_error_ = ERROR_PROC_NOT_FOUND;
  return false;
}

HMODULE FakeDeviceSetup::LoadLibraryA(const char* file_name) {
  std::lock_guard lock(mutex_);
  calls_.push_back("LoadLibraryA " + Text(file_name));
  DWORD error = 0;
  if (ShouldFail("LoadLibraryA", &error)) {
    last_error_ = error;
    return nullptr;
  }
  Module* module = file_name ? FindModule(file_name) : nullptr;
  if (!module || !module->present) {
    last_error_ = ERROR_MOD_NOT_FOUND;
    return nullptr;
  }
  ++module->loads;
  return HandleOf(*module);
}

FARPROC FakeDeviceSetup::GetProcAddress(HMODULE handle, const char* proc_name) {
  std::lock_guard lock(mutex_);
  Module* module = ModuleOf(handle);
  const std::string name = Text(proc_name);
  calls_.push_back("GetProcAddress " + (module ? module->name : std::string("?")) + " " + name);
  if (!module || module->loads == 0) {
    last_error_ = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if (module->exports.count(name) == 0) {
    last_error_ = ERROR_PROC_NOT_FOUND;
    return nullptr;
  }
  resolved_[name] = module;
  return &EntryPoint;
}

BOOL FakeDeviceSetup::FreeLibrary(HMODULE handle) {
  std::lock_guard lock(mutex_);
  Module* module = ModuleOf(handle);
  calls_.push_back("FreeLibrary " + (module ? module->name : std::string("?")));
  if (!module || module->loads == 0) {
    last_error_ = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  --module->loads;
  return TRUE;
}

DWORD FakeDeviceSetup::GetLastError() {
  std::lock_guard lock(mutex_);
  return last_error_;
}

// ---- devices ----

DWORD FakeDeviceSetup::AddDevice(FakeDevice device) {
  std::lock_guard lock(mutex_);
  devices_.push_back(std::move(device));
  return static_cast<DWORD>(devices_.size());
}

FakeDevice& FakeDeviceSetup::Device(DWORD dev_inst) {
  std::lock_guard lock(mutex_);
  return devices_.at(dev_inst - 1);
}

void FakeDeviceSetup::RenameKernelKey(std::string kernel_name, std::u16string name) {
  std::lock_guard lock(mutex_);
  kernel_renames_[std::move(kernel_name)] = std::move(name);
}

FakeDeviceSetup::Set* FakeDeviceSetup::FindSet(HDEVINFO set) {
  const auto found = sets_.find(reinterpret_cast<std::uintptr_t>(set));
  if (found == sets_.end()) {
    last_error_ = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  return &found->second;
}

FakeDevice* FakeDeviceSetup::DeviceIn(Set& set, const SP_DEVINFO_DATA* devinfo) {
  if (!devinfo || devinfo->cbSize != sizeof(SP_DEVINFO_DATA)) {
    last_error_ = ERROR_INVALID_USER_BUFFER;
    return nullptr;
  }
  if (std::find(set.devices.begin(), set.devices.end(), devinfo->DevInst) == set.devices.end()) {
    last_error_ = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  return &devices_[devinfo->DevInst - 1];
}

FakeDevice* FakeDeviceSetup::DeviceById(std::string_view instance_id) {
  for (FakeDevice& device : devices_) {
    if (!device.instance_id.empty() && SameName(device.instance_id, instance_id)) return &device;
  }
  return nullptr;
}

std::string FakeDeviceSetup::Text(const char* text) { return text ? std::string(text) : "-"; }

// ---- recording and faults ----

std::vector<std::string> FakeDeviceSetup::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<std::string> FakeDeviceSetup::CallsOf(std::string_view prefix) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const std::string& call : calls_) {
    if (call.compare(0, prefix.size(), prefix) == 0) out.push_back(call);
  }
  return out;
}

void FakeDeviceSetup::ClearCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

void FakeDeviceSetup::FailCalls(std::string call, DWORD error, int times) {
  std::lock_guard lock(mutex_);
  failures_[std::move(call)] = {error, times};
}

bool FakeDeviceSetup::ShouldFail(const std::string& call, DWORD* error) {
  const auto found = failures_.find(call);
  if (found == failures_.end() || found->second.second == 0) return false;
  *error = found->second.first;
  if (found->second.second > 0) --found->second.second;
  return true;
}

int FakeDeviceSetup::OpenSets() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(sets_.size());
}

// ---- SetupAPI ----

HDEVINFO FakeDeviceSetup::SetupDiGetClassDevsA(const GUID* class_guid, const char* enumerator,
                                               HWND parent, DWORD flags) {
  std::lock_guard lock(mutex_);
  calls_.push_back("SetupDiGetClassDevsA " + (class_guid ? GuidText(*class_guid) : "-") +
                   " enumerator=" + Text(enumerator) + " parent=" + (parent ? "window" : "-") +
                   " flags=" + Hex(flags));
  DWORD error = 0;
  if (!Callable("SetupDiGetClassDevsA")) return InvalidHandle();
  if (ShouldFail("SetupDiGetClassDevsA", &error)) {
    last_error_ = error;
    return InvalidHandle();
  }
  if (!class_guid) {
    last_error_ = ERROR_INVALID_PARAMETER;
    return InvalidHandle();
  }
  Set set;
  set.number = ++sets_made_;
  set.interfaces = (flags & DIGCF_DEVICEINTERFACE) != 0;
  set.guid = *class_guid;
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    const FakeDevice& device = devices_[i];
    if ((flags & DIGCF_PRESENT) && !device.present) continue;
    const DWORD dev_inst = static_cast<DWORD>(i + 1);
    if (!set.interfaces) {
      if (device.setup_class == *class_guid) set.devices.push_back(dev_inst);
      continue;
    }
    bool listed = false;
    for (std::size_t k = 0; k < device.interfaces.size(); ++k) {
      if (!(device.interfaces[k].interface_class == *class_guid)) continue;
      set.items.emplace_back(dev_inst, k);
      if (!listed) set.devices.push_back(dev_inst);
      listed = true;
    }
  }
  const std::uintptr_t handle = next_set_;
  next_set_ += 4;
  sets_[handle] = std::move(set);
  return reinterpret_cast<HDEVINFO>(handle);
}

BOOL FakeDeviceSetup::SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
  std::lock_guard lock(mutex_);
  Set* set = FindSet(handle);
  calls_.push_back("SetupDiDestroyDeviceInfoList set=" +
                   (set ? std::to_string(set->number) : std::string("?")));
  if (!Callable("SetupDiDestroyDeviceInfoList") || !set) return FALSE;
  sets_.erase(reinterpret_cast<std::uintptr_t>(handle));
  return TRUE;
}

BOOL FakeDeviceSetup::SetupDiEnumDeviceInfo(HDEVINFO handle, DWORD index,
                                            SP_DEVINFO_DATA* devinfo) {
  std::lock_guard lock(mutex_);
  Set* set = FindSet(handle);
  calls_.push_back(
      "SetupDiEnumDeviceInfo set=" + (set ? std::to_string(set->number) : std::string("?")) +
      " index=" + std::to_string(index) +
      " cbSize=" + (devinfo ? std::to_string(devinfo->cbSize) : std::string("-")));
  DWORD error = 0;
  if (!Callable("SetupDiEnumDeviceInfo")) return FALSE;
  if (ShouldFail("SetupDiEnumDeviceInfo", &error)) {
    last_error_ = error;
    return FALSE;
  }
  if (!set) return FALSE;
  if (!devinfo || devinfo->cbSize != sizeof(SP_DEVINFO_DATA)) {
    last_error_ = ERROR_INVALID_USER_BUFFER;
    return FALSE;
  }
  if (index >= set->devices.size()) {
    last_error_ = ERROR_NO_MORE_ITEMS;
    return FALSE;
  }
  const DWORD dev_inst = set->devices[index];
  devinfo->ClassGuid = devices_[dev_inst - 1].setup_class;
  devinfo->DevInst = dev_inst;
  devinfo->Reserved = 0;
  return TRUE;
}

BOOL FakeDeviceSetup::SetupDiGetDeviceRegistryPropertyA(HDEVINFO handle, SP_DEVINFO_DATA* devinfo,
                                                        DWORD property, DWORD* type, BYTE* buffer,
                                                        DWORD buffer_size, DWORD* required_size) {
  std::lock_guard lock(mutex_);
  Set* set = FindSet(handle);
  calls_.push_back("SetupDiGetDeviceRegistryPropertyA set=" +
                   (set ? std::to_string(set->number) : std::string("?")) +
                   " dev=" + (devinfo ? std::to_string(devinfo->DevInst) : std::string("-")) +
                   " property=" + std::to_string(property) +
                   " buffer=" + std::to_string(buffer ? buffer_size : 0));
  DWORD error = 0;
  if (!Callable("SetupDiGetDeviceRegistryPropertyA")) return FALSE;
  if (ShouldFail("SetupDiGetDeviceRegistryPropertyA", &error)) {
    last_error_ = error;
    return FALSE;
  }
  if (!set) return FALSE;
  FakeDevice* device = DeviceIn(*set, devinfo);
  if (!device) return FALSE;
  const auto found = device->properties.find(property);
  if (found == device->properties.end()) {
    last_error_ = ERROR_INVALID_DATA;
    return FALSE;
  }
  const std::string& data = found->second;
  if (type) *type = REG_SZ;
  if (required_size) *required_size = static_cast<DWORD>(data.size());
  if (!buffer || buffer_size < data.size()) {
    last_error_ = ERROR_INSUFFICIENT_BUFFER;
    return FALSE;
  }
  std::memcpy(buffer, data.data(), data.size());
  return TRUE;
}

HKEY FakeDeviceSetup::SetupDiOpenDevRegKey(HDEVINFO handle, SP_DEVINFO_DATA* devinfo, DWORD scope,
                                           DWORD hw_profile, DWORD key_type, REGSAM desired) {
  const HKEY invalid = reinterpret_cast<HKEY>(InvalidHandle());
  std::string path;
  {
    std::lock_guard lock(mutex_);
    Set* set = FindSet(handle);
    calls_.push_back(
        "SetupDiOpenDevRegKey set=" + (set ? std::to_string(set->number) : std::string("?")) +
        " dev=" + (devinfo ? std::to_string(devinfo->DevInst) : std::string("-")) +
        " scope=" + std::to_string(scope) + " profile=" + std::to_string(hw_profile) +
        " type=" + std::to_string(key_type) + " sam=" + Hex(desired));
    DWORD error = 0;
    if (!Callable("SetupDiOpenDevRegKey")) return invalid;
    if (ShouldFail("SetupDiOpenDevRegKey", &error)) {
      last_error_ = error;
      return invalid;
    }
    if (!set) return invalid;
    FakeDevice* device = DeviceIn(*set, devinfo);
    if (!device) return invalid;
    if (key_type != DIREG_DEV || !device->hardware_key) {
      last_error_ = ERROR_FILE_NOT_FOUND;
      return invalid;
    }
    path = *device->hardware_key;
  }
  HKEY key = nullptr;
  const LSTATUS status =
      registry_->RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, desired, &key);
  std::lock_guard lock(mutex_);
  if (status != static_cast<LSTATUS>(ERROR_SUCCESS)) {
    last_error_ = static_cast<DWORD>(status);
    return invalid;
  }
  return key;
}

BOOL FakeDeviceSetup::SetupDiEnumDeviceInterfaces(HDEVINFO handle, SP_DEVINFO_DATA* devinfo,
                                                  const GUID* interface_class, DWORD index,
                                                  SP_DEVICE_INTERFACE_DATA* ifdata) {
  std::lock_guard lock(mutex_);
  Set* set = FindSet(handle);
  calls_.push_back(
      "SetupDiEnumDeviceInterfaces set=" + (set ? std::to_string(set->number) : std::string("?")) +
      " dev=" + (devinfo ? std::to_string(devinfo->DevInst) : std::string("-")) +
      " class=" + (interface_class ? GuidText(*interface_class) : std::string("-")) +
      " index=" + std::to_string(index) +
      " cbSize=" + (ifdata ? std::to_string(ifdata->cbSize) : std::string("-")));
  DWORD error = 0;
  if (!Callable("SetupDiEnumDeviceInterfaces")) return FALSE;
  if (ShouldFail("SetupDiEnumDeviceInterfaces", &error)) {
    last_error_ = error;
    return FALSE;
  }
  if (!set) return FALSE;
  if (!interface_class || !ifdata || ifdata->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    last_error_ = ifdata && interface_class ? ERROR_INVALID_USER_BUFFER : ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  std::vector<std::pair<DWORD, std::size_t>> matching;
  for (const DWORD dev_inst : set->devices) {
    if (devinfo && devinfo->DevInst != dev_inst) continue;
    const FakeDevice& device = devices_[dev_inst - 1];
    for (std::size_t k = 0; k < device.interfaces.size(); ++k) {
      if (device.interfaces[k].interface_class == *interface_class)
        matching.emplace_back(dev_inst, k);
    }
  }
  if (index >= matching.size()) {
    last_error_ = ERROR_NO_MORE_ITEMS;
    return FALSE;
  }
  ifdata->InterfaceClassGuid = *interface_class;
  ifdata->Flags = 1;  // SPINT_ACTIVE
  ifdata->Reserved = InterfaceTag(matching[index].first, matching[index].second);
  return TRUE;
}

BOOL FakeDeviceSetup::SetupDiGetDeviceInterfaceDetailA(HDEVINFO handle,
                                                       SP_DEVICE_INTERFACE_DATA* ifdata,
                                                       void* detail, DWORD detail_size,
                                                       DWORD* required_size,
                                                       SP_DEVINFO_DATA* devinfo) {
  std::lock_guard lock(mutex_);
  Set* set = FindSet(handle);
  const DWORD dev_inst = ifdata ? static_cast<DWORD>(ifdata->Reserved >> 16) : 0;
  std::string detail_cb = "-";
  if (detail && detail_size >= sizeof(DWORD)) {
    DWORD cb = 0;
    std::memcpy(&cb, detail, sizeof cb);
    detail_cb = std::to_string(cb);
  }
  calls_.push_back("SetupDiGetDeviceInterfaceDetailA set=" +
                   (set ? std::to_string(set->number) : std::string("?")) +
                   " dev=" + std::to_string(dev_inst) + " detail=" + detail_cb +
                   " size=" + std::to_string(detail_size) +
                   " devinfo=" + (devinfo ? std::to_string(devinfo->cbSize) : std::string("-")));
  DWORD error = 0;
  if (!Callable("SetupDiGetDeviceInterfaceDetailA")) return FALSE;
  if (ShouldFail("SetupDiGetDeviceInterfaceDetailA", &error)) {
    last_error_ = error;
    return FALSE;
  }
  if (!set) return FALSE;
  if (!ifdata || ifdata->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    last_error_ = ERROR_INVALID_USER_BUFFER;
    return FALSE;
  }
  const std::size_t iface_index = (ifdata->Reserved & 0xFFFF) - 1;
  const bool known = std::find(set->items.begin(), set->items.end(),
                               std::make_pair(dev_inst, iface_index)) != set->items.end();
  if (!known) {
    last_error_ = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  const FakeDevice& device = devices_[dev_inst - 1];
  const FakeDeviceInterface& iface = device.interfaces[iface_index];
  if (iface.detail_fails) {
    last_error_ = ERROR_NOT_FOUND;
    return FALSE;
  }
  if (devinfo) {
    if (devinfo->cbSize != sizeof(SP_DEVINFO_DATA)) {
      last_error_ = ERROR_INVALID_USER_BUFFER;
      return FALSE;
    }
    devinfo->ClassGuid = device.setup_class;
    devinfo->DevInst = dev_inst;
    devinfo->Reserved = 0;
  }
  const DWORD needed =
      std::max<DWORD>(static_cast<DWORD>(kInterfaceDetailPathOffset + iface.path.size() + 1),
                      kInterfaceDetailDataSize);
  if (!detail && detail_size != 0) {
    last_error_ = ERROR_INVALID_USER_BUFFER;
    return FALSE;
  }
  if (detail) {
    DWORD cb = 0;
    std::memcpy(&cb, detail, sizeof cb);
    if (detail_size < sizeof(DWORD) || cb != kInterfaceDetailDataSize) {
      last_error_ = ERROR_INVALID_USER_BUFFER;
      return FALSE;
    }
  }
  if (required_size) *required_size = needed;
  if (!detail || detail_size < needed) {
    last_error_ = ERROR_INSUFFICIENT_BUFFER;
    return FALSE;
  }
  char* path = static_cast<char*>(detail) + kInterfaceDetailPathOffset;
  std::memcpy(path, iface.path.c_str(), iface.path.size() + 1);
  return TRUE;
}

BOOL FakeDeviceSetup::SetupDiGetDeviceInstanceIdA(HDEVINFO handle, SP_DEVINFO_DATA* devinfo,
                                                  char* buffer, DWORD buffer_size,
                                                  DWORD* required_size) {
  std::lock_guard lock(mutex_);
  Set* set = FindSet(handle);
  calls_.push_back(
      "SetupDiGetDeviceInstanceIdA set=" + (set ? std::to_string(set->number) : std::string("?")) +
      " dev=" + (devinfo ? std::to_string(devinfo->DevInst) : std::string("-")) +
      " buffer=" + std::to_string(buffer ? buffer_size : 0));
  DWORD error = 0;
  if (!Callable("SetupDiGetDeviceInstanceIdA")) return FALSE;
  if (ShouldFail("SetupDiGetDeviceInstanceIdA", &error)) {
    last_error_ = error;
    return FALSE;
  }
  if (!set) return FALSE;
  FakeDevice* device = DeviceIn(*set, devinfo);
  if (!device) return FALSE;
  const DWORD needed = static_cast<DWORD>(device->instance_id.size() + 1);
  if (required_size) *required_size = needed;
  if (!buffer || buffer_size < needed) {
    last_error_ = ERROR_INSUFFICIENT_BUFFER;
    return FALSE;
  }
  std::memcpy(buffer, device->instance_id.c_str(), needed);
  return TRUE;
}

}  // namespace veldoran::win
