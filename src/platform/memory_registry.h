// A registry held in memory, behaving as the Win32 registry functions do: keys and value names
// match without regard to case (ASCII letters), values keep the order in which they were first
// set, handles are never reused, a handle opened without the right access is refused, buffers
// that are too small give ERROR_MORE_DATA with the size needed.
//
// Tests use it as the recording fake of the registry seam (every call is logged, any call can
// be made to fail); the POSIX backend builds its file-backed store on it.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry_api.h"

namespace veldoran::win {

class MemoryRegistry : public RegistryApi {
 public:
  struct Value {
    std::string name;
    DWORD type = REG_NONE;
    std::string data;  // the bytes as stored
  };

  MemoryRegistry();
  ~MemoryRegistry() override;

  LSTATUS RegOpenKeyExA(HKEY key, const char* sub_key, DWORD options, REGSAM desired,
                        HKEY* result) override;
  LSTATUS RegCreateKeyExA(HKEY key, const char* sub_key, DWORD options, REGSAM desired,
                          HKEY* result, DWORD* disposition) override;
  LSTATUS RegEnumValueA(HKEY key, DWORD index, char* value_name, DWORD* value_name_chars,
                        DWORD* type, BYTE* data, DWORD* data_bytes) override;
  LSTATUS RegQueryValueExA(HKEY key, const char* value_name, DWORD* type, BYTE* data,
                           DWORD* data_bytes) override;
  LSTATUS RegSetValueExA(HKEY key, const char* value_name, DWORD type, const BYTE* data,
                         DWORD data_bytes) override;
  LSTATUS RegCloseKey(HKEY key) override;

  // ---- Direct access, without handles (for backends and for setting up tests) ----
  // `path` is the key's path below the predefined key `hive`, parts separated by "\".
  // Creates the key (and the keys above it) if missing.
  void CreateKey(HKEY hive, std::string_view path);
  // Sets a value, creating the key if missing.
  void PutValue(HKEY hive, std::string_view path, std::string_view name, DWORD type,
                std::string_view data);
  // A REG_SZ value: the text with its terminating NUL, as the Win32 functions store it.
  void PutString(HKEY hive, std::string_view path, std::string_view name, std::string_view text);
  // Replaces all values of a key (creating it if missing) by `values`, in their order.
  void ReplaceValues(HKEY hive, std::string_view path, std::vector<Value> values);
  // Removes a key, the keys below it and their values.
  void RemoveKey(HKEY hive, std::string_view path);
  // Removes every key (with its values, not the keys below it) for which `drop` is true.
  void RemoveKeysIf(const std::function<bool(HKEY hive, const std::string& path)>& drop);
  std::optional<Value> GetValue(HKEY hive, std::string_view path, std::string_view name) const;
  bool KeyExists(HKEY hive, std::string_view path) const;
  // Every key with its values, keys in path order within each hive.
  void ForEachKey(const std::function<void(HKEY hive, const std::string& path,
                                           const std::vector<Value>& values)>& visit) const;

  // The key's full name as the kernel reports it (what ZwQueryKey gives for KeyNameInformation):
  // \REGISTRY\MACHINE\<path> for HKEY_LOCAL_MACHINE, \REGISTRY\USER\<SID>\<path> for
  // HKEY_CURRENT_USER, \REGISTRY\USER\<path> for HKEY_USERS, and
  // \REGISTRY\MACHINE\SOFTWARE\Classes\<path> for HKEY_CLASSES_ROOT. Nothing for a handle that
  // is not open.
  std::optional<std::string> KernelName(HKEY key) const;
  // The SID the current user's hive is named by in kernel names.
  static constexpr std::string_view kUserSid = "S-1-5-21-1004336348-1177238915-682003330-1000";

  // The name a predefined key is written with (HKEY_LOCAL_MACHINE, ...), or empty.
  static std::string HiveName(HKEY hive);
  // The predefined key of a name, or null.
  static HKEY HiveNamed(std::string_view name);

  // ---- Recording and faults ----
  // One line per call, in call order, with its arguments: the key as hive and full path, and
  // the sizes offered, e.g.
  //   RegOpenKeyExA HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM sam=0x1
  //   RegEnumValueA HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM index=0 name=260 data=260
  //   RegQueryValueExA HKEY_CURRENT_USER\Software\X value=Settings data=49
  //   RegSetValueExA HKEY_CURRENT_USER\Software\X value=Settings type=3 data=49
  //   RegCreateKeyExA HKEY_CURRENT_USER\Software\X sam=0xf003f
  //   RegCloseKey HKEY_CURRENT_USER\Software\X
  // (data=- for no buffer; a handle that is not open shows as "?").
  std::vector<std::string> Calls() const;
  void ClearCalls();
  // The next `times` calls of the function named `call` (e.g. "RegSetValueExA"; -1: until
  // cleared) fail with `error`, without any effect.
  void FailCalls(std::string call, LSTATUS error, int times = 1);
  void ClearFailures();
  // Keys open now (handles not yet closed), predefined keys not counted.
  int OpenKeys() const;

 protected:
  // Called with no lock held, before RegOpenKeyExA or RegCreateKeyExA looks at a key, with the
  // hive and the full path asked for and whether the call may create it: a backend synthesizes
  // keys here. A status other than ERROR_SUCCESS fails the call with it.
  virtual LSTATUS BeforeOpen(HKEY /*hive*/, const std::string& /*path*/, bool /*create*/) {
    return ERROR_SUCCESS;
  }
  // Called with no lock held before RegSetValueExA sets a value of the key `path` (display
  // form). A status other than ERROR_SUCCESS refuses the change with it.
  virtual LSTATUS BeforeChange(HKEY /*hive*/, const std::string& /*path*/) { return ERROR_SUCCESS; }
  // Called with no lock held after a call changed the stored keys (a key created, a value set).
  // A status other than ERROR_SUCCESS becomes the call's (a key just created is then not
  // handed out); what to keep of the change is the backend's choice.
  virtual LSTATUS AfterChange() { return ERROR_SUCCESS; }

 private:
  struct Key;
  struct OpenKey {
    HKEY hive;
    std::string path;  // display form
    REGSAM access;
  };
  static std::string Fold(std::string_view text);
  static std::string Join(std::string_view base, std::string_view sub);
  Key* FindKey(HKEY hive, std::string_view path) const;  // caller holds mutex_
  Key& MakeKey(HKEY hive, std::string_view path);        // caller holds mutex_
  // The hive and path of a handle (predefined or open), or nothing.
  std::optional<OpenKey> Resolve(HKEY key) const;  // caller holds mutex_
  std::string Describe(HKEY key) const;            // caller holds mutex_
  bool ShouldFail(const std::string& call, LSTATUS* error);
  LSTATUS Open(const char* call, HKEY key, const char* sub_key, REGSAM desired, bool create,
               HKEY* result, DWORD* disposition);

  mutable std::mutex mutex_;
  // Keyed by hive name and folded path.
  std::map<std::pair<std::string, std::string>, std::unique_ptr<Key>> keys_;
  std::map<std::uintptr_t, OpenKey> open_;
  std::uintptr_t next_handle_ = 0x5000;
  std::vector<std::string> calls_;
  std::map<std::string, std::pair<LSTATUS, int>> failures_;
};

}  // namespace veldoran::win
