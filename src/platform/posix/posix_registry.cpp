#include "platform/posix/posix_registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <utility>

#include "platform/atomic_file.h"
#include "platform/posix/device_nodes.h"
#include "platform/posix/reg_file.h"

namespace veldoran::win {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kLargestFile = 16u << 20;  // a store is a few kilobytes
constexpr std::size_t kLongestValueName = 259;   // what a 260-character buffer takes

std::string FoldCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return out;
}

// Whether `path` is `root` or below it, without regard to case.
bool AtOrBelow(std::string_view path, std::string_view root) {
  const std::string p = FoldCase(path), r = FoldCase(root);
  return r.empty() || p == r ||
         (p.size() > r.size() && p.compare(0, r.size(), r) == 0 && p[r.size()] == '\\');
}

std::string Text(std::string_view text) {
  std::string data(text);
  data.push_back('\0');
  return data;
}

}  // namespace

// Holds the lock file beside the store while a change is read, made and written, so two
// programs never write from the same old contents. Where no lock file can be made (a missing or
// read-only folder) there is nothing to protect: the write itself will fail or create the
// folder.
class PosixRegistry::FileLock {
 public:
  explicit FileLock(const fs::path& file) {
    fd_ = ::open((file.string() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd_ < 0) return;
    for (int attempt = 0; attempt < 200; ++attempt) {
      if (::flock(fd_, LOCK_EX | LOCK_NB) == 0 || (errno != EWOULDBLOCK && errno != EINTR)) return;
      ::usleep(10000);
    }
    held_by_other_ = true;
  }
  ~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // releases the lock
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool Busy() const { return held_by_other_; }

 private:
  int fd_ = -1;
  bool held_by_other_ = false;
};

PosixRegistry::PosixRegistry() = default;

PosixRegistry::PosixRegistry(portmap::PortMapRoots roots, fs::path file)
    : roots_(std::move(roots)), file_(std::move(file)) {}

PosixRegistry::~PosixRegistry() = default;

portmap::PortMapRoots PosixRegistry::Roots() const {
  return roots_ ? *roots_ : portmap::PortMapRoots::Default();
}

fs::path PosixRegistry::FilePath() const {
  return file_ ? *file_ : portmap::Directory().parent_path() / "registry.reg";
}

std::string PosixRegistry::StoreError() const {
  std::lock_guard lock(store_mutex_);
  return error_;
}

// ---- Calls: one at a time, each seeing the file as it is now ----

LSTATUS PosixRegistry::RegOpenKeyExA(HKEY key, const char* sub_key, DWORD options, REGSAM desired,
                                     HKEY* result) {
  std::lock_guard lock(store_mutex_);
  return MemoryRegistry::RegOpenKeyExA(key, sub_key, options, desired, result);
}

LSTATUS PosixRegistry::RegCreateKeyExA(HKEY key, const char* sub_key, DWORD options, REGSAM desired,
                                       HKEY* result, DWORD* disposition) {
  std::lock_guard lock(store_mutex_);
  const FileLock file_lock(FilePath());
  if (file_lock.Busy()) {
    Fail(ERROR_CANTWRITE, FilePath().string() + " is locked by another program");
    if (result) *result = nullptr;
    return ERROR_CANTWRITE;
  }
  return MemoryRegistry::RegCreateKeyExA(key, sub_key, options, desired, result, disposition);
}

LSTATUS PosixRegistry::RegEnumValueA(HKEY key, DWORD index, char* value_name,
                                     DWORD* value_name_chars, DWORD* type, BYTE* data,
                                     DWORD* data_bytes) {
  std::lock_guard lock(store_mutex_);
  Sync();
  return MemoryRegistry::RegEnumValueA(key, index, value_name, value_name_chars, type, data,
                                       data_bytes);
}

LSTATUS PosixRegistry::RegQueryValueExA(HKEY key, const char* value_name, DWORD* type, BYTE* data,
                                        DWORD* data_bytes) {
  std::lock_guard lock(store_mutex_);
  Sync();
  return MemoryRegistry::RegQueryValueExA(key, value_name, type, data, data_bytes);
}

LSTATUS PosixRegistry::RegSetValueExA(HKEY key, const char* value_name, DWORD type,
                                      const BYTE* data, DWORD data_bytes) {
  std::lock_guard lock(store_mutex_);
  const FileLock file_lock(FilePath());
  if (file_lock.Busy()) {
    Fail(ERROR_CANTWRITE, FilePath().string() + " is locked by another program");
    return ERROR_CANTWRITE;
  }
  return MemoryRegistry::RegSetValueExA(key, value_name, type, data, data_bytes);
}

LSTATUS PosixRegistry::RegCloseKey(HKEY key) {
  std::lock_guard lock(store_mutex_);
  return MemoryRegistry::RegCloseKey(key);
}

// ---- Hooks (store_mutex_ held by the call) ----

PosixRegistry::Area PosixRegistry::AreaOf(HKEY hive, const std::string& path) {
  if (hive != HKEY_LOCAL_MACHINE) return Area::kStored;
  if (AtOrBelow(path, kSerialComm)) return Area::kSerialComm;
  if (AtOrBelow(path, devnodes::kEnumKey)) return Area::kEnum;
  return Area::kStored;
}

bool PosixRegistry::AboveSynthesized(HKEY hive, const std::string& path) {
  if (hive != HKEY_LOCAL_MACHINE) return false;
  if (path.empty()) return true;
  return (AtOrBelow(kSerialComm, path) && FoldCase(path) != FoldCase(kSerialComm)) ||
         (AtOrBelow(devnodes::kEnumKey, path) && FoldCase(path) != FoldCase(devnodes::kEnumKey));
}

LSTATUS PosixRegistry::BeforeOpen(HKEY hive, const std::string& path, bool create) {
  const Area area = AreaOf(hive, path);
  const bool above = AboveSynthesized(hive, path);
  if (area == Area::kSerialComm || (above && AtOrBelow(kSerialComm, path))) SynthesizeSerialComm();
  // Device keys are made anew when one is asked for that is not there (a device plugged in
  // since) and at each device listing (RefreshDeviceKeys), not at every open: a scan opens each
  // device's key several times.
  if ((area == Area::kEnum || (above && AtOrBelow(devnodes::kEnumKey, path))) &&
      !KeyExists(hive, path))
    WriteDeviceKeys(devnodes::Nodes(portmap::PortMap(Roots()).Take()));
  if (area != Area::kStored) {
    return create && !KeyExists(hive, path) ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
  }
  return Sync();
}

LSTATUS PosixRegistry::BeforeChange(HKEY hive, const std::string& path) {
  if (AreaOf(hive, path) != Area::kStored) return ERROR_ACCESS_DENIED;
  return Sync();
}

LSTATUS PosixRegistry::AfterChange() {
  const LSTATUS status = Save();
  if (status != ERROR_SUCCESS) {
    // Undo: read the file again, which still holds what it held.
    const std::string why = error_;
    loaded_path_.reset();
    Sync();
    if (error_.empty()) error_ = why;
  }
  return status;
}

void PosixRegistry::Fail(LSTATUS status, std::string why) {
  if (status == ERROR_CANTREAD || status == ERROR_REGISTRY_CORRUPT) state_ = status;
  error_ = std::move(why);
}

// ---- The file ----

LSTATUS PosixRegistry::Sync() {
  const fs::path path = FilePath();
  Stamp now;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    now = Stamp{true, st.st_dev, st.st_ino, st.st_size,
                static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec};
  } else if (errno != ENOENT && errno != ENOTDIR) {
    const int error = errno;
    loaded_path_.reset();
    Fail(ERROR_CANTREAD, "cannot read " + path.string() + ": " + std::strerror(error));
    return state_;
  }
  if (loaded_path_ == path && now == loaded_) return state_;

