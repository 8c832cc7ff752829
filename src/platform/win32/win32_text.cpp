#include "platform/win32/win32_text.h"

// After our headers, whose Win32 names <windows.h> would turn into macros.
// clang-format off
#include <windows.h>
// clang-format on

namespace veldoran::win {

std::wstring TrimMessage(std::wstring text) {
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) {
    text.pop_back();
  }
  if (!text.empty() && text.back() == L'.') text.pop_back();
  return text;
}

std::string AnsiFromWide(std::wstring_view text) {
  if (text.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                          nullptr, nullptr);
  }
  return out;
}

std::wstring WideFromAnsi(std::string_view text) {
  if (text.empty()) return {};
  const int size =
      ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) {
    ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  }
  return out;
}

std::string SystemMessage(DWORD code) {
  const ::DWORD saved = ::GetLastError();  // asking for the text must not change the error
  wchar_t* buffer = nullptr;
  const ::DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text;
  if (length > 0 && buffer) text.assign(buffer, length);
  if (buffer) ::LocalFree(buffer);
  ::SetLastError(saved);
  text = TrimMessage(std::move(text));
  if (text.empty()) return "Unknown error " + std::to_string(code);
  return AnsiFromWide(text);
}

OsVersion WindowsVersion() {
  // RtlGetVersion tells the true version; GetVersionEx may be told to lie by a manifest.
  using RtlGetVersionFn = LONG(WINAPI*)(::OSVERSIONINFOW*);
  ::OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  const ::HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  const auto rtl_get_version = reinterpret_cast<RtlGetVersionFn>(
      reinterpret_cast<void*>(ntdll ? ::GetProcAddress(ntdll, "RtlGetVersion") : nullptr));
  if (!rtl_get_version || rtl_get_version(&info) != 0) return {};
  return OsVersion{info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion};
}

}  // namespace veldoran::win
