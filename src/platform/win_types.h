// The Win32 serial communication types, with their exact Win32 layouts, for code that is written
// once against the Windows serial API and runs on every platform through a SerialApi backend.
// They live in their own namespace and the Windows backend passes them to the real API unchanged
// (the static_asserts below pin the layouts). <windows.h> defines most of the constant names
// below as macros, so a file that needs both includes this header first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace veldoran::win {

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using BOOL = int;
using ULONG_PTR = std::uintptr_t;
using HANDLE = void*;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

// INVALID_HANDLE_VALUE.
inline HANDLE InvalidHandle() { return reinterpret_cast<HANDLE>(~std::uintptr_t{0}); }

// Error codes (GetLastError values).
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_BAD_COMMAND = 22;
inline constexpr DWORD ERROR_WRITE_FAULT = 29;
inline constexpr DWORD ERROR_READ_FAULT = 30;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_SHARING_VIOLATION = 32;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_INVALID_NAME = 123;
inline constexpr DWORD ERROR_OPERATION_ABORTED = 995;
inline constexpr DWORD ERROR_IO_INCOMPLETE = 996;
inline constexpr DWORD ERROR_IO_PENDING = 997;
inline constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
inline constexpr DWORD ERROR_TIMEOUT = 1460;

// CreateFileA arguments.
inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;

// Waits.
inline constexpr DWORD INFINITE = 0xFFFFFFFFu;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 0x102;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

// Communication events (SetCommMask, WaitCommEvent).
inline constexpr DWORD EV_RXCHAR = 0x0001;
inline constexpr DWORD EV_RXFLAG = 0x0002;
inline constexpr DWORD EV_TXEMPTY = 0x0004;
inline constexpr DWORD EV_CTS = 0x0008;
inline constexpr DWORD EV_DSR = 0x0010;
inline constexpr DWORD EV_RLSD = 0x0020;
inline constexpr DWORD EV_BREAK = 0x0040;
inline constexpr DWORD EV_ERR = 0x0080;
inline constexpr DWORD EV_RING = 0x0100;
inline constexpr DWORD EV_PERR = 0x0200;
inline constexpr DWORD EV_RX80FULL = 0x0400;
inline constexpr DWORD EV_EVENT1 = 0x0800;
inline constexpr DWORD EV_EVENT2 = 0x1000;

// Line errors (ClearCommError).
inline constexpr DWORD CE_RXOVER = 0x0001;
inline constexpr DWORD CE_OVERRUN = 0x0002;
inline constexpr DWORD CE_RXPARITY = 0x0004;
inline constexpr DWORD CE_FRAME = 0x0008;
inline constexpr DWORD CE_BREAK = 0x0010;

// PurgeComm flags.
inline constexpr DWORD PURGE_TXABORT = 0x0001;
inline constexpr DWORD PURGE_RXABORT = 0x0002;
inline constexpr DWORD PURGE_TXCLEAR = 0x0004;
inline constexpr DWORD PURGE_RXCLEAR = 0x0008;

// EscapeCommFunction codes.
inline constexpr DWORD SETXOFF = 1;
inline constexpr DWORD SETXON = 2;
inline constexpr DWORD SETRTS = 3;
inline constexpr DWORD CLRRTS = 4;
inline constexpr DWORD SETDTR = 5;
inline constexpr DWORD CLRDTR = 6;
inline constexpr DWORD SETBREAK = 8;
inline constexpr DWORD CLRBREAK = 9;

// GetCommModemStatus bits.
inline constexpr DWORD MS_CTS_ON = 0x0010;
inline constexpr DWORD MS_DSR_ON = 0x0020;
inline constexpr DWORD MS_RING_ON = 0x0040;
inline constexpr DWORD MS_RLSD_ON = 0x0080;

// DCB values.
inline constexpr BYTE NOPARITY = 0;
inline constexpr BYTE ODDPARITY = 1;
inline constexpr BYTE EVENPARITY = 2;
inline constexpr BYTE MARKPARITY = 3;
inline constexpr BYTE SPACEPARITY = 4;
inline constexpr BYTE ONESTOPBIT = 0;
inline constexpr BYTE ONE5STOPBITS = 1;
inline constexpr BYTE TWOSTOPBITS = 2;
inline constexpr DWORD DTR_CONTROL_DISABLE = 0;
inline constexpr DWORD DTR_CONTROL_ENABLE = 1;
inline constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_DISABLE = 0;
inline constexpr DWORD RTS_CONTROL_ENABLE = 1;
inline constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_TOGGLE = 3;

