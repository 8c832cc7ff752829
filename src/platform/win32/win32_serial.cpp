// The serial API on Windows: every call goes to the Win32 function of the same name, with the
// arguments as they are. Our structures keep the Win32 layouts (win_types.h pins them), so they
// are handed over by address; only the C++ types differ (our DWORD is a uint32_t, Windows' an
// unsigned long of the same size).
//
// This file includes our headers first and <windows.h> after them: from then on the Win32
// names (EV_RXCHAR, TRUE, ...) are macros, so below only the real API's names are used.

#include "platform/serial_api.h"
#include "platform/win32/win32_text.h"

// After our headers, whose Win32 names <windows.h> would turn into macros.
// clang-format off
#include <windows.h>
// clang-format on

namespace veldoran::win {

namespace {

static_assert(sizeof(::DCB) == sizeof(DCB) && sizeof(::COMMTIMEOUTS) == sizeof(COMMTIMEOUTS) &&
                  sizeof(::COMSTAT) == sizeof(COMSTAT) &&
                  sizeof(::COMMCONFIG) == sizeof(COMMCONFIG) &&
                  sizeof(::OVERLAPPED) == sizeof(OVERLAPPED) && sizeof(::DWORD) == sizeof(DWORD),
              "our Win32 structures must match the system's");

template <class To, class From>
To* Sys(From* p) {
  return reinterpret_cast<To*>(p);
}

::LPDWORD Word(DWORD* p) { return reinterpret_cast<::LPDWORD>(p); }

class Win32SerialApi : public SerialApi {
 public:
  HANDLE CreateFileA(const char* name, DWORD access, DWORD share_mode, DWORD creation_disposition,
                     DWORD flags) override {
    return ::CreateFileA(name, access, share_mode, nullptr, creation_disposition, flags, nullptr);
  }
  BOOL CloseHandle(HANDLE handle) override { return ::CloseHandle(handle); }
  BOOL ReadFile(HANDLE file, void* buffer, DWORD to_read, DWORD* read,
                OVERLAPPED* overlapped) override {
    return ::ReadFile(file, buffer, to_read, Word(read), Sys<::OVERLAPPED>(overlapped));
  }
  BOOL WriteFile(HANDLE file, const void* buffer, DWORD to_write, DWORD* written,
                 OVERLAPPED* overlapped) override {
    return ::WriteFile(file, buffer, to_write, Word(written), Sys<::OVERLAPPED>(overlapped));
  }
  BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred,
                           BOOL wait) override {
    return ::GetOverlappedResult(file, Sys<::OVERLAPPED>(overlapped), Word(transferred), wait);
  }
  BOOL CancelIo(HANDLE file) override { return ::CancelIo(file); }

  BOOL GetDefaultCommConfigA(const char* name, COMMCONFIG* config, DWORD* size) override {
    return ::GetDefaultCommConfigA(name, Sys<::COMMCONFIG>(config), Word(size));
  }
  BOOL SetupComm(HANDLE file, DWORD in_queue, DWORD out_queue) override {
    return ::SetupComm(file, in_queue, out_queue);
  }
  BOOL SetCommState(HANDLE file, const DCB* dcb) override {
    return ::SetCommState(file, const_cast<::DCB*>(reinterpret_cast<const ::DCB*>(dcb)));
  }
  BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts) override {
    return ::SetCommTimeouts(
        file, const_cast<::COMMTIMEOUTS*>(reinterpret_cast<const ::COMMTIMEOUTS*>(timeouts)));
  }
  BOOL GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) override {
    return ::GetCommTimeouts(file, Sys<::COMMTIMEOUTS>(timeouts));
  }
  BOOL SetCommMask(HANDLE file, DWORD mask) override { return ::SetCommMask(file, mask); }
  BOOL WaitCommEvent(HANDLE file, DWORD* event_mask, OVERLAPPED* overlapped) override {
    return ::WaitCommEvent(file, Word(event_mask), Sys<::OVERLAPPED>(overlapped));
  }
  BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* status) override {
    return ::ClearCommError(file, Word(errors), Sys<::COMSTAT>(status));
  }
  BOOL PurgeComm(HANDLE file, DWORD flags) override { return ::PurgeComm(file, flags); }
  BOOL EscapeCommFunction(HANDLE file, DWORD function) override {
    return ::EscapeCommFunction(file, function);
  }
  BOOL GetCommModemStatus(HANDLE file, DWORD* modem_status) override {
    return ::GetCommModemStatus(file, Word(modem_status));
  }

  HANDLE CreateEventA(BOOL manual_reset, BOOL initial_state) override {
    return ::CreateEventA(nullptr, manual_reset, initial_state, nullptr);
  }
  BOOL SetEvent(HANDLE event) override { return ::SetEvent(event); }
  BOOL ResetEvent(HANDLE event) override { return ::ResetEvent(event); }
  BOOL PulseEvent(HANDLE event) override { return ::PulseEvent(event); }
  DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) override {
    return ::WaitForSingleObject(object, milliseconds);
  }

  DWORD GetLastError() override { return ::GetLastError(); }
  void SetLastError(DWORD code) override { ::SetLastError(code); }
  std::string SysErrorMessage(DWORD code) override { return SystemMessage(code); }

  bool DriverTogglesRts() const override { return DriverTogglesRtsOn(WindowsVersion()); }
};

}  // namespace

std::shared_ptr<SerialApi> SystemSerialApi() {
  static const std::shared_ptr<SerialApi> api = std::make_shared<Win32SerialApi>();
  return api;
}

}  // namespace veldoran::win
