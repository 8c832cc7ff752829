// The serial port component. TspCustomComm holds the line settings, the worker threads and the
// send operations; TspCustomSerialComm adds the COM port number and opening of the COM device;
// TspComm publishes the properties.
//
// Threads: property writes, Open, Close and sending run on the main thread. While the port is
// open an event thread waits for driver events and a message thread hands each one to
// ProcessCommEvent, on the main thread when UseMainThread is true (the default), so
// OnAfterReceive, OnAfterSend, OnCommError and OnTraceState run there one at a time. With
// UseMainThread false they run on the message thread: set the handlers before opening, and do
// not make them wait for the main thread while it may be closing the port.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/device_setup_api.h"
#include "platform/registry_api.h"
#include "ports/device_info.h"
#include "serial/comm_threads.h"
#include "serial/spclasses.h"

namespace veldoran::serial {

class TspCustomComm : public TspBaseIO {
 public:
  TspCustomComm(TComponent* owner, MainThread& main, std::shared_ptr<win::SerialApi> api);
  ~TspCustomComm() override;

  void Open() override;
  void Close() override;
  // Releases the port: stops the threads, (orderly: purges unsent output and clears the event
  // mask), closes the handle, fires OnClose and notifies the listeners with kNotifyClosed.
  void Shutdown(bool orderly);

  virtual std::string GetDeviceName() const;
  // Pushes queue sizes, time-outs and the DCB to the open port.
  virtual void ApplySettings();
  // Rebuilds the flow-control part of the DCB and hands the DCB to the open port.
  void ApplyDCB();

  // Line settings.
  std::uint32_t BaudRate() const { return config_.dcb.BaudRate; }
  void SetBaudRate(std::uint32_t value);
  TParity Parity() const { return static_cast<TParity>(config_.dcb.Parity); }
  void SetParity(TParity value);
  TStopBits StopBits() const { return static_cast<TStopBits>(config_.dcb.StopBits); }
  void SetStopBits(TStopBits value);
  std::uint8_t ByteSize() const { return config_.dcb.ByteSize; }
  void SetByteSize(std::uint8_t value);  // below 4 or above 8 stores 8
  // The event character (DCB.EvtChar), read and written through virtual accessors.
  char EventChar() const { return GetEventChar(); }
  virtual void SetEventChar(char value);
  virtual char GetEventChar() const { return config_.dcb.EvtChar; }
  TStreamProtocol StreamProtocol() const { return stream_protocol_; }
  void SetStreamProtocol(TStreamProtocol value);
  bool RS485Mode() const { return rs485_mode_; }
  void SetRS485Mode(bool value);

  TTraceStates TraceStates() const { return TTraceStates::FromBits(trace_states_.load()); }
  void SetTraceStates(TTraceStates value);
  // Current modem inputs; empty while closed or when they cannot be read.
  TModemSignals ModemSignals() const;

  std::uint16_t BufferInSize() const { return buffer_in_size_; }
  void SetBufferInSize(std::uint16_t value);
  std::uint16_t BufferOutSize() const { return buffer_out_size_; }
  void SetBufferOutSize(std::uint16_t value);
  std::uint32_t TimeoutRead();  // refreshed from the driver while open
  void SetTimeoutRead(std::uint32_t value);
  std::uint32_t TimeoutWrite();  // milliseconds per byte written
  void SetTimeoutWrite(std::uint32_t value);
  // The whole time-out block; applied at once while open.
  void SetTimeouts(const win::COMMTIMEOUTS& timeouts);

  bool UseMainThread() const { return use_main_thread_; }
  void SetUseMainThread(bool value);

  TControl* MonitorCTS() const { return monitor_cts_; }
  void SetMonitorCTS(TControl* control);
  TControl* MonitorDSR() const { return monitor_dsr_; }
  void SetMonitorDSR(TControl* control);
  TControl* MonitorRLSD() const { return monitor_rlsd_; }
  void SetMonitorRLSD(TControl* control);
  TControl* MonitorRing() const { return monitor_ring_; }
  void SetMonitorRing(TControl* control);

  const TOnSent& OnAfterSend() const { return on_after_send_; }
  void SetOnAfterSend(TOnSent handler) { on_after_send_ = std::move(handler); }
  const TOnTraceEvent& OnTraceState() const { return on_trace_state_; }
  void SetOnTraceState(TOnTraceEvent handler) { on_trace_state_ = std::move(handler); }
  const TOnCommErrorEvent& OnCommError() const { return on_comm_error_; }
  void SetOnCommError(TOnCommErrorEvent handler) { on_comm_error_ = std::move(handler); }