// The bit fields of the DCB's flag word, as masks (Win32 declares them as C bit fields; the
// word is handled as a whole here so the layout does not depend on the compiler's bit order).
namespace dcbflag {
inline constexpr DWORD fBinary = 0x0001;
inline constexpr DWORD fParity = 0x0002;
inline constexpr DWORD fOutxCtsFlow = 0x0004;
inline constexpr DWORD fOutxDsrFlow = 0x0008;
inline constexpr DWORD fDtrControlShift = 4;  // two bits
inline constexpr DWORD fDtrControlMask = 0x0030;
inline constexpr DWORD fDsrSensitivity = 0x0040;
inline constexpr DWORD fTXContinueOnXoff = 0x0080;
inline constexpr DWORD fOutX = 0x0100;
inline constexpr DWORD fInX = 0x0200;
inline constexpr DWORD fErrorChar = 0x0400;
inline constexpr DWORD fNull = 0x0800;
inline constexpr DWORD fRtsControlShift = 12;  // two bits
inline constexpr DWORD fRtsControlMask = 0x3000;
inline constexpr DWORD fAbortOnError = 0x4000;
}  // namespace dcbflag

struct DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD Flags;  // the bit fields fBinary .. fDummy2, see dcbflag
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;

  DWORD DtrControl() const {
    return (Flags & dcbflag::fDtrControlMask) >> dcbflag::fDtrControlShift;
  }
  DWORD RtsControl() const {
    return (Flags & dcbflag::fRtsControlMask) >> dcbflag::fRtsControlShift;
  }
};

struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
};

// COMSTAT's first word holds the bit fields fCtsHold .. fTxim.
namespace comstat {
inline constexpr DWORD fCtsHold = 0x01;
inline constexpr DWORD fDsrHold = 0x02;
inline constexpr DWORD fRlsdHold = 0x04;
inline constexpr DWORD fXoffHold = 0x08;
inline constexpr DWORD fXoffSent = 0x10;
inline constexpr DWORD fEof = 0x20;
inline constexpr DWORD fTxim = 0x40;
}  // namespace comstat

struct COMSTAT {
  DWORD Flags;
  DWORD cbInQue;
  DWORD cbOutQue;
};

struct COMMCONFIG {
  DWORD dwSize;
  WORD wVersion;
  WORD wReserved;
  DCB dcb;
  DWORD dwProviderSubType;
  DWORD dwProviderOffset;
  DWORD dwProviderSize;
  std::uint16_t wcProviderData[1];
};

struct OVERLAPPED {
  ULONG_PTR Internal;      // status while in flight (kStatusPending) and after
  ULONG_PTR InternalHigh;  // bytes transferred
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;
};

// The value of OVERLAPPED::Internal while an operation is in flight.
inline constexpr ULONG_PTR kStatusPending = 0x103;

// Clears a control block for its next operation; its event stays.
inline void ResetOverlapped(OVERLAPPED& ov) {
  const HANDLE event = ov.hEvent;
  ov = OVERLAPPED{};
  ov.hEvent = event;
}

static_assert(sizeof(DCB) == 28, "DCB must keep the Win32 layout");
static_assert(offsetof(DCB, XonLim) == 14 && offsetof(DCB, ByteSize) == 18 &&
                  offsetof(DCB, EvtChar) == 25,
              "DCB field offsets");
static_assert(sizeof(COMMTIMEOUTS) == 20, "COMMTIMEOUTS must keep the Win32 layout");
static_assert(sizeof(COMSTAT) == 12, "COMSTAT must keep the Win32 layout");
static_assert(sizeof(COMMCONFIG) == 52, "COMMCONFIG must keep the Win32 layout");
static_assert(offsetof(COMMCONFIG, dcb) == 8, "COMMCONFIG field offsets");
static_assert(sizeof(OVERLAPPED) == (sizeof(void*) == 8 ? 32 : 20),
              "OVERLAPPED must keep the Win32 layout");

}  // namespace veldoran::win
