#include "platform/kernel_objects.h"

#include <chrono>

namespace veldoran::win {

namespace {

thread_local DWORD tls_last_error = 0;
// A text more specific than the standard one for tls_last_error, when the failing call had one.
thread_local std::string tls_last_text;

}  // namespace

struct KernelObjects::Event : Object {
  std::mutex mutex;
  std::condition_variable changed;
  bool manual_reset = false;
  bool signalled = false;
  int waiters = 0;
  std::uint64_t pulses = 0;  // a pulse releases the threads waiting at that moment
};

KernelObjects::KernelObjects() = default;
KernelObjects::~KernelObjects() = default;

HANDLE KernelObjects::Insert(std::shared_ptr<Object> object) {
  std::lock_guard lock(table_mutex_);
  const std::uintptr_t value = next_handle_;
  next_handle_ += 4;
  table_.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObjects::Object> KernelObjects::Find(HANDLE handle) {
  std::shared_lock lock(table_mutex_);
  const auto it = table_.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == table_.end() ? nullptr : it->second;
}

BOOL KernelObjects::CloseHandle(HANDLE handle) {
  std::shared_ptr<Object> object;
  {
    std::lock_guard lock(table_mutex_);
    const auto it = table_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == table_.end()) return Fail(ERROR_INVALID_HANDLE);
    object = std::move(it->second);
    table_.erase(it);
  }
  object->OnClose();
  return TRUE;
}

BOOL KernelObjects::Fail(DWORD code, std::string text) {
  tls_last_error = code;
  tls_last_text = std::move(text);
  return FALSE;
}

DWORD KernelObjects::GetLastError() { return tls_last_error; }

void KernelObjects::SetLastError(DWORD code) {
  tls_last_error = code;
  tls_last_text.clear();
}

std::string KernelObjects::SysErrorMessage(DWORD code) {
  if (code == tls_last_error && !tls_last_text.empty()) return tls_last_text;
  return StandardMessage(code);
}

std::string KernelObjects::StandardMessage(DWORD code) {
  switch (code) {
    case ERROR_SUCCESS:
      return "The operation completed successfully";
    case ERROR_FILE_NOT_FOUND:
      return "The system cannot find the file specified";
    case ERROR_PATH_NOT_FOUND:
      return "The system cannot find the path specified";
    case ERROR_ACCESS_DENIED:
      return "Access is denied";
    case ERROR_INVALID_HANDLE:
      return "The handle is invalid";
    case ERROR_NOT_ENOUGH_MEMORY:
      return "Not enough memory resources are available";
    case ERROR_BAD_COMMAND:
      return "The device does not recognize the command";
    case ERROR_WRITE_FAULT:
      return "The system cannot write to the specified device";
    case ERROR_READ_FAULT:
      return "The system cannot read from the specified device";
    case ERROR_GEN_FAILURE:
      return "A device attached to the system is not functioning";
    case ERROR_SHARING_VIOLATION:
      return "The process cannot access the file because it is being used by another process";
    case ERROR_NOT_SUPPORTED:
      return "The request is not supported";
    case ERROR_INVALID_PARAMETER:
      return "The parameter is incorrect";
    case ERROR_INSUFFICIENT_BUFFER:
      return "The data area passed to a system call is too small";
    case ERROR_INVALID_NAME:
      return "The filename, directory name, or volume label syntax is incorrect";
    case ERROR_OPERATION_ABORTED:
      return "The I/O operation has been aborted because of either a thread exit or an "
             "application request";
    case ERROR_IO_INCOMPLETE:
      return "Overlapped I/O event is not in a signaled state";
    case ERROR_IO_PENDING:
      return "Overlapped I/O operation is in progress";
    case ERROR_DEVICE_NOT_CONNECTED:
      return "The device is not connected";
    case ERROR_TIMEOUT:
      return "This operation returned because the timeout period expired";
    default:
      return "Unknown error " + std::to_string(code);
  }
}

// --- overlapped operations ---

void KernelObjects::StartPending(OVERLAPPED* overlapped) {
  std::lock_guard lock(overlapped_mutex_);
  overlapped->Internal = kStatusPending;
  overlapped->InternalHigh = 0;
}

void KernelObjects::Complete(OVERLAPPED* overlapped, DWORD error, DWORD transferred) {
  HANDLE event;
  bool waiters;
  {
    std::lock_guard lock(overlapped_mutex_);
    overlapped->Internal = error;
    overlapped->InternalHigh = transferred;
    event = overlapped->hEvent;
    waiters = overlapped_waiters_ > 0;
  }
  if (waiters) overlapped_done_.notify_all();
  if (event) SetEvent(event);
}

BOOL KernelObjects::GetOverlappedResult(HANDLE, OVERLAPPED* overlapped, DWORD* transferred,
                                        BOOL wait) {
  std::unique_lock lock(overlapped_mutex_);
  if (overlapped->Internal == kStatusPending) {
    if (!wait) return Fail(ERROR_IO_INCOMPLETE);
    ++overlapped_waiters_;
    overlapped_done_.wait(lock, [&] { return overlapped->Internal != kStatusPending; });
    --overlapped_waiters_;
  }
  if (transferred) *transferred = static_cast<DWORD>(overlapped->InternalHigh);
  const DWORD error = static_cast<DWORD>(overlapped->Internal);
  lock.unlock();
  if (error != ERROR_SUCCESS) return Fail(error);
  return TRUE;
}

// --- events ---

HANDLE KernelObjects::CreateEventA(BOOL manual_reset, BOOL initial_state) {
  auto event = std::make_shared<Event>();
  event->manual_reset = manual_reset != FALSE;
  event->signalled = initial_state != FALSE;
  return Insert(std::move(event));
}

BOOL KernelObjects::SetEvent(HANDLE handle) {
  const auto event = Lookup<Event>(handle);
  if (!event) return FALSE;
  bool waiters;
  {
    std::lock_guard lock(event->mutex);
    event->signalled = true;
    waiters = event->waiters > 0;
  }
  if (waiters) event->changed.notify_all();
  return TRUE;
}

BOOL KernelObjects::ResetEvent(HANDLE handle) {
  const auto event = Lookup<Event>(handle);
  if (!event) return FALSE;
  std::lock_guard lock(event->mutex);
  event->signalled = false;
  return TRUE;
}

BOOL KernelObjects::PulseEvent(HANDLE handle) {
  const auto event = Lookup<Event>(handle);
  if (!event) return FALSE;
  {
    std::lock_guard lock(event->mutex);
    // Releases the threads waiting now; with nobody waiting it changes nothing (a signal that
    // is already set stays set, so a completion is never lost to a pulse).
    if (event->waiters > 0) ++event->pulses;
  }
  event->changed.notify_all();
  return TRUE;
}

DWORD KernelObjects::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  const auto event = Lookup<Event>(handle);
  if (!event) return WAIT_FAILED;
  std::unique_lock lock(event->mutex);
  const std::uint64_t pulses = event->pulses;
  const auto ready = [&] { return event->signalled || event->pulses != pulses; };
  ++event->waiters;
  bool got;
  if (milliseconds == INFINITE) {
    event->changed.wait(lock, ready);
    got = true;
  } else {
    got = event->changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
  }
  --event->waiters;
  if (!got) return WAIT_TIMEOUT;
  if (event->signalled && !event->manual_reset) event->signalled = false;
  return WAIT_OBJECT_0;
}

}  // namespace veldoran::win

