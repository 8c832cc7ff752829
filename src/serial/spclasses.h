// The base I/O object of the serial layer: the device handle, the stored Active of a component
// being loaded, the listener list, the device list, the trace log, the terminal link, the
// attached data processor, the common fatal-error path, the generic worker thread, and the events
// every port has (received data, closed, fatal error).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/serial_api.h"
#include "ports/device_info.h"
#include "serial/abstract_data_processor.h"
#include "serial/comm_threads.h"
#include "serial/component.h"
#include "serial/log_file.h"
#include "serial/main_thread.h"
#include "serial/notify_list.h"
#include "serial/spcomm_types.h"
#include "serial/terminal_edit.h"
#include "serial/thread_io.h"

namespace veldoran::serial {

using ports::TspDevice;
using ports::TspDeviceItem;
using ports::TspDeviceItems;

class TspBaseIO : public TComponent {
 public:
  TspBaseIO(TComponent* owner, MainThread& main, std::shared_ptr<win::SerialApi> api);
  ~TspBaseIO() override;

  // Opens or closes the port. While the component is being loaded the value is only stored
  // (and read back); Loaded applies it.
  bool Active() const;
  void SetActive(bool value);

  virtual bool IsOpen() const;
  virtual void Open() = 0;
  virtual void Close() = 0;

  // The common fatal-error path: OnFatalError may clear the raise flag; the log gets a line;
  // then, unless the component is being loaded, an ESerialError is thrown (show_only false) or
  // the message is shown the framework's standard way and execution goes on (show_only true).
  // A handler that destroys the component still gets the exception raised or shown (without
  // the log line, which belonged to the component).
  virtual void FatalError(std::uint32_t error_code, std::uint32_t detail,
                          const std::string& error_msg, bool show_only);

  // Listeners (codes kNotifyClosed, kNotifyOpened, kNotifyPortChanged).
  virtual int AddListener(TspNotifyEvent listener);
  virtual void RemoveListener(TspNotifyEvent listener);
  virtual void NotifyListeners(std::int32_t code);
  int ListenerCount() const { return listeners_.Count(); }

  // ---- Device list: one record per serial port, in ascending port-number order ----
  // Built on the first FillDeviceList, then kept (a cache) until RefreshDevices rebuilds it.
  // A record from GetDevice is valid until the list is cleared; a picker's items hold their
  // records weakly, so a record is never used after its list let go of it. Main thread only.
  int DeviceCount() const { return static_cast<int>(devices_.size()); }
  // The record at `index`, or null outside the list.
  const TspDevice* GetDevice(int index) const;
  // The first index whose record has PortNo `no`, or -1.
  int IndexOfPortNo(std::int32_t no) const;
  // Appends `record` under its Caption, setting its Index and Owner.
  virtual void AddDevice(std::unique_ptr<TspDevice> record);
  virtual void ClearDevices();
  // Appends the ports found on the machine (called on an empty list).
  virtual void EnumDevices() = 0;
  // Builds the list if it is empty; then, with `items`, replaces them by the list's entries.
  virtual void FillDeviceList(TspDeviceItems* items);
  // Tells the listeners the list changed (kNotifyPortChanged); a port component also rebuilds it.
  virtual void RefreshDevices();
  // Tells the listeners (kNotifyPortChanged); a port component also switches to the entry's port.
  virtual void SelectDevice(int index);
  // The index of the entry of the current port, or -1.
  virtual int SelectedDeviceIndex() = 0;
  // A device-change broadcast (WM_DEVICECHANGE, LParam pointing at its DEV_BROADCAST_HDR):
  // true, with the list rebuilt, when it says that devices or ports came or went.
  virtual bool DeviceChanged(const TMessage& message);

  virtual void SendChar(std::uint8_t value) = 0;
  virtual void SendString(std::string_view text) = 0;
  virtual void SendData(const void* buffer, std::uint32_t count) = 0;
  virtual void PurgeInput() = 0;
  virtual void PurgeOutput() = 0;
  virtual void PurgeAll() = 0;

  TspCustomLogFile* Log() const { return log_; }
  void SetLog(TspCustomLogFile* log);

