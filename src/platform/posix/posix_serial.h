// The serial API on termios (Linux), behaving as the serial layer expects Windows to behave:
// - "COMn" is resolved through the port map; an absolute path is used as it is.
// - Open is exclusive (TIOCEXCL plus flock): a second open of a busy port fails with
//   ERROR_ACCESS_DENIED. Errors become Win32 codes; SysErrorMessage gives the system's own text,
//   and a permission failure names the group the device belongs to.
// - Overlapped calls complete at once (Windows allows that): WaitCommEvent blocks in epoll on
//   the port and a wake-up pipe until an event in the mask occurs, SetCommMask or CloseHandle
//   releases it (with an empty event word and ERROR_INVALID_HANDLE respectively). No periodic
//   polling while idle; only while the mask asks for modem lines on a device that has them, or
//   for EV_TXEMPTY while output drains, does the wait also look at the line at short intervals.
// - New input raises EV_RXCHAR once (edge-triggered: input left unread does not fire again
//   until more arrives). A hang-up of the other side is a failed wait (ERROR_BAD_COMMAND).
// - Pseudo-terminals have no modem lines: the modem status reads empty and DTR/RTS changes
//   succeed without effect.
#pragma once

#include <termios.h>

#include "platform/kernel_objects.h"

namespace veldoran::win {

// The termios line settings for a DCB (speed, data bits, parity, stop bits, flow control),
// applied to `tio`; false when the DCB asks for something termios cannot do.
bool DcbToTermios(const DCB& dcb, termios* tio);

class PosixSerialApi : public KernelObjects {
 public:
  PosixSerialApi();
  ~PosixSerialApi() override;

  HANDLE CreateFileA(const char* name, DWORD access, DWORD share_mode, DWORD creation_disposition,
                     DWORD flags) override;
  BOOL ReadFile(HANDLE file, void* buffer, DWORD to_read, DWORD* read,
                OVERLAPPED* overlapped) override;
  BOOL WriteFile(HANDLE file, const void* buffer, DWORD to_write, DWORD* written,
                 OVERLAPPED* overlapped) override;
  BOOL CancelIo(HANDLE file) override;
  BOOL GetDefaultCommConfigA(const char* name, COMMCONFIG* config, DWORD* size) override;
  BOOL SetupComm(HANDLE file, DWORD in_queue, DWORD out_queue) override;
  BOOL SetCommState(HANDLE file, const DCB* dcb) override;
  BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts) override;
  BOOL GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) override;
  BOOL SetCommMask(HANDLE file, DWORD mask) override;
  BOOL WaitCommEvent(HANDLE file, DWORD* event_mask, OVERLAPPED* overlapped) override;
  BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* status) override;
  BOOL PurgeComm(HANDLE file, DWORD flags) override;
  BOOL EscapeCommFunction(HANDLE file, DWORD function) override;
  BOOL GetCommModemStatus(HANDLE file, DWORD* modem_status) override;
  bool DriverTogglesRts() const override { return false; }

 private:
  struct Port;
  std::shared_ptr<Port> OpenPort(HANDLE file);
};

}  // namespace veldoran::win
