#include "platform/memory_registry.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace veldoran::win {

struct MemoryRegistry::Key {
  std::string path;  // as first created (display form)
  std::vector<Value> values;

  Value* Find(std::string_view name) {
    const std::string folded = Fold(name);
    for (Value& v : values) {
      if (Fold(v.name) == folded) return &v;
    }
    return nullptr;
  }
};

MemoryRegistry::MemoryRegistry() = default;
MemoryRegistry::~MemoryRegistry() = default;

std::string MemoryRegistry::Fold(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return out;
}

// "a\b" + "c\\d\" -> "a\b\c\d": empty parts are dropped.
std::string MemoryRegistry::Join(std::string_view base, std::string_view sub) {
  std::string out;
  for (std::string_view part_source : {base, sub}) {
    std::size_t start = 0;
    while (start <= part_source.size()) {
      const std::size_t end = std::min(part_source.find('\\', start), part_source.size());
      if (end > start) {
        if (!out.empty()) out += '\\';
        out.append(part_source.substr(start, end - start));
      }
      start = end + 1;
    }
  }
  return out;
}

std::string MemoryRegistry::HiveName(HKEY hive) {
  if (hive == HKEY_CLASSES_ROOT) return "HKEY_CLASSES_ROOT";
  if (hive == HKEY_CURRENT_USER) return "HKEY_CURRENT_USER";
  if (hive == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
  if (hive == HKEY_USERS) return "HKEY_USERS";
  return {};
}

HKEY MemoryRegistry::HiveNamed(std::string_view name) {
  for (HKEY hive : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS}) {
    if (Fold(HiveName(hive)) == Fold(name)) return hive;
  }
  return nullptr;
}

MemoryRegistry::Key* MemoryRegistry::FindKey(HKEY hive, std::string_view path) const {
  const auto found = keys_.find({HiveName(hive), Fold(Join(path, {}))});
  return found == keys_.end() ? nullptr : found->second.get();
}

MemoryRegistry::Key& MemoryRegistry::MakeKey(HKEY hive, std::string_view path) {
  const std::string joined = Join(path, {});
  // Every key above it exists too, as in the real registry.
  std::size_t end = 0;
  Key* key = nullptr;
  do {
    end = joined.find('\\', end + 1);
    const std::string prefix = joined.substr(0, end);
    auto& slot = keys_[{HiveName(hive), Fold(prefix)}];
    if (!slot) {
      slot = std::make_unique<Key>();
      slot->path = prefix;
    }
    key = slot.get();
  } while (end != std::string::npos);
  return *key;
}

std::optional<MemoryRegistry::OpenKey> MemoryRegistry::Resolve(HKEY key) const {
  if (!HiveName(key).empty()) return OpenKey{key, {}, KEY_ALL_ACCESS};
  const auto found = open_.find(reinterpret_cast<std::uintptr_t>(key));
  if (found == open_.end()) return std::nullopt;
  return found->second;
}

std::string MemoryRegistry::Describe(HKEY key) const {
  const auto open = Resolve(key);
  if (!open) return "?";
  std::string out = HiveName(open->hive);
  if (!open->path.empty()) out += "\\" + open->path;
  return out;
}

bool MemoryRegistry::ShouldFail(const std::string& call, LSTATUS* error) {
  const auto found = failures_.find(call);
  if (found == failures_.end() || found->second.second == 0) return false;
  *error = found->second.first;
  if (found->second.second > 0) --found->second.second;
  return true;
}

namespace {
std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
  return text;
}
std::string Offered(const void* buffer, const DWORD* size) {
  if (!buffer || !size) return "-";
  return std::to_string(*size);
}
}  // namespace

LSTATUS MemoryRegistry::Open(const char* call, HKEY key, const char* sub_key, REGSAM desired,
                             bool create, HKEY* result, DWORD* disposition) {
  std::optional<OpenKey> base;
  {
    std::lock_guard lock(mutex_);
    base = Resolve(key);
  }
  const std::string path = base ? Join(base->path, sub_key ? sub_key : "") : std::string();
  const LSTATUS prepared = base ? BeforeOpen(base->hive, path, create) : ERROR_SUCCESS;
  bool changed = false;
  LSTATUS status = ERROR_SUCCESS;
  std::uintptr_t handle = 0;
  {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::string(call) + " " +
                     (base ? HiveName(base->hive) + (path.empty() ? "" : "\\" + path) : "?") +
                     " sam=" + Hex(desired));
    if (ShouldFail(call, &status)) return status;
    if (result) *result = nullptr;
    if (prepared != ERROR_SUCCESS) return prepared;
    if (!result) return ERROR_INVALID_PARAMETER;
    if (!base) return ERROR_INVALID_HANDLE;
    Key* found = FindKey(base->hive, path);
    if (!found && !create) return ERROR_FILE_NOT_FOUND;
    if (disposition) *disposition = found ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    if (!found) {
      found = &MakeKey(base->hive, path);
      changed = true;
    }
    handle = next_handle_;
    next_handle_ += 4;
    open_[handle] = OpenKey{base->hive, found->path, desired};
    *result = reinterpret_cast<HKEY>(handle);
  }
  if (changed) status = AfterChange();
  if (status != ERROR_SUCCESS) {
    std::lock_guard lock(mutex_);
    open_.erase(handle);
    *result = nullptr;
  }
  return status;
}