  // Writes a trace line with the log prefix (an empty text writes an empty line); nothing
  // without a Log.
  void LogMessage(int level, std::string_view text);
  void LogFormat(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

  // The terminal: an edit control that shows what the port receives (usage tuReceive, tuBoth)
  // and sends what is typed into it (tuSend, tuBoth; with TerminalEcho the typed characters
  // show too). Setting it hooks the edit's window procedure; clearing it, or the edit's or the
  // port's destruction, unhooks it.
  TCustomEdit* Terminal() const { return terminal_; }
  void SetTerminal(TCustomEdit* edit);
  TTerminalUsage TerminalUsage() const { return terminal_usage_; }
  void SetTerminalUsage(TTerminalUsage value);
  bool TerminalEcho() const { return terminal_echo_; }
  void SetTerminalEcho(bool value) { terminal_echo_ = value; }
  // The hook installed as the terminal's window procedure.
  void TerminalWndProc(TEditMessage& message);
  // Shows a received block in the terminal: one byte as a typed character, more as pieces of
  // text around the NUL bytes (which are dropped). Writes a NUL after the block, so the buffer
  // must have a byte of room after it (the receive buffer has).
  virtual void TerminalWrite(void* buffer, std::uint32_t count);

  // The attached packet processor: sees every received block first and is asked when the
  // output queue runs empty. Setting one attaches it to this port (a processor set before is
  // detached first); setting null detaches it.
  TspAbstractDataProcessor* DataProcessor() const { return data_processor_; }
  void SetDataProcessor(TspAbstractDataProcessor* processor);

  const TOnFatalErrorEvent& OnFatalError() const { return on_fatal_error_; }
  void SetOnFatalError(TOnFatalErrorEvent handler) { on_fatal_error_ = std::move(handler); }
  const TOnReceived& OnAfterReceive() const { return on_after_receive_; }
  void SetOnAfterReceive(TOnReceived handler) { on_after_receive_ = std::move(handler); }
  const TNotifyEvent& OnClose() const { return on_close_; }
  void SetOnClose(TNotifyEvent handler) { on_close_ = std::move(handler); }

  MainThread& Main() const { return main_; }
  const std::shared_ptr<win::SerialApi>& Api() const { return api_; }
  win::HANDLE Handle() const { return handle_.load(); }

 protected:
  virtual void OpenHandle() = 0;
  // Closes the device handle (if open) and marks the component closed.
  virtual void ReleaseHandle();
  // Whether received data has somewhere to go.
  virtual bool HasReceivers() const;
  // The generic worker thread (started only with UseWorkerThread): StartThreads creates it,
  // StopThreads asks it to end and waits until it has (at once when called from the body).
  // A descendant that uses it stops it in its own destructor, before its ThreadBody's state
  // goes. The port component replaces both with its own threads.
  virtual void StartThreads();
  virtual void StopThreads();
  virtual void ThreadBody(TspThreadIO& thread);
  bool UseWorkerThread() const { return use_worker_thread_; }
  void SetUseWorkerThread(bool value) { use_worker_thread_ = value; }
  // Hands one received block to its consumers: the data processor, the terminal (unless the
  // processor handled the block), OnAfterReceive. Any of them may destroy the component.
  virtual void DataReceived(void* buffer, std::uint32_t count);
  // Whether the attached data processor took care of the output queue running empty. The
  // processor may destroy the component.
  virtual bool TxEmptyHandled();

  void Loaded() override;
  void Notification(TComponent* component, TOperation operation) override;

  MainThread& main_;
  const std::shared_ptr<win::SerialApi> api_;
  std::atomic<win::HANDLE> handle_;
  std::string log_prefix_;
  // Before the handle is closed: a SendData write still in flight is cancelled and waited for,
  // since the driver writes its outcome into the block when it ends, and a cancelled write may
  // end after the cancel returned. One that does not end within a grace time is left with its
  // block: the block is never freed (a new one takes its place), so nothing writes into freed
  // memory, and closing never hangs.
  void FinishBlockWrite(win::HANDLE handle);

  // The read, write and block-write control blocks. The first two own auto-reset events; the
  // block-write block owns a manual-reset one, so a later send can wait for a pending one. It
  // lives on the heap, so it can outlive the component when the driver does not let go of it.
  win::OVERLAPPED read_overlapped_{};
  win::OVERLAPPED write_overlapped_{};
  win::OVERLAPPED* block_write_overlapped_ = nullptr;

  // Lives exactly as long as the component; code that calls a handler and then goes on holds
  // a weak reference to it, since the handler may destroy the component.
  const std::shared_ptr<char> lifetime_ = std::make_shared<char>();

 private:
  friend class TspThreadIO;

  struct DeviceEntry {
    std::string text;
    std::shared_ptr<TspDevice> record;  // the only owner
  };

  bool stored_active_ = false;
  TspNotifyList listeners_;
  std::vector<DeviceEntry> devices_;
  TspCustomLogFile* log_ = nullptr;
  TOnFatalErrorEvent on_fatal_error_;
  TOnReceived on_after_receive_;
  TNotifyEvent on_close_;

  TCustomEdit* terminal_ = nullptr;
  TCustomEdit::TWndMethod terminal_saved_proc_;  // the edit's procedure while hooked
  TCustomEdit* terminal_output_ = nullptr;       // where received blocks go, if anywhere
  TTerminalUsage terminal_usage_ = tuNone;
  bool terminal_echo_ = false;
  bool in_terminal_write_ = false;

  TspAbstractDataProcessor* data_processor_ = nullptr;

  bool use_worker_thread_ = false;
  std::atomic<bool> worker_stopping_{true};
  std::unique_ptr<TspThreadIO> worker_;
};

}  // namespace veldoran::serial