  // Sending: nothing happens on a closed port; failures go to CommError.
  void SendChar(std::uint8_t value) override;
  void SendString(std::string_view text) override;
  // Returns without waiting for the bytes to leave: `buffer` must stay valid and unchanged
  // until the output queue has drained. A later SendData first waits for a pending one.
  void SendData(const void* buffer, std::uint32_t count) override;
  void PurgeInput() override;
  void PurgeOutput() override;
  void PurgeAll() override;
  void SetDTR(bool on);
  void SetRTS(bool on);

  // Reports a communication error: OnCommError, and a purge of both queues if it asks.
  virtual void CommError(std::uint32_t comm_code, std::uint32_t sys_error, TComStateFlags state);
  // Refreshes the monitor controls and fires OnTraceState.
  void TraceNotify(TObject* com, TTraceStates event);

  // Handles one port event (a spCommMsgComEvent message).
  void ProcessCommEvent(const TMessage& message);
  // Reads `count` bytes through the read control block; `read` gets the number read. The
  // message thread reads received blocks through the same control block: with UseMainThread
  // false a caller's read (after WaitForInput, say) may run at the same time as one of the
  // message thread's, which neither the bytes nor the block survive. That combination is the
  // caller's to keep apart, e.g. by reading only from the handlers, or with UseMainThread true.
  bool ReadBytes(void* buffer, std::uint32_t count, std::uint32_t* read = nullptr);

  // Device checks, for the main thread. While they wait they let it process its messages, so
  // port events are delivered meanwhile; received bytes are left in the driver's queue for
  // the caller (and handed to the receivers afterwards if the caller leaves any). A handler
  // that destroys the component ends the wait with false. With UseMainThread false, see
  // ReadBytes before reading what the wait found.
  // True once the input queue holds at least `count` bytes, within `timeout_ms`.
  bool WaitForInput(std::uint32_t count, std::uint32_t timeout_ms);
  // True once the modem input at bit `signal_index` of ModemSignals (0 CTS, 1 DSR, 2 ring,
  // 3 RLSD) is on, within `timeout_ms`; an index above 7 never is.
  bool WaitForSignal(std::uint32_t signal_index, std::uint32_t timeout_ms);

  const win::DCB& Dcb() const { return config_.dcb; }
  const win::COMMTIMEOUTS& Timeouts() const { return timeouts_; }
  // The message of the last failed open.
  const std::string& LastErrorText() const { return last_error_text_; }
  // Whether the component drives RTS itself around transmissions in RS485 mode.
  bool SoftwareRts() const { return software_rts_; }
  // The event mask the driver is given for the current settings.
  win::DWORD EventMask() const;
  // The receive buffer's size while open (the larger of BufferInSize and 8192), else 0.
  std::size_t ReceiveBufferSize() const;

  // The message thread hands a message over here (with the component's lock held). Nothing
  // thrown while it is handled comes out: what event processing does not report is shown.
  void HandleThreadMessage(const TMessage& message);

 protected:
  void StartThreads() override;
  void StopThreads() override;
  void Notification(TComponent* component, TOperation operation) override;

  win::COMMCONFIG config_{};

 private:
  void SetMonitor(TControl*& slot, TControl* control);
  void WriteBlocking(const void* data, std::uint32_t count);

 protected:
  // Whether the component was destroyed meanwhile (by a handler).
  static bool Gone(const std::weak_ptr<char>& alive) { return alive.expired(); }
  // The lock the message thread holds while it hands an event to the component.
  std::recursive_mutex& LinkMutex() const { return *link_mutex_; }
  // Keeps received bytes in the driver's queue for a device check that reads them itself: the
  // event processing does not read while one is held. Releasing the last hold hands bytes
  // still queued to the receivers.
  class InputHold {
   public:
    explicit InputHold(TspCustomComm& comm);
    ~InputHold();
    InputHold(const InputHold&) = delete;
    InputHold& operator=(const InputHold&) = delete;

   private:
    TspCustomComm& comm_;
    std::weak_ptr<char> alive_;
  };
  // Sleeps on the main thread without processing messages (the Win32 Sleep).
  static void Pause(std::uint32_t milliseconds);

