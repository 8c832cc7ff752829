// Helpers shared by the Windows backend's files: the system's text for an error code, text
// conversions, and the Windows version. Declared without <windows.h>, so the files that
// include it keep our Win32 types unclashed.
#pragma once

#include <string>
#include <string_view>

#include "platform/win_types.h"

namespace veldoran::win {

// The system's message for a Win32 error code (FormatMessageW), in the ANSI code page the
// window decodes it with, without the trailing line break and full stop. Never empty: an
// unknown code gives "Unknown error <code>".
std::string SystemMessage(DWORD code);

// Drops what FormatMessage puts at the end of a message: line breaks, blanks and one full stop.
std::wstring TrimMessage(std::wstring text);

// Text conversions between UTF-16 and the ANSI code page (CP_ACP).
std::string AnsiFromWide(std::wstring_view text);
std::wstring WideFromAnsi(std::string_view text);

struct OsVersion {
  DWORD platform_id = 0;  // 2: the NT family
  DWORD major = 0;
  DWORD minor = 0;
};
OsVersion WindowsVersion();

// Whether the serial driver raises RTS around transmissions itself when the DCB asks for
// RTS_CONTROL_TOGGLE: on the NT family from version 5 (Windows 2000) on.
constexpr bool DriverTogglesRtsOn(OsVersion version) {
  return version.platform_id == 2 && version.major >= 5;
}

}  // namespace veldoran::win
