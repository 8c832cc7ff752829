// An in-memory serial driver for unit tests. Ports are made by name ("COM3"); a test scripts
// their input, reads what was written, sets modem lines and line errors, makes calls fail on
// demand, stalls writes, and can unplug a port. It completes overlapped operations
// asynchronously the way Windows does (an event wait stays pending until something happens),
// so the serial layer's pending paths are exercised.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/kernel_objects.h"

namespace veldoran::win {

// Calls that can be made to fail on demand.
enum class FakeCall {
  kCreateFile,
  kGetDefaultCommConfig,
  kSetupComm,
  kSetCommState,
  kSetCommTimeouts,
  kSetCommMask,
  kWaitCommEvent,
  kClearCommError,
  kReadFile,
  kWriteFile,
  kPurgeComm,
  kEscapeCommFunction,
  kGetCommModemStatus,
};

// What a test can observe of a port.
struct FakePortInfo {
  bool open = false;
  DCB dcb{};                // the last DCB given to SetCommState
  int set_state_calls = 0;  // SetCommState calls since the port was made
  DWORD mask = 0;           // the event mask
  COMMTIMEOUTS timeouts{};
  DWORD in_queue_size = 0;  // from SetupComm
  DWORD out_queue_size = 0;
  bool dtr = false;  // the lines the port drives, from EscapeCommFunction
  bool rts = false;
  std::vector<DWORD> escapes;  // EscapeCommFunction codes in call order
  std::vector<DWORD> purges;   // PurgeComm flag words in call order
  int reads = 0;               // ReadFile calls
  std::size_t pending_writes = 0;
  bool wait_pending = false;  // an overlapped WaitCommEvent is in flight
  int opens = 0;              // successful CreateFileA calls
  // The line settings in force each time an attached plug-and-play device answered.
  std::vector<DCB> pnp_answers;
};

// A device on the line that follows the serial plug-and-play handshake: it draws its power
// from DTR (DSR is on while DTR is), and when RTS rises while DTR is on it sends its
// identification, framed for 1200 baud 7N1; at other line settings the bytes arrive garbled.
struct FakePnPDevice {
  std::string id;          // what it sends, e.g. "(\x01$ACM1234...)"
  bool raises_dsr = true;  // false: a device that never raises DSR
  int answer_on_rise = 1;  // the rise of RTS it answers at (2: only the second); 0: never
};

class FakeSerialDriver : public KernelObjects {
 public:
  using WriteHook = std::function<void(std::string_view written)>;

  FakeSerialDriver();
  ~FakeSerialDriver() override;

  // Makes a port present ("COM3"). Opening a name that was not added fails with
  // ERROR_FILE_NOT_FOUND.
  void AddPort(std::string_view name);

  // Bytes arriving on the line: queued for reading, raising the character event.
  void InjectInput(std::string_view name, std::string_view bytes);
  // Bytes queued for reading (thread-safe).
  std::size_t InputQueued(std::string_view name) const;

  // Everything written so far, and the same while clearing it.
  std::string Output(std::string_view name) const;
  std::string TakeOutput(std::string_view name);

  // Called on the writing thread, outside the driver's lock, with the bytes of every completed
  // write (a controller model answers by injecting its reply).
  void SetWriteHook(std::string_view name, WriteHook hook);

  // Modem inputs (MS_* bits); a change raises EV_CTS, EV_DSR, EV_RLSD, and a rising ring EV_RING.
  void SetModemStatus(std::string_view name, DWORD ms_bits);
  // Line errors (CE_* bits): reported by the next ClearCommError; raise EV_ERR (and EV_BREAK).
  void RaiseLineError(std::string_view name, DWORD ce_bits);

  // Puts a plug-and-play device on the line (replacing one put there before).
  void AttachPnPDevice(std::string_view name, FakePnPDevice device);

  // While stalled, writes stay pending; un-stalling completes them in order.
  void StallWrites(std::string_view name, bool stalled);

  // The adapter is unplugged: a pending event wait ends, and every later call on the open
  // handle fails with ERROR_BAD_COMMAND, as Windows reports a removed USB adapter. Some drivers
  // (`waits_still_pend`) end the pending wait as aborted and go on taking new waits, each of
  // which ends aborted at once; only the other calls fail.
  void Unplug(std::string_view name, bool waits_still_pend = false);

  // The next `times` calls of `call` (any port; -1: until cleared) fail with `error`.
  void FailCalls(FakeCall call, DWORD error, int times = 1);
  void ClearFailures();

  void SetDriverTogglesRts(bool toggles) { driver_toggles_rts_ = toggles; }

  FakePortInfo Info(std::string_view name) const;

  // SerialApi.
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
  bool DriverTogglesRts() const override { return driver_toggles_rts_; }

 private:
  struct Port;
  struct PortHandle;
  struct PendingWrite {
    OVERLAPPED* overlapped;
    std::string data;
    std::thread::id thread;
  };
  struct Failure {
    DWORD error;
    int times;
  };

  Port& PortNamed(std::string_view name) const;  // caller holds mutex_
  // The open port behind a handle, or null with the error set; caller holds mutex_.
  Port* OpenPort(HANDLE file);
  bool ShouldFail(FakeCall call);  // caller holds mutex_; sets the error when true
  void Raise(Port& port, DWORD events);
  void Inject(Port& port, std::string_view bytes);  // caller holds mutex_
  // An attached plug-and-play device sees DTR and RTS change; caller holds mutex_.
  void PnPLinesChanged(Port& port, bool old_dtr, bool old_rts);
  void EndWait(Port& port, DWORD events, DWORD error);
  void ClosePort(Port& port);
  // Completes the stalled writes; returns what the hooks are to be called with.
  std::vector<std::pair<WriteHook, std::string>> ReleaseWrites(Port& port);

  mutable std::mutex mutex_;
  std::map<std::string, std::unique_ptr<Port>, std::less<>> ports_;
  std::map<FakeCall, Failure> failures_;
  bool driver_toggles_rts_ = false;
};

}  // namespace veldoran::win
