// The registry seam on the real registry: every call goes to the Win32 function of the same
// name, the reserved arguments filled in as Win32 asks. Our HKEY is a distinct type of the same
// size; predefined keys carry the Win32 values, so handles pass through unchanged.

#include "platform/registry_api.h"

// After our headers, whose Win32 names <windows.h> would turn into macros.
// clang-format off
#include <windows.h>
// clang-format on

namespace veldoran::win {

namespace {

::HKEY Sys(HKEY key) { return reinterpret_cast<::HKEY>(key); }
::LPDWORD Word(DWORD* p) { return reinterpret_cast<::LPDWORD>(p); }

class Win32RegistryApi : public RegistryApi {
 public:
  LSTATUS RegOpenKeyExA(HKEY key, const char* sub_key, DWORD options, REGSAM desired,
                        HKEY* result) override {
    return ::RegOpenKeyExA(Sys(key), sub_key, options, desired, reinterpret_cast<::PHKEY>(result));
  }
  LSTATUS RegCreateKeyExA(HKEY key, const char* sub_key, DWORD options, REGSAM desired,
                          HKEY* result, DWORD* disposition) override {
    return ::RegCreateKeyExA(Sys(key), sub_key, 0, nullptr, options, desired, nullptr,
                             reinterpret_cast<::PHKEY>(result), Word(disposition));
  }
  LSTATUS RegEnumValueA(HKEY key, DWORD index, char* value_name, DWORD* value_name_chars,
                        DWORD* type, BYTE* data, DWORD* data_bytes) override {
    return ::RegEnumValueA(Sys(key), index, value_name, Word(value_name_chars), nullptr, Word(type),
                           data, Word(data_bytes));
  }
  LSTATUS RegQueryValueExA(HKEY key, const char* value_name, DWORD* type, BYTE* data,
                           DWORD* data_bytes) override {
    return ::RegQueryValueExA(Sys(key), value_name, nullptr, Word(type), data, Word(data_bytes));
  }
  LSTATUS RegSetValueExA(HKEY key, const char* value_name, DWORD type, const BYTE* data,
                         DWORD data_bytes) override {
    return ::RegSetValueExA(Sys(key), value_name, 0, type, data, data_bytes);
  }
  LSTATUS RegCloseKey(HKEY key) override { return ::RegCloseKey(Sys(key)); }
};

}  // namespace

std::shared_ptr<RegistryApi> SystemRegistryApi() {
  static const std::shared_ptr<RegistryApi> registry = std::make_shared<Win32RegistryApi>();
  return registry;
}

}  // namespace veldoran::win