 private:
  win::COMMTIMEOUTS timeouts_{};
  win::COMSTAT comstat_{};
  std::uint16_t buffer_in_size_ = 8192;
  std::uint16_t buffer_out_size_ = 8192;
  std::atomic<std::uint16_t> trace_states_{0};
  bool rs485_mode_ = false;
  TStreamProtocol stream_protocol_ = spHardware;
  std::atomic<bool> use_main_thread_{true};
  const bool software_rts_;
  TControl* monitor_cts_ = nullptr;
  TControl* monitor_dsr_ = nullptr;
  TControl* monitor_rlsd_ = nullptr;
  TControl* monitor_ring_ = nullptr;
  TOnSent on_after_send_;
  TOnTraceEvent on_trace_state_;
  TOnCommErrorEvent on_comm_error_;
  std::string last_error_text_;

  const std::shared_ptr<std::recursive_mutex> link_mutex_;
  std::shared_ptr<detail::CommSession> session_;
  std::shared_ptr<std::vector<char>> receive_buffer_;
  std::atomic<int> input_holds_{0};
};

using ports::epFullInfo;
using ports::epFullPresent;
using ports::epQuickAll;
using ports::TspEnumPorts;

class TspCustomSerialComm : public TspCustomComm {
 public:
  // `registry` and `setup` are the registry and device-setup interfaces the component uses for
  // stored settings and port enumeration; null: the system's, taken when first needed.
  TspCustomSerialComm(TComponent* owner, MainThread& main,
                      std::shared_ptr<win::SerialApi> api = win::SystemSerialApi(),
                      std::shared_ptr<win::RegistryApi> registry = nullptr,
                      std::shared_ptr<win::DeviceSetupApi> setup = nullptr);

  // Port n is the device COM<n>. A write closes an open port, stores the number, reopens it,
  // and notifies the listeners with kNotifyPortChanged (not when the reopen fails).
  std::uint16_t ComPortNo() const { return com_port_no_; }
  void SetComPortNo(std::uint16_t value);
  TComPort ComPort() const;
  void SetComPort(TComPort value);  // cpCOMxx changes nothing

  std::string GetDeviceName() const override;

  // The port number and line settings as one 49-byte binary value `value_name` of the key
  // `key` below `root_key` (created where missing): the low 8 bits of ComPortNo, the DCB and
  // the time-outs, little-endian, the same on every platform. Failures raise "Error on save
  // config information from registry" / "Error on load config information from registry"
  // through FatalError. A load writes ComPortNo (reopening an open port on the new number),
  // the line settings and the time-outs; a value that is missing, of another size, or whose
  // line settings no port can have changes nothing.
  virtual void SaveToRegistry(win::HKEY root_key, const std::string& key,
                              const std::string& value_name);
  virtual void LoadFromRegistry(win::HKEY root_key, const std::string& key,
                                const std::string& value_name);

  // Raises DTR and waits up to 200 ms for the device to raise DSR; then raises RTS. Without
  // DSR: "Device Connect Initialization Error" through FatalError. Nothing on a closed port.
  virtual void TestConnection();
  // Reads the serial plug-and-play identification of the attached device (opening the port
  // if needed): the DTR/RTS handshake at 1200 baud 7N1, then the text from its start byte to
  // its end byte, "(" ... ")" or 08h ... 09h. Empty when the device sends nothing or no start
  // byte. The port's settings are restored and it is left open or closed as it was (reopened
  // if it was open); without DSR, "Device Connect Initialization Error" is raised and the port
  // stays open.
  virtual void ReadPnPId(std::string& id);

  // How EnumDevices builds the device list; takes effect at the next enumeration.
  TspEnumPorts EnumPorts() const { return enum_ports_; }
  void SetEnumPorts(TspEnumPorts value) { enum_ports_ = value; }

  // The ports of the serial-port map, in number order (in the full modes with what the device
  // scan found about each).
  void EnumDevices() override;
  // Clears the list, enumerates anew and tells the listeners.
  void RefreshDevices() override;
  // Switches to the port of entry `index` (a ComPortNo write: an open port is closed and
  // reopened there, even on the same number); nothing outside the list.
  void SelectDevice(int index) override;
  int SelectedDeviceIndex() override;

  const std::shared_ptr<win::RegistryApi>& Registry();
  const std::shared_ptr<win::DeviceSetupApi>& DeviceSetup();

 protected:
  void OpenHandle() override;

 private:
  std::uint16_t com_port_no_ = 1;
  TspEnumPorts enum_ports_ = epQuickAll;
  std::shared_ptr<win::RegistryApi> registry_;
  std::shared_ptr<win::DeviceSetupApi> setup_;
};

class TspComm : public TspCustomSerialComm {
 public:
  using TspCustomSerialComm::TspCustomSerialComm;
};

}  // namespace veldoran::serial
