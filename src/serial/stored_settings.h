// The port settings as one registry value: 49 bytes, little-endian on every platform, so a
// value stored by one build loads unchanged in another.
//
//   offset  0  1 byte   the COM port number, low 8 bits
//   offset  1  28 bytes the DCB in the Win32 layout
//   offset 29  20 bytes the COMMTIMEOUTS: ReadIntervalTimeout, ReadTotalTimeoutMultiplier,
//                       ReadTotalTimeoutConstant, WriteTotalTimeoutMultiplier,
//                       WriteTotalTimeoutConstant
#pragma once

#include <array>
#include <cstdint>

#include "platform/win_types.h"

namespace veldoran::serial {

inline constexpr std::size_t kStoredSettingsSize = 49;
using StoredSettingsValue = std::array<win::BYTE, kStoredSettingsSize>;

struct StoredSettings {
  std::uint8_t com_port = 0;
  win::DCB dcb{};
  win::COMMTIMEOUTS timeouts{};
};

StoredSettingsValue EncodeStoredSettings(const StoredSettings& settings);
StoredSettings DecodeStoredSettings(const StoredSettingsValue& value);

// Whether a port can have these line settings (a value that says otherwise is damaged): a
// baud rate, 4 to 8 data bits, a parity and stop-bit code Win32 knows.
bool PlausibleLineSettings(const win::DCB& dcb);

}  // namespace veldoran::serial
