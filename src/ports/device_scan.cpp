#include "ports/device_scan.h"

#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "platform/cp1250.h"

namespace veldoran::ports {

using win::DWORD;
using win::HKEY;
using win::HMODULE;

namespace {

const HKEY kInvalidKey = reinterpret_cast<HKEY>(win::InvalidHandle());

struct EntryPoint {
  const char* name;
  bool required;
};

// Looked up in SetupAPI.dll, in this order.
constexpr EntryPoint kSetupApiEntryPoints[] = {
    {"SetupDiGetClassDevsA", true},
    {"SetupDiDestroyDeviceInfoList", true},
    {"SetupDiEnumDeviceInfo", true},
    {"SetupDiGetDeviceRegistryPropertyA", true},
    {"SetupDiOpenDevRegKey", true},
    {"SetupDiEnumDeviceInterfaces", true},
    {"SetupDiGetDeviceInterfaceDetailA", true},
    {"SetupDiCreateDeviceInfoList", true},
    {"SetupDiCreateDeviceInfoA", true},
    {"SetupDiGetINFClassA", true},
    {"SetupDiSetDeviceRegistryPropertyA", true},
    {"SetupDiCallClassInstaller", true},
    {"SetupDiGetDeviceInstanceIdA", true},
    {"SetupDiRemoveDevice", false},
    {"SetupDiUnremoveDevice", false},
    {"SetupDiOpenDeviceInfoA", false},
};

// Looked up in the configuration-manager module after CM_Locate_DevNodeA, in this order.
constexpr EntryPoint kConfigManagerEntryPoints[] = {
    {"CM_Get_DevNode_Registry_PropertyA", true},
    {"CM_Get_Parent", true},
    {"CM_Get_Device_ID_List_SizeA", true},
    {"CM_Get_Device_ID_ListA", true},
    {"CM_Get_Child", true},
    {"CM_Get_Sibling", true},
    {"CM_Request_Device_EjectA", false},
};

struct LoadedModules {
  HMODULE setupapi = nullptr;
  HMODULE cfgmgr = nullptr;
};

// The loaded modules of each device-setup interface, kept while the interface exists. At the
// end of the program the modules of the interfaces still alive are freed.
class LoadedState {
 public:
  ~LoadedState() {
    for (auto& [weak, modules] : entries_) {
      if (const auto setup = weak.lock()) {
        if (modules.setupapi) setup->FreeLibrary(modules.setupapi);
        if (modules.cfgmgr) setup->FreeLibrary(modules.cfgmgr);
      }
    }
  }

  std::mutex& mutex() { return mutex_; }

  // The entry of `setup` (caller holds the mutex). Entries of interfaces that are gone are
  // dropped first, so a new interface never inherits the state of an old one.
  LoadedModules& Of(const std::shared_ptr<win::DeviceSetupApi>& setup) {
    for (auto it = entries_.begin(); it != entries_.end();) {
      it = it->first.expired() ? entries_.erase(it) : std::next(it);
    }
    return entries_[setup];
  }

 private:
  std::mutex mutex_;
  std::map<std::weak_ptr<win::DeviceSetupApi>, LoadedModules, std::owner_less<>> entries_;
};

LoadedState& Loaded() {
  static LoadedState state;
  return state;
}

// A UTF-16 text in the ANSI code page; characters it cannot hold become "?".
std::string ToAnsi(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char16_t ch : text) {
    const auto byte = cp1250::FromUnicode(ch);
    out += byte ? static_cast<char>(*byte) : '?';
  }
  return out;
}

}  // namespace

DeviceScan::DeviceScan(std::shared_ptr<win::DeviceSetupApi> setup,
                       std::shared_ptr<win::RegistryApi> registry)
    : setup_(std::move(setup)), registry_(std::move(registry)) {}