namespace veldoran::win {

COMMCONFIG DefaultCommConfig() {
  COMMCONFIG config{};
  config.dwSize = sizeof(COMMCONFIG);
  config.wVersion = 1;
  config.dcb.DCBlength = sizeof(DCB);
  config.dcb.BaudRate = 9600;
  config.dcb.Flags = dcbflag::fBinary | (DTR_CONTROL_ENABLE << dcbflag::fDtrControlShift) |
                     (RTS_CONTROL_ENABLE << dcbflag::fRtsControlShift);
  config.dcb.XonLim = 2048;
  config.dcb.XoffLim = 512;
  config.dcb.ByteSize = 8;
  config.dcb.Parity = NOPARITY;
  config.dcb.StopBits = ONESTOPBIT;
  config.dcb.XonChar = 0x11;
  config.dcb.XoffChar = 0x13;
  config.dwProviderSubType = 1;  // PST_RS232
  return config;
}

BOOL FillDefaultCommConfig(COMMCONFIG* config, DWORD* size) {
  if (!config || !size) {
    tls_last_error = ERROR_INVALID_PARAMETER;
    tls_last_text.clear();
    return FALSE;
  }
  if (*size < sizeof(COMMCONFIG)) {
    *size = sizeof(COMMCONFIG);
    tls_last_error = ERROR_INSUFFICIENT_BUFFER;
    tls_last_text.clear();
    return FALSE;
  }
  *config = DefaultCommConfig();
  *size = sizeof(COMMCONFIG);
  return TRUE;
}

}  // namespace veldoran::win