  std::vector<regfile::Key> keys;
  if (now.exists) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
      const int error = errno;
      loaded_path_.reset();
      Fail(ERROR_CANTREAD, "cannot read " + path.string() + ": " + std::strerror(error));
      return state_;
    }
    std::string text;
    std::string damage;
    int read_error = 0;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      damage = "it is not a regular file";
    } else if (static_cast<std::size_t>(st.st_size) > kLargestFile) {
      damage = "it is far larger than a registry store can be";
    } else {
      char buffer[65536];
      for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0 && text.size() + static_cast<std::size_t>(got) <= kLargestFile) {
          text.append(buffer, static_cast<std::size_t>(got));
        } else if (got < 0 && errno == EINTR) {
          continue;
        } else {
          if (got < 0) read_error = errno;
          if (got > 0) damage = "it is far larger than a registry store can be";
          break;
        }
      }
    }
    ::close(fd);
    if (read_error != 0) {
      loaded_path_.reset();
      Fail(ERROR_CANTREAD, "cannot read " + path.string() + ": " + std::strerror(read_error));
      return state_;
    }
    if (damage.empty()) {
      regfile::Parsed parsed = regfile::Parse(text);
      if (parsed.ok) {
        keys = std::move(parsed.keys);
      } else {
        damage = "line " + std::to_string(parsed.error_line) + ": " + parsed.error;
      }
    }
    if (!damage.empty()) {
      loaded_path_ = path;
      loaded_ = now;
      Fail(ERROR_REGISTRY_CORRUPT, path.string() + " is damaged (" + damage +
                                       "); it is left as it is until it is repaired or removed");
      return state_;
    }
  }

  // Replace what the file held before by what it holds now; synthesized keys stay.
  RemoveKeysIf([](HKEY hive, const std::string& key_path) {
    return AreaOf(hive, key_path) == Area::kStored && !AboveSynthesized(hive, key_path);
  });
  ForEachKey([this](HKEY hive, const std::string& key_path, const std::vector<Value>& values) {
    if (AboveSynthesized(hive, key_path) && !values.empty()) ReplaceValues(hive, key_path, {});
  });
  for (regfile::Key& key : keys) {
    if (AreaOf(key.hive, key.path) == Area::kStored)
      ReplaceValues(key.hive, key.path, std::move(key.values));
  }
  loaded_path_ = path;
  loaded_ = now;
  state_ = ERROR_SUCCESS;
  error_.clear();
  return state_;
}