bool DeviceScan::LoadSetupApi() {
  if (!setup_) return false;
  win::DeviceSetupApi& api = *setup_;
  std::lock_guard lock(Loaded().mutex());
  LoadedModules& modules = Loaded().Of(setup_);
  if (modules.setupapi) return true;
  const HMODULE setupapi = api.LoadLibraryA("SetupAPI.dll");
  if (!setupapi) return false;
  bool complete = true;
  for (const EntryPoint& entry : kSetupApiEntryPoints) {
    if (!api.GetProcAddress(setupapi, entry.name) && entry.required) complete = false;
  }
  // The configuration manager lives in SetupAPI.dll on newer systems, in cfgmgr32.dll on
  // older ones.
  HMODULE cm = setupapi;
  if (!api.GetProcAddress(setupapi, "CM_Locate_DevNodeA")) {
    if (!modules.cfgmgr) modules.cfgmgr = api.LoadLibraryA("cfgmgr32.dll");
    cm = modules.cfgmgr;
    if (!cm || !api.GetProcAddress(cm, "CM_Locate_DevNodeA")) complete = false;
  }
  for (const EntryPoint& entry : kConfigManagerEntryPoints) {
    if ((!cm || !api.GetProcAddress(cm, entry.name)) && entry.required) complete = false;
  }
  if (!complete) {
    api.FreeLibrary(setupapi);
    if (modules.cfgmgr) api.FreeLibrary(modules.cfgmgr);
    modules = LoadedModules{};
    return false;
  }
  modules.setupapi = setupapi;
  return true;
}

void DeviceScan::ScanDevices(const win::GUID& class_guid, bool present_only, bool interface_mode,
                             TspScanList& scan_list) {
  if (!LoadSetupApi()) return;
  DWORD flags = 0;
  if (present_only) flags |= win::DIGCF_PRESENT;
  if (interface_mode) flags |= win::DIGCF_DEVICEINTERFACE;
  const win::HDEVINFO set = setup_->SetupDiGetClassDevsA(&class_guid, nullptr, nullptr, flags);
  if (set == win::InvalidHandle()) return;
  // The set is destroyed however the scan ends (a record that cannot be allocated, say).
  struct SetGuard {
    win::DeviceSetupApi& api;
    win::HDEVINFO set;
    ~SetGuard() { api.SetupDiDestroyDeviceInfoList(set); }
  } guard{*setup_, set};
  if (interface_mode) {
    ScanInterfaces(set, class_guid, scan_list);
  } else {
    ScanDeviceInfo(set, scan_list);
  }
}

void DeviceScan::ReadProperties(win::HDEVINFO set, win::SP_DEVINFO_DATA& devinfo,
                                TspDevice& record) {
  record.Driver = GetDeviceProperty(set, devinfo, win::SPDRP_DRIVER);
  record.Service = GetDeviceProperty(set, devinfo, win::SPDRP_SERVICE);
  record.DeviceName = GetDeviceProperty(set, devinfo, win::SPDRP_PHYSICAL_DEVICE_OBJECT_NAME);
  record.Description = GetDeviceProperty(set, devinfo, win::SPDRP_DEVICEDESC);
  record.Manufacturer = GetDeviceProperty(set, devinfo, win::SPDRP_MFG);
}

void DeviceScan::ScanDeviceInfo(win::HDEVINFO set, TspScanList& scan_list) {
  win::DeviceSetupApi& api = *setup_;
  win::SP_DEVINFO_DATA devinfo{};
  devinfo.cbSize = sizeof devinfo;
  for (DWORD index = 0; api.SetupDiEnumDeviceInfo(set, index, &devinfo); ++index) {
    auto record = std::make_unique<TspDevice>();
    ReadProperties(set, devinfo, *record);

    const HKEY key = api.SetupDiOpenDevRegKey(set, &devinfo, win::DICS_FLAG_GLOBAL, 0,
                                              win::DIREG_DEV, win::KEY_QUERY_VALUE);
    if (key && key != kInvalidKey) {
      HKEY hive = nullptr;
      record->RegistryKey = GetKeyPath(key, &hive);
      registry_->RegCloseKey(key);
      // Opened below HKEY_LOCAL_MACHINE whatever the hive: a hardware key is always there.
      record->SymbolicName =
          ReadRegString(win::HKEY_LOCAL_MACHINE, record->RegistryKey, "SymbolicName");
      record->PnPPortName = ReadRegString(win::HKEY_LOCAL_MACHINE, record->RegistryKey, "PortName");
    }

    char id[kInstanceIdBufferSize] = {};
    DWORD required = 0;
    if (api.SetupDiGetDeviceInstanceIdA(set, &devinfo, id, kInstanceIdBufferSize, &required) &&
        required > 0) {
      record->InstanceId.assign(id, std::min<DWORD>(required - 1, sizeof id - 1));
      record->DevInst = devinfo.DevInst;
      record->Children = GetDeviceIdList(record->InstanceId, ";", true);
    }

    std::string text = record->Driver;
    scan_list.push_back(TspScanItem{std::move(text), std::move(record)});
  }
}

