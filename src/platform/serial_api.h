// The operating-system calls the serial layer makes, as one interface shaped exactly like the
// Win32 functions of the same names: same arguments, same OVERLAPPED and event model, results as
// BOOL with the reason in GetLastError(). The Windows backend forwards each call to the real
// function; the POSIX backend behaves as the serial layer expects Windows to behave; the fake
// backend is an in-memory driver for tests.
//
// An OVERLAPPED operation may complete at once (TRUE) or be left pending (FALSE with
// ERROR_IO_PENDING), as on Windows; callers handle both.
#pragma once

#include <memory>
#include <string>

#include "platform/win_types.h"

namespace veldoran::win {

class SerialApi {
 public:
  virtual ~SerialApi() = default;

  // Files and devices.
  virtual HANDLE CreateFileA(const char* name, DWORD access, DWORD share_mode,
                             DWORD creation_disposition, DWORD flags) = 0;
  virtual BOOL CloseHandle(HANDLE handle) = 0;
  virtual BOOL ReadFile(HANDLE file, void* buffer, DWORD to_read, DWORD* read,
                        OVERLAPPED* overlapped) = 0;
  virtual BOOL WriteFile(HANDLE file, const void* buffer, DWORD to_write, DWORD* written,
                         OVERLAPPED* overlapped) = 0;
  virtual BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred,
                                   BOOL wait) = 0;
  virtual BOOL CancelIo(HANDLE file) = 0;

  // Serial communication.
  virtual BOOL GetDefaultCommConfigA(const char* name, COMMCONFIG* config, DWORD* size) = 0;
  virtual BOOL SetupComm(HANDLE file, DWORD in_queue, DWORD out_queue) = 0;
  virtual BOOL SetCommState(HANDLE file, const DCB* dcb) = 0;
  virtual BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts) = 0;
  virtual BOOL GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) = 0;
  virtual BOOL SetCommMask(HANDLE file, DWORD mask) = 0;
  virtual BOOL WaitCommEvent(HANDLE file, DWORD* event_mask, OVERLAPPED* overlapped) = 0;
  virtual BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* status) = 0;
  virtual BOOL PurgeComm(HANDLE file, DWORD flags) = 0;
  virtual BOOL EscapeCommFunction(HANDLE file, DWORD function) = 0;
  virtual BOOL GetCommModemStatus(HANDLE file, DWORD* modem_status) = 0;

  // Events (CloseHandle closes them too).
  virtual HANDLE CreateEventA(BOOL manual_reset, BOOL initial_state) = 0;
  virtual BOOL SetEvent(HANDLE event) = 0;
  virtual BOOL ResetEvent(HANDLE event) = 0;
  virtual BOOL PulseEvent(HANDLE event) = 0;
  virtual DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) = 0;

  // The calling thread's last error, and the system's text for an error code (what
  // FormatMessage gives, without the trailing line break and full stop). Right after a failed
  // call on this thread, the text is the most specific one the system has for that failure.
  virtual DWORD GetLastError() = 0;
  virtual void SetLastError(DWORD code) = 0;
  virtual std::string SysErrorMessage(DWORD code) = 0;

  // Whether the driver itself raises RTS while transmitting when a DCB asks for
  // RTS_CONTROL_TOGGLE (Windows NT 5 and later). Where it does not, the serial layer drives
  // RTS around each transmission itself.
  virtual bool DriverTogglesRts() const = 0;
};

// The real serial API of the platform the program runs on.
std::shared_ptr<SerialApi> SystemSerialApi();

}  // namespace veldoran::win