LSTATUS MemoryRegistry::RegOpenKeyExA(HKEY key, const char* sub_key, DWORD /*options*/,
                                      REGSAM desired, HKEY* result) {
  return Open("RegOpenKeyExA", key, sub_key, desired, false, result, nullptr);
}

LSTATUS MemoryRegistry::RegCreateKeyExA(HKEY key, const char* sub_key, DWORD /*options*/,
                                        REGSAM desired, HKEY* result, DWORD* disposition) {
  return Open("RegCreateKeyExA", key, sub_key, desired, true, result, disposition);
}

LSTATUS MemoryRegistry::RegEnumValueA(HKEY key, DWORD index, char* value_name,
                                      DWORD* value_name_chars, DWORD* type, BYTE* data,
                                      DWORD* data_bytes) {
  std::lock_guard lock(mutex_);
  calls_.push_back("RegEnumValueA " + Describe(key) + " index=" + std::to_string(index) + " name=" +
                   Offered(value_name, value_name_chars) + " data=" + Offered(data, data_bytes));
  LSTATUS status = ERROR_SUCCESS;
  if (ShouldFail("RegEnumValueA", &status)) return status;
  const auto open = Resolve(key);
  if (!open) return ERROR_INVALID_HANDLE;
  if (!(open->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (!value_name || !value_name_chars) return ERROR_INVALID_PARAMETER;
  Key* found = FindKey(open->hive, open->path);
  if (!found) return ERROR_KEY_DELETED;
  if (index >= found->values.size()) return ERROR_NO_MORE_ITEMS;
  const Value& v = found->values[index];
  if (v.name.size() + 1 > *value_name_chars) return ERROR_MORE_DATA;
  std::memcpy(value_name, v.name.c_str(), v.name.size() + 1);
  *value_name_chars = static_cast<DWORD>(v.name.size());
  if (type) *type = v.type;
  if (data_bytes) {
    const DWORD offered = *data_bytes;
    *data_bytes = static_cast<DWORD>(v.data.size());
    if (data) {
      if (v.data.size() > offered) return ERROR_MORE_DATA;
      std::memcpy(data, v.data.data(), v.data.size());
    }
  }
  return ERROR_SUCCESS;
}

LSTATUS MemoryRegistry::RegQueryValueExA(HKEY key, const char* value_name, DWORD* type, BYTE* data,
                                         DWORD* data_bytes) {
  std::lock_guard lock(mutex_);
  const std::string name = value_name ? value_name : "";
  calls_.push_back("RegQueryValueExA " + Describe(key) + " value=" + name +
                   " data=" + Offered(data, data_bytes));
  LSTATUS status = ERROR_SUCCESS;
  if (ShouldFail("RegQueryValueExA", &status)) return status;
  const auto open = Resolve(key);
  if (!open) return ERROR_INVALID_HANDLE;
  if (!(open->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  Key* found = FindKey(open->hive, open->path);
  const Value* v = found ? found->Find(name) : nullptr;
  if (!v) return ERROR_FILE_NOT_FOUND;
  if (type) *type = v->type;
  if (data && !data_bytes) return ERROR_INVALID_PARAMETER;
  if (data_bytes) {
    const DWORD offered = *data_bytes;
    *data_bytes = static_cast<DWORD>(v->data.size());
    if (data) {
      if (v->data.size() > offered) return ERROR_MORE_DATA;
      std::memcpy(data, v->data.data(), v->data.size());
    }
  }
  return ERROR_SUCCESS;
}

LSTATUS MemoryRegistry::RegSetValueExA(HKEY key, const char* value_name, DWORD type,
                                       const BYTE* data, DWORD data_bytes) {
  const std::string name = value_name ? value_name : "";
  std::optional<OpenKey> open;
  {
    std::lock_guard lock(mutex_);
    calls_.push_back("RegSetValueExA " + Describe(key) + " value=" + name +
                     " type=" + std::to_string(type) + " data=" + std::to_string(data_bytes));
    LSTATUS status = ERROR_SUCCESS;
    if (ShouldFail("RegSetValueExA", &status)) return status;
    open = Resolve(key);
    if (!open) return ERROR_INVALID_HANDLE;
    if (!(open->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    if (!data && data_bytes > 0) return ERROR_INVALID_PARAMETER;
  }
  if (const LSTATUS refused = BeforeChange(open->hive, open->path); refused != ERROR_SUCCESS)
    return refused;
  {
    std::lock_guard lock(mutex_);
    Key& k = MakeKey(open->hive, open->path);
    std::string bytes(reinterpret_cast<const char*>(data), data ? data_bytes : 0);
    if (Value* v = k.Find(name)) {
      v->type = type;
      v->data = std::move(bytes);
    } else {
      k.values.push_back(Value{name, type, std::move(bytes)});
    }
  }
  return AfterChange();
}

LSTATUS MemoryRegistry::RegCloseKey(HKEY key) {
  std::lock_guard lock(mutex_);
  calls_.push_back("RegCloseKey " + Describe(key));
  LSTATUS status = ERROR_SUCCESS;
  if (ShouldFail("RegCloseKey", &status)) return status;
  if (!HiveName(key).empty()) return ERROR_SUCCESS;
  return open_.erase(reinterpret_cast<std::uintptr_t>(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

void MemoryRegistry::CreateKey(HKEY hive, std::string_view path) {
  std::lock_guard lock(mutex_);
  MakeKey(hive, path);
}

void MemoryRegistry::PutValue(HKEY hive, std::string_view path, std::string_view name, DWORD type,
                              std::string_view data) {
  std::lock_guard lock(mutex_);
  Key& k = MakeKey(hive, path);
  if (Value* v = k.Find(name)) {
    v->type = type;
    v->data = std::string(data);
  } else {
    k.values.push_back(Value{std::string(name), type, std::string(data)});
  }
}

void MemoryRegistry::PutString(HKEY hive, std::string_view path, std::string_view name,
                               std::string_view text) {
  std::string data(text);
  data.push_back('\0');
  PutValue(hive, path, name, REG_SZ, data);
}

void MemoryRegistry::ReplaceValues(HKEY hive, std::string_view path, std::vector<Value> values) {
  std::lock_guard lock(mutex_);
  MakeKey(hive, path).values = std::move(values);
}

void MemoryRegistry::RemoveKey(HKEY hive, std::string_view path) {
  std::lock_guard lock(mutex_);
  const std::string hive_name = HiveName(hive);
  const std::string folded = Fold(Join(path, {}));
  for (auto it = keys_.begin(); it != keys_.end();) {
    const std::string& p = it->first.second;
    const bool below = p == folded || (p.size() > folded.size() && p[folded.size()] == '\\' &&
                                       p.compare(0, folded.size(), folded) == 0);
    it = (it->first.first == hive_name && below) ? keys_.erase(it) : std::next(it);
  }
}

void MemoryRegistry::RemoveKeysIf(
    const std::function<bool(HKEY hive, const std::string& path)>& drop) {
  std::lock_guard lock(mutex_);
  for (auto it = keys_.begin(); it != keys_.end();) {
    it = drop(HiveNamed(it->first.first), it->second->path) ? keys_.erase(it) : std::next(it);
  }
}

std::optional<MemoryRegistry::Value> MemoryRegistry::GetValue(HKEY hive, std::string_view path,
                                                              std::string_view name) const {
  std::lock_guard lock(mutex_);
  Key* k = FindKey(hive, path);
  if (!k) return std::nullopt;
  const Value* v = k->Find(name);
  if (!v) return std::nullopt;
  return *v;
}

bool MemoryRegistry::KeyExists(HKEY hive, std::string_view path) const {
  std::lock_guard lock(mutex_);
  return FindKey(hive, path) != nullptr;
}

void MemoryRegistry::ForEachKey(
    const std::function<void(HKEY, const std::string&, const std::vector<Value>&)>& visit) const {
  std::vector<std::tuple<HKEY, std::string, std::vector<Value>>> copy;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, key] : keys_)
      copy.emplace_back(HiveNamed(id.first), key->path, key->values);
  }
  for (const auto& [hive, path, values] : copy) visit(hive, path, values);
}

std::optional<std::string> MemoryRegistry::KernelName(HKEY key) const {
  std::lock_guard lock(mutex_);
  const auto open = Resolve(key);
  if (!open) return std::nullopt;
  std::string root;
  if (open->hive == HKEY_LOCAL_MACHINE) {
    root = "\\REGISTRY\\MACHINE";
  } else if (open->hive == HKEY_CURRENT_USER) {
    root = "\\REGISTRY\\USER\\" + std::string(kUserSid);
  } else if (open->hive == HKEY_USERS) {
    root = "\\REGISTRY\\USER";
  } else {
    root = "\\REGISTRY\\MACHINE\\SOFTWARE\\Classes";
  }
  return open->path.empty() ? root : root + "\\" + open->path;
}

std::vector<std::string> MemoryRegistry::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

void MemoryRegistry::ClearCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

void MemoryRegistry::FailCalls(std::string call, LSTATUS error, int times) {
  std::lock_guard lock(mutex_);
  failures_[std::move(call)] = {error, times};
}

void MemoryRegistry::ClearFailures() {
  std::lock_guard lock(mutex_);
  failures_.clear();
}

int MemoryRegistry::OpenKeys() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(open_.size());
}

}  // namespace veldoran::win