void DeviceScan::ScanInterfaces(win::HDEVINFO set, const win::GUID& class_guid,
                                TspScanList& scan_list) {
  win::DeviceSetupApi& api = *setup_;
  win::SP_DEVICE_INTERFACE_DATA ifdata{};
  ifdata.cbSize = sizeof ifdata;
  for (DWORD index = 0; api.SetupDiEnumDeviceInterfaces(set, nullptr, &class_guid, index, &ifdata);
       ++index) {
    win::SP_DEVINFO_DATA devinfo{};
    devinfo.cbSize = sizeof devinfo;
    DWORD required = 0;
    api.SetupDiGetDeviceInterfaceDetailA(set, &ifdata, nullptr, 0, &required, &devinfo);
    if (required == 0 || api.GetLastError() != win::ERROR_INSUFFICIENT_BUFFER) continue;

    // Zero-filled, with room for the size field and a terminating NUL whatever the driver said.
    std::vector<char> block(std::max<std::size_t>(required, win::kInterfaceDetailDataSize) + 1,
                            '\0');
    const DWORD cb_size = win::kInterfaceDetailDataSize;
    std::memcpy(block.data(), &cb_size, sizeof cb_size);
    if (!api.SetupDiGetDeviceInterfaceDetailA(set, &ifdata, block.data(), required, &required,
                                              &devinfo)) {
      continue;
    }
    auto record = std::make_unique<TspDevice>();
    ReadProperties(set, devinfo, *record);
    record->SymbolicName = block.data() + win::kInterfaceDetailPathOffset;
    std::string text = record->Driver;
    scan_list.push_back(TspScanItem{std::move(text), std::move(record)});
  }
}

std::string DeviceScan::GetDeviceProperty(win::HDEVINFO set, win::SP_DEVINFO_DATA& devinfo,
                                          DWORD property) {
  win::BYTE buffer[kPropertyBufferSize];
  DWORD size = 0;
  if (!setup_->SetupDiGetDeviceRegistryPropertyA(set, &devinfo, property, nullptr, buffer,
                                                 sizeof buffer, &size) ||
      size == 0) {
    return {};
  }
  return std::string(reinterpret_cast<const char*>(buffer),
                     std::min<DWORD>(size, sizeof buffer) - 1);
}

