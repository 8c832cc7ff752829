// The part of a kernel that the POSIX and fake serial backends share: a handle table whose
// values are never reused (a stale handle fails with ERROR_INVALID_HANDLE instead of reaching a
// newer object), Win32-style events, overlapped completion, and the per-thread last error with
// its system text.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "platform/serial_api.h"

namespace veldoran::win {

class KernelObjects : public SerialApi {
 public:
  // Anything a handle can stand for.
  struct Object {
    virtual ~Object() = default;
    // Called once when the handle is closed; the object may live on while a call still uses it.
    virtual void OnClose() {}
  };

  KernelObjects();
  ~KernelObjects() override;

  BOOL CloseHandle(HANDLE handle) override;
  BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred,
                           BOOL wait) override;

  HANDLE CreateEventA(BOOL manual_reset, BOOL initial_state) override;
  BOOL SetEvent(HANDLE event) override;
  BOOL ResetEvent(HANDLE event) override;
  BOOL PulseEvent(HANDLE event) override;
  DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) override;

  DWORD GetLastError() override;
  void SetLastError(DWORD code) override;
  std::string SysErrorMessage(DWORD code) override;

  // The standard text of a Win32 error code.
  static std::string StandardMessage(DWORD code);

 protected:
  HANDLE Insert(std::shared_ptr<Object> object);

  // The object behind a handle, if it is open and of type T; otherwise sets
  // ERROR_INVALID_HANDLE and returns null.
  template <class T>
  std::shared_ptr<T> Lookup(HANDLE handle) {
    std::shared_ptr<T> found = std::dynamic_pointer_cast<T>(Find(handle));
    if (!found) Fail(ERROR_INVALID_HANDLE);
    return found;
  }

  // Sets the calling thread's last error, with a more specific text than the standard one when
  // given; returns FALSE for `return Fail(...)`.
  static BOOL Fail(DWORD code, std::string text = {});

  // Marks an operation pending on `overlapped`.
  void StartPending(OVERLAPPED* overlapped);
  // Completes an operation: stores its result, wakes GetOverlappedResult and signals its event.
  void Complete(OVERLAPPED* overlapped, DWORD error, DWORD transferred);

 private:
  struct Event;
  std::shared_ptr<Object> Find(HANDLE handle);

  std::shared_mutex table_mutex_;
  std::unordered_map<std::uintptr_t, std::shared_ptr<Object>> table_;
  std::uintptr_t next_handle_ = 0x1000;

  std::mutex overlapped_mutex_;  // guards every OVERLAPPED's Internal fields while in flight
  std::condition_variable overlapped_done_;
  int overlapped_waiters_ = 0;  // threads in GetOverlappedResult waiting for a completion
};

}  // namespace veldoran::win

namespace veldoran::win {

// The neutral line settings a backend reports as a port's default configuration: 9600 baud,
// 8 data bits, no parity, one stop bit, binary mode, DTR and RTS on, no flow control.
COMMCONFIG DefaultCommConfig();

// GetDefaultCommConfigA for backends whose defaults do not depend on the port: checks the size
// the caller offers (which may be the config's own dwSize field) and fills in the defaults.
BOOL FillDefaultCommConfig(COMMCONFIG* config, DWORD* size);

}  // namespace veldoran::win