LSTATUS PosixRegistry::Save() {
  struct Item {
    HKEY hive;
    std::string path;
    std::vector<Value> values;
  };
  std::vector<Item> all;
  ForEachKey([&all](HKEY hive, const std::string& path, const std::vector<Value>& values) {
    all.push_back(Item{hive, path, values});
  });
  std::vector<regfile::Key> keys;
  for (Item& item : all) {
    if (AreaOf(item.hive, item.path) != Area::kStored) continue;
    // A key without values is written only when no key below it says it exists.
    bool has_child = false;
    for (const Item& other : all) {
      has_child = has_child || (other.hive == item.hive && other.path.size() > item.path.size() &&
                                (item.path.empty() || AtOrBelow(other.path, item.path)));
    }
    if (item.values.empty() && has_child) continue;
    keys.push_back(regfile::Key{item.hive, item.path, std::move(item.values)});
  }
  const fs::path path = FilePath();
  const auto text = regfile::Write(keys);
  if (!text) {
    error_ = "a key or value name with a line break cannot be stored in " + path.string();
    return ERROR_INVALID_PARAMETER;
  }
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  const platform::FileResult written = platform::ReplaceFileContents(path, *text);
  if (!written.ok) {
    error_ = "cannot write " + path.string() + ": " + written.error;
    return ERROR_CANTWRITE;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    loaded_path_ = path;
    loaded_ = Stamp{true, st.st_dev, st.st_ino, st.st_size,
                    static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec};
  }
  error_.clear();
  return ERROR_SUCCESS;
}

// ---- Synthesized keys ----

void PosixRegistry::SynthesizeSerialComm() {
  std::vector<Value> values;
  std::set<std::string> names;
  for (const portmap::Entry& entry : portmap::PortMap(Roots()).List()) {
    if (!entry.present) continue;
    const std::string port = "COM" + std::to_string(entry.number);
    // A name the enumeration's 260-character buffer cannot take would end its walk early.
    std::string name = entry.device.string();
    if (name.size() > kLongestValueName) {
      std::error_code ec;
      name = fs::weakly_canonical(entry.device, ec).string();
      if (ec || name.size() > kLongestValueName)
        name = "\\Device\\Serial" + std::to_string(entry.number - 1);
    }
    // Two links to one device: both ports are listed, under names of their own.
    if (!names.insert(FoldCase(name)).second) {
      name += " (" + port + ")";
      names.insert(FoldCase(name));
    }
    values.push_back(Value{name, REG_SZ, Text(port)});
  }
  ReplaceValues(HKEY_LOCAL_MACHINE, kSerialComm, std::move(values));
}

void PosixRegistry::RefreshDeviceKeys(const std::vector<devnodes::DeviceNode>& nodes) {
  std::lock_guard lock(store_mutex_);
  WriteDeviceKeys(nodes);
}

void PosixRegistry::WriteDeviceKeys(const std::vector<devnodes::DeviceNode>& nodes) {
  RemoveKey(HKEY_LOCAL_MACHINE, devnodes::kEnumKey);
  CreateKey(HKEY_LOCAL_MACHINE, devnodes::kEnumKey);
  for (const devnodes::DeviceNode& node : nodes) {
    std::vector<Value> values;
    const auto text = [&values](const char* name, const std::string& data) {
      if (!data.empty()) values.push_back(Value{name, REG_SZ, Text(data)});
    };
    text("DeviceDesc", node.description);
    text("Mfg", node.manufacturer);
    text("Service", node.service);
    text("Driver", node.driver_key);
    text("FriendlyName", node.friendly_name);
    text("Class", "Ports");
    text("ClassGUID", devnodes::GuidText(devnodes::kPortsClass));
    values.push_back(Value{"HardwareID", REG_MULTI_SZ, node.hardware_ids});
    ReplaceValues(HKEY_LOCAL_MACHINE, std::string(devnodes::kEnumKey) + "\\" + node.instance_id,
                  std::move(values));
    std::vector<Value> parameters;
    if (!node.port_name.empty())
      parameters.push_back(Value{"PortName", REG_SZ, Text(node.port_name)});
    parameters.push_back(Value{"SymbolicName", REG_SZ, Text(node.symbolic_name)});
    ReplaceValues(HKEY_LOCAL_MACHINE, devnodes::HardwareKey(node), std::move(parameters));
  }
}

std::shared_ptr<PosixRegistry> SystemPosixRegistry() {
  static const auto registry = std::make_shared<PosixRegistry>();
  return registry;
}

std::shared_ptr<RegistryApi> SystemRegistryApi() { return SystemPosixRegistry(); }

}  // namespace veldoran::win