std::string DeviceScan::GetKeyPath(HKEY key, HKEY* hive) {
  if (!key || key == kInvalidKey || !setup_) return {};
  win::DeviceSetupApi& api = *setup_;
  const HMODULE ntdll = api.LoadLibraryA("ntdll.dll");
  if (!ntdll) return {};
  struct Unload {
    win::DeviceSetupApi& api;
    HMODULE module;
    ~Unload() { api.FreeLibrary(module); }
  } unload{api, ntdll};
  if (!api.GetProcAddress(ntdll, "ZwQueryKey")) return {};

  win::ULONG length = 0;
  api.ZwQueryKey(key, win::KeyNameInformation, nullptr, 0, &length);
  // KEY_NAME_INFORMATION: the name's length in bytes, then the UTF-16 name; two zero bytes
  // more end it.
  std::vector<char> block(static_cast<std::size_t>(length) + 2, '\0');
  if (length < sizeof(win::ULONG) || api.ZwQueryKey(key, win::KeyNameInformation, block.data(),
                                                    length, &length) != win::STATUS_SUCCESS) {
    return {};
  }
  win::ULONG name_bytes = 0;
  std::memcpy(&name_bytes, block.data(), sizeof name_bytes);
  const std::size_t room = block.size() - 2 - sizeof(win::ULONG);
  std::u16string wide(std::min<std::size_t>(name_bytes, room) / 2, u'\0');
  std::memcpy(wide.data(), block.data() + sizeof(win::ULONG), wide.size() * 2);
  wide.resize(std::char_traits<char16_t>::length(wide.c_str()));
  std::string name = ToAnsi(wide);

  if (!hive) return name;
  static constexpr std::string_view kRoot = "\\REGISTRY";
  if (name.find("\\MACHINE\\") == kRoot.size()) {
    *hive = win::HKEY_LOCAL_MACHINE;
    return name.substr(kRoot.size() + std::string_view("\\MACHINE\\").size());
  }
  if (name.find("\\USER\\") == kRoot.size()) {
    *hive = win::HKEY_CURRENT_USER;
    // \REGISTRY\USER\<SID>\path: the user's security identifier goes too.
    std::string rest = name.substr(kRoot.size() + std::string_view("\\USER\\").size());
    const std::size_t slash = rest.find('\\');
    return slash == std::string::npos ? rest : rest.substr(slash + 1);
  }
  *hive = nullptr;
  return name;
}

std::string DeviceScan::ReadRegString(HKEY root_key, const std::string& sub_key,
                                      const std::string& value_name) {
  win::RegistryApi& registry = *registry_;
  HKEY key = nullptr;
  if (registry.RegOpenKeyExA(root_key, sub_key.c_str(), 0, win::KEY_READ, &key) !=
      static_cast<win::LSTATUS>(win::ERROR_SUCCESS)) {
    return {};
  }
  std::string text;
  DWORD size = 0;
  if (registry.RegQueryValueExA(key, value_name.c_str(), nullptr, nullptr, &size) ==
      static_cast<win::LSTATUS>(win::ERROR_SUCCESS)) {
    std::vector<win::BYTE> data(size);
    DWORD read = size;
    if (registry.RegQueryValueExA(key, value_name.c_str(), nullptr, data.data(), &read) ==
        static_cast<win::LSTATUS>(win::ERROR_SUCCESS)) {
      text.assign(reinterpret_cast<const char*>(data.data()), std::min(read, size));
      if (!text.empty() && text.back() == '\0') text.pop_back();
    }
  }
  registry.RegCloseKey(key);
  return text;
}

std::string DeviceScan::GetDeviceIdList(const std::string& device_id, std::string_view separator,
                                        bool bus_relations) {
  if (!setup_) return {};
  const win::ULONG filter = bus_relations ? win::CM_GETIDLIST_FILTER_BUSRELATIONS
                                          : win::CM_GETIDLIST_FILTER_REMOVALRELATIONS;
  win::ULONG length = 0;
  if (setup_->CM_Get_Device_ID_List_SizeA(&length, device_id.c_str(), filter) != win::CR_SUCCESS ||
      length == 0) {
    return {};
  }
  std::vector<char> buffer(length, '\0');
  if (setup_->CM_Get_Device_ID_ListA(device_id.c_str(), buffer.data(), length, filter) !=
      win::CR_SUCCESS) {
    return {};
  }
  return MultiSzToText(buffer.data(), buffer.size(), separator);
}

std::string MultiSzToText(const char* buffer, std::size_t length, std::string_view separator) {
  std::string text;
  for (std::size_t i = 0; i + 1 < length; ++i) {
    if (buffer[i] != '\0') {
      text += buffer[i];
    } else if (i == length - 2) {
      break;
    } else {
      text += separator;
    }
  }
  return text;
}

}  // namespace veldoran::ports
