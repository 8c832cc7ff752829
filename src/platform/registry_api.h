// The registry calls the serial layer and port discovery make, as one interface shaped like the
// Win32 functions of the same names (the reserved arguments left out). As those functions do,
// each returns its error code (ERROR_SUCCESS when it worked) instead of setting the last error.
//
// Backends: win32/ forwards to the real registry; posix/ keeps the keys in a small file beside
// the port map and synthesizes HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM from the port
// map; MemoryRegistry (memory_registry.h) holds them in memory, for tests and as the base of the
// POSIX store.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/win_types.h"

namespace veldoran::win {

using LONG = std::int32_t;
using LSTATUS = LONG;
using REGSAM = DWORD;
struct HKEY__;
using HKEY = HKEY__*;

// A predefined key from its Win32 value; the value is sign-extended as Windows does it, so the
// handles pass to the real API unchanged.
inline HKEY PredefinedKey(std::uint32_t value) {
  return reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<std::int32_t>(value)));
}
inline const HKEY HKEY_CLASSES_ROOT = PredefinedKey(0x80000000u);
inline const HKEY HKEY_CURRENT_USER = PredefinedKey(0x80000001u);
inline const HKEY HKEY_LOCAL_MACHINE = PredefinedKey(0x80000002u);
inline const HKEY HKEY_USERS = PredefinedKey(0x80000003u);

// Registry errors beyond those of win_types.h.
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
inline constexpr DWORD ERROR_BADKEY = 1010;
inline constexpr DWORD ERROR_CANTOPEN = 1011;
inline constexpr DWORD ERROR_CANTREAD = 1012;
inline constexpr DWORD ERROR_CANTWRITE = 1013;
inline constexpr DWORD ERROR_REGISTRY_CORRUPT = 1015;
inline constexpr DWORD ERROR_KEY_DELETED = 1018;

// Access rights.
inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

// Value types.
inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;

// RegCreateKeyExA options and dispositions.
inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_OPTION_VOLATILE = 1;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

class RegistryApi {
 public:
  virtual ~RegistryApi() = default;

  // Opens `sub_key` below `key` (an empty or null `sub_key` opens `key` itself anew).
  virtual LSTATUS RegOpenKeyExA(HKEY key, const char* sub_key, DWORD options, REGSAM desired,
                                HKEY* result) = 0;
  // Opens `sub_key`, creating it and the keys above it where missing.
  virtual LSTATUS RegCreateKeyExA(HKEY key, const char* sub_key, DWORD options, REGSAM desired,
                                  HKEY* result, DWORD* disposition) = 0;
  // The value at `index`: its name into `value_name` (room for *value_name_chars characters
  // with the NUL; on success the length without it), its type, its data into `data` (room for
  // *data_bytes; on return the size). ERROR_NO_MORE_ITEMS past the last value, ERROR_MORE_DATA
  // when a buffer is too small.
  virtual LSTATUS RegEnumValueA(HKEY key, DWORD index, char* value_name, DWORD* value_name_chars,
                                DWORD* type, BYTE* data, DWORD* data_bytes) = 0;
  // A value's type and data; with no `data` buffer, only its size.
  virtual LSTATUS RegQueryValueExA(HKEY key, const char* value_name, DWORD* type, BYTE* data,
                                   DWORD* data_bytes) = 0;
  virtual LSTATUS RegSetValueExA(HKEY key, const char* value_name, DWORD type, const BYTE* data,
                                 DWORD data_bytes) = 0;
  virtual LSTATUS RegCloseKey(HKEY key) = 0;
};

// The registry of the platform the program runs on.
std::shared_ptr<RegistryApi> SystemRegistryApi();

}  // namespace veldoran::win
