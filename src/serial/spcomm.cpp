#include "serial/spcomm.h"

#include <algorithm>

namespace veldoran::serial {

using win::DWORD;
namespace dcbflag = win::dcbflag;

namespace {

constexpr std::size_t kMinReceiveBuffer = 8192;

// How many times one event looks again for input that arrived during its delivery.
constexpr int kDeliveryRounds = 16;

TComStateFlags StateFlags(const win::COMSTAT& status) {
  return TComStateFlags::FromBits(static_cast<std::uint8_t>(status.Flags & 0x7F));
}

TTraceStates EventWordToTraceStates(DWORD word) {
  static constexpr struct {
    DWORD bit;
    TTraceState state;
  } kMap[] = {
      {win::EV_RXFLAG, tsRxFlag}, {win::EV_CTS, tsCTS},           {win::EV_DSR, tsDSR},
      {win::EV_RLSD, tsRLSD},     {win::EV_BREAK, tsBreak},       {win::EV_ERR, tsErr},
      {win::EV_RING, tsRing},     {win::EV_RX80FULL, tsRx80Full}, {win::EV_EVENT1, tsEvent1},
      {win::EV_EVENT2, tsEvent2},
  };
  TTraceStates states;
  for (const auto& entry : kMap) {
    if (word & entry.bit) states.Include(entry.state);
  }
  return states;
}

// The message of the exception being handled.
std::string CurrentExceptionText() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown exception";
  }
}

}  // namespace

// --- construction and destruction ---

TspCustomComm::TspCustomComm(TComponent* owner, MainThread& main,
                             std::shared_ptr<win::SerialApi> api)
    : TspBaseIO(owner, main, std::move(api)),
      software_rts_(!api_->DriverTogglesRts()),
      link_mutex_(std::make_shared<std::recursive_mutex>()) {
  timeouts_.WriteTotalTimeoutMultiplier = 100;
  config_.dwSize = sizeof(win::COMMCONFIG);
  config_.dcb.DCBlength = sizeof(win::DCB);
}

TspCustomComm::~TspCustomComm() {
  SetTerminal(nullptr);
  SetDataProcessor(nullptr);
  on_trace_state_ = nullptr;
  Close();
}

// --- line settings ---

void TspCustomComm::ApplyDCB() {
  win::DCB& dcb = config_.dcb;
  dcb.DCBlength = sizeof(win::DCB);
  dcb.Flags &= 0x4CEA;
  if (rs485_mode_) {
    dcb.Flags |= 0x3011;
  } else if (stream_protocol_ == spNone) {
    dcb.Flags |= 0x1011;
  } else if (stream_protocol_ == spXonXoff) {
    dcb.Flags |= 0x1311;
  } else {
    dcb.Flags |= 0x2015;
  }
  dcb.XonLim = 2048;
  dcb.XoffLim = 2048;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  if (IsOpen()) api_->SetCommState(Handle(), &dcb);
}

void TspCustomComm::SetBaudRate(std::uint32_t value) {
  config_.dcb.BaudRate = value;
  ApplyDCB();
}

void TspCustomComm::SetParity(TParity value) {
  config_.dcb.Parity = value;
  if (value != pNone) {
    config_.dcb.Flags |= dcbflag::fParity;
  } else {
    config_.dcb.Flags &= ~dcbflag::fParity;
  }
  ApplyDCB();
}

void TspCustomComm::SetStopBits(TStopBits value) {
  config_.dcb.StopBits = value;
  ApplyDCB();
}

void TspCustomComm::SetByteSize(std::uint8_t value) {
  config_.dcb.ByteSize = (value < 4 || value > 8) ? 8 : value;
  ApplyDCB();
}

void TspCustomComm::SetEventChar(char value) {
  config_.dcb.EvtChar = value;
  ApplyDCB();
}

void TspCustomComm::SetStreamProtocol(TStreamProtocol value) {
  stream_protocol_ = value;
  ApplyDCB();
}

void TspCustomComm::SetRS485Mode(bool value) {
  rs485_mode_ = value;
  ApplyDCB();
  // The event mask must follow: in RS485 mode with software RTS the transmit-empty event is
  // what drops RTS again after a send.
  if (IsOpen()) SetTraceStates(TraceStates());
}

DWORD TspCustomComm::EventMask() const {
  const TTraceStates states = TraceStates();
  DWORD mask = win::EV_RXCHAR;
  static constexpr struct {
    TTraceState state;
    DWORD bit;
  } kMap[] = {
      {tsRxFlag, win::EV_RXFLAG}, {tsTxEmpty, win::EV_TXEMPTY}, {tsCTS, win::EV_CTS},
      {tsDSR, win::EV_DSR},       {tsRLSD, win::EV_RLSD},       {tsBreak, win::EV_BREAK},
      {tsErr, win::EV_ERR},       {tsRing, win::EV_RING},       {tsRx80Full, win::EV_RX80FULL},
      {tsEvent1, win::EV_EVENT1}, {tsEvent2, win::EV_EVENT2},
  };
  for (const auto& entry : kMap) {
    if (states.Contains(entry.state)) mask |= entry.bit;
  }
  if (rs485_mode_ && software_rts_) mask |= win::EV_TXEMPTY;
  return mask;
}

void TspCustomComm::SetTraceStates(TTraceStates value) {
  trace_states_ = value.ToBits();
  if (IsOpen()) {
    api_->SetCommMask(Handle(), 0);
    api_->SetCommMask(Handle(), EventMask());
  }
}

TModemSignals TspCustomComm::ModemSignals() const {
  TModemSignals signals;
  DWORD status = 0;
  if (!IsOpen() || !api_->GetCommModemStatus(Handle(), &status)) return signals;
  if (status & win::MS_CTS_ON) signals.Include(msCTS);
  if (status & win::MS_DSR_ON) signals.Include(msDSR);
  if (status & win::MS_RING_ON) signals.Include(msRing);
  if (status & win::MS_RLSD_ON) signals.Include(msRLSD);
  return signals;
}

void TspCustomComm::SetBufferInSize(std::uint16_t value) {
  buffer_in_size_ = value;
  if (IsOpen()) api_->SetupComm(Handle(), buffer_in_size_, buffer_out_size_);
}

void TspCustomComm::SetBufferOutSize(std::uint16_t value) {
  buffer_out_size_ = value;
  if (IsOpen()) api_->SetupComm(Handle(), buffer_in_size_, buffer_out_size_);
}

std::uint32_t TspCustomComm::TimeoutRead() {
  if (IsOpen()) api_->GetCommTimeouts(Handle(), &timeouts_);
  return timeouts_.ReadTotalTimeoutMultiplier;
}

void TspCustomComm::SetTimeoutRead(std::uint32_t value) {
  timeouts_.ReadTotalTimeoutMultiplier = value;
  if (IsOpen()) api_->SetCommTimeouts(Handle(), &timeouts_);
}

std::uint32_t TspCustomComm::TimeoutWrite() {
  if (IsOpen()) api_->GetCommTimeouts(Handle(), &timeouts_);
  return timeouts_.WriteTotalTimeoutMultiplier;
}

void TspCustomComm::SetTimeoutWrite(std::uint32_t value) {
  timeouts_.WriteTotalTimeoutMultiplier = value;
  if (IsOpen()) api_->SetCommTimeouts(Handle(), &timeouts_);
}

void TspCustomComm::SetTimeouts(const win::COMMTIMEOUTS& timeouts) {
  timeouts_ = timeouts;
  if (IsOpen()) api_->SetCommTimeouts(Handle(), &timeouts_);
}

void TspCustomComm::SetUseMainThread(bool value) {
  use_main_thread_ = value;
  std::lock_guard lock(*link_mutex_);
  if (session_) session_->use_main_thread = value;
}

std::size_t TspCustomComm::ReceiveBufferSize() const {
  return receive_buffer_ ? receive_buffer_->size() - 1 : 0;
}

// --- monitors and references ---

void TspCustomComm::SetMonitor(TControl*& slot, TControl* control) {
  slot = control;
  if (control) FreeNotification(control);
}

void TspCustomComm::SetMonitorCTS(TControl* control) { SetMonitor(monitor_cts_, control); }
void TspCustomComm::SetMonitorDSR(TControl* control) { SetMonitor(monitor_dsr_, control); }
void TspCustomComm::SetMonitorRLSD(TControl* control) { SetMonitor(monitor_rlsd_, control); }
void TspCustomComm::SetMonitorRing(TControl* control) { SetMonitor(monitor_ring_, control); }

void TspCustomComm::Notification(TComponent* component, TOperation operation) {
  TspBaseIO::Notification(component, operation);
  if (operation != TOperation::opRemove) return;
  for (TControl** slot : {&monitor_cts_, &monitor_dsr_, &monitor_rlsd_, &monitor_ring_}) {
    if (*slot == component) *slot = nullptr;
  }
}

// --- open and close ---

std::string TspCustomComm::GetDeviceName() const { return "Unknown"; }

void TspCustomComm::Open() {
  const std::weak_ptr<char> alive = lifetime_;
  Close();
  if (Gone(alive)) return;  // OnTraceState destroyed the component
  OpenHandle();
  if (!IsOpen()) {
    const DWORD error = api_->GetLastError();
    last_error_text_ =
        "Device \"" + GetDeviceName() + "\" Open Error !!!\r" + api_->SysErrorMessage(error);
    FatalError(1, 0, last_error_text_, false);
    return;
  }
  {
    std::lock_guard lock(*link_mutex_);
    // One byte more than the largest block, for consumers that end a block with a NUL.
    receive_buffer_ = std::make_shared<std::vector<char>>(
        std::max<std::size_t>(buffer_in_size_, kMinReceiveBuffer) + 1, '\0');
  }
  LogFormat(0, "The port %s is opened succesfully", GetDeviceName().c_str());
  ApplySettings();
  SetTraceStates(TraceStates());
  StartThreads();
  NotifyListeners(kNotifyOpened);
}

void TspCustomComm::ApplySettings() {
  api_->ClearCommError(Handle(), nullptr, nullptr);
  api_->SetupComm(Handle(), buffer_in_size_, buffer_out_size_);
  api_->SetCommTimeouts(Handle(), &timeouts_);
  ApplyDCB();
}

void TspCustomComm::Close() {
  const std::weak_ptr<char> alive = lifetime_;  // OnClose, a listener may destroy the component
  if (IsOpen()) {
    try {
      Shutdown(true);
      if (Gone(alive)) return;
      LogMessage(0, "The port is closed succesfully");
    } catch (...) {
      if (Gone(alive)) return;
      // The handle is released all the same, and OnClose told if that had not happened yet.
      bool released = false;
      {
        std::lock_guard lock(*link_mutex_);
        StopThreads();
        receive_buffer_.reset();
        released = IsOpen();
        ReleaseHandle();
      }
      try {
        if (released && OnClose()) OnClose()(this);
      } catch (...) {
      }
    }
  }
  TraceNotify(this, TTraceStates{tsTxEmpty});
}

void TspCustomComm::Shutdown(bool orderly) {
  const std::weak_ptr<char> alive = lifetime_;
  {
    // Held through the lock: the purge may run OnTraceState (RS485), which may destroy the
    // component; its destructor then finishes the release.
    const std::shared_ptr<std::recursive_mutex> mutex = link_mutex_;
    std::lock_guard lock(*mutex);
    if (!IsOpen()) return;
    StopThreads();
    if (orderly) {
      DWORD errors = 0;
      win::COMSTAT status{};
      if (api_->ClearCommError(Handle(), &errors, &status) && status.cbOutQue > 0) {
        PurgeAll();
        if (Gone(alive)) return;
      }
      api_->SetCommMask(Handle(), 0);
    }
    receive_buffer_.reset();
    ReleaseHandle();
  }
  try {
    if (OnClose()) OnClose()(this);
  } catch (...) {
  }
  if (alive.expired()) return;
  NotifyListeners(kNotifyClosed);
}

void TspCustomComm::StartThreads() {
  std::lock_guard lock(*link_mutex_);
  if (session_) return;
  auto session = std::make_shared<detail::CommSession>(api_, main_.Queue(), Handle(), link_mutex_,
                                                       this, use_main_thread_);
  try {
    detail::StartCommThreads(session);
  } catch (...) {
    session->Stop();
    throw;
  }
  session_ = std::move(session);
}

void TspCustomComm::StopThreads() {
  std::lock_guard lock(*link_mutex_);
  if (!session_) return;
  session_->Stop();
  session_.reset();
}

// --- event processing ---

void TspCustomComm::HandleThreadMessage(const TMessage& message) {
  MainThread& main = main_;  // outlives the component, which a handler may destroy
  try {
    if (message.Msg == detail::kMsgPortBroken) {
      Shutdown(false);
    } else {
      ProcessCommEvent(message);
    }
  } catch (...) {
    // What event processing does not report itself (an exception of no std::exception type,
    // one from a listener or from OnFatalError) ends here: it must neither end the message
    // thread nor run into the main thread's event loop. It is shown, and delivery goes on.
    main.ShowException(CurrentExceptionText());
  }
}

bool TspCustomComm::ReadBytes(void* buffer, std::uint32_t count, std::uint32_t* read) {
  DWORD done = 0;
  win::ResetOverlapped(read_overlapped_);
  bool ok = api_->ReadFile(Handle(), buffer, count, &done, &read_overlapped_) != 0;
  if (!ok && api_->GetLastError() == win::ERROR_IO_PENDING) {
    ok = api_->GetOverlappedResult(Handle(), &read_overlapped_, &done, win::TRUE) != 0;
  }
  if (read) *read = ok ? done : 0;
  return ok;
}

void TspCustomComm::ProcessCommEvent(const TMessage& message) {
  if (message.Msg != spCommMsgComEvent) return;
  const DWORD mask = message.WParam;
  // Keeps the buffer alive even if a handler closes the port while it holds the block.
  const std::shared_ptr<std::vector<char>> buffer = receive_buffer_;
  // A handler may destroy the component: after each one, look before touching it again.
  const std::weak_ptr<char> alive = lifetime_;
  try {
    DWORD errors = 0;
    // Fails when the port was closed after the event was posted: nothing to deliver then.
    if (!buffer || !api_->ClearCommError(Handle(), &errors, &comstat_)) return;
    if (errors != 0) {
      CommError(errors, 0,
                TComStateFlags::FromBits(static_cast<std::uint8_t>(comstat_.Flags & 0x7F)));
      return;
    }
    if ((mask & win::EV_RXCHAR) && comstat_.cbInQue > 0 && input_holds_ == 0 &&
        (TraceStates().Contains(tsRxChar) || HasReceivers())) {
      // More than the buffer holds is delivered in several blocks; a block is never larger
      // than the buffer, and only bytes actually read are delivered. Input that arrived
      // while a block was handled goes out with this event too (a few rounds at most), so a
      // steady stream does not cost a thread hand-over per driver buffer.
      const std::uint32_t capacity = static_cast<std::uint32_t>(buffer->size() - 1);
      std::uint32_t left = comstat_.cbInQue;
      for (int round = 1; left > 0;) {
        std::uint32_t got = 0;
        if (!ReadBytes(buffer->data(), std::min(left, capacity), &got) || got == 0) break;
        DataReceived(buffer->data(), got);
        // A handler that closed the port (or destroyed the component) ends the delivery with
        // this block.
        if (alive.expired() || receive_buffer_ != buffer) return;
        left -= std::min(got, left);
        if (left == 0 && round++ < kDeliveryRounds) {
          if (!api_->ClearCommError(Handle(), &errors, &comstat_)) break;
          if (errors != 0) {
            // Reported, and the reading ends; the rest of this event is still handled.
            CommError(errors, 0, StateFlags(comstat_));
            if (alive.expired() || receive_buffer_ != buffer) return;
            break;
          }
          left = comstat_.cbInQue;
        }
      }
    }
    if (mask & win::EV_TXEMPTY) {
      if (rs485_mode_ && software_rts_) SetRTS(false);
      if (alive.expired()) return;
      if (TraceStates().Contains(tsTxEmpty)) {
        const bool handled = TxEmptyHandled();
        if (alive.expired()) return;
        if (!handled && on_after_send_) {
          on_after_send_(this);
          if (alive.expired()) return;
        }
      }
    }
    const TTraceStates states = EventWordToTraceStates(mask);
    if (!states.Empty()) TraceNotify(this, states);
  } catch (const std::exception& e) {
    if (alive.expired()) throw;  // nothing left to report it through
    FatalError(1, api_->GetLastError(), e.what(), true);
  }
}

// --- sending, purging, line control ---

void TspCustomComm::WriteBlocking(const void* data, std::uint32_t count) {
  if (rs485_mode_ && software_rts_) {
    const std::weak_ptr<char> alive = lifetime_;  // OnTraceState may destroy the component
    SetRTS(true);
    if (Gone(alive)) return;
  }
  win::ResetOverlapped(write_overlapped_);
  DWORD written = 0;
  bool ok = api_->WriteFile(Handle(), data, count, &written, &write_overlapped_) != 0;
  if (!ok && api_->GetLastError() == win::ERROR_IO_PENDING) {
    ok = api_->GetOverlappedResult(Handle(), &write_overlapped_, &written, win::TRUE) != 0;
  }
  if (!ok) {
    CommError(0, api_->GetLastError(), {});
  } else if (written < count) {
    // The driver ended the write at its time-out: the rest of the bytes never went out.
    CommError(0, win::ERROR_TIMEOUT, {});
  }
}

void TspCustomComm::SendString(std::string_view text) {
  if (!IsOpen() || text.empty()) return;
  if (Log()) LogFormat(2, "Try to send string %s ...", std::string(text).c_str());
  WriteBlocking(text.data(), static_cast<std::uint32_t>(text.size()));
}

void TspCustomComm::SendChar(std::uint8_t value) {
  if (!IsOpen()) return;
  LogFormat(2, "Try to send char %2Xh ...", static_cast<unsigned>(value));
  WriteBlocking(&value, 1);
}

void TspCustomComm::SendData(const void* buffer, std::uint32_t count) {
  if (!IsOpen()) return;
  LogFormat(2, "Try to send the data with %d length ...", static_cast<int>(count));
  if (rs485_mode_ && software_rts_) {
    const std::weak_ptr<char> alive = lifetime_;  // OnTraceState may destroy the component
    SetRTS(true);
    if (Gone(alive)) return;
  }
  // The block is reused: a write still in flight on it is waited for first.
  win::OVERLAPPED& block = *block_write_overlapped_;
  DWORD done = 0;
  if (!api_->GetOverlappedResult(Handle(), &block, &done, win::FALSE) &&
      api_->GetLastError() == win::ERROR_IO_INCOMPLETE) {
    api_->GetOverlappedResult(Handle(), &block, &done, win::TRUE);
  }
  win::ResetOverlapped(block);
  api_->ResetEvent(block.hEvent);
  const bool accepted = api_->WriteFile(Handle(), buffer, count, nullptr, &block) != 0 ||
                        api_->GetLastError() == win::ERROR_IO_PENDING;
  if (accepted) {
    LogMessage(2, "... the data transmittion is OK!");
  } else {
    CommError(0, api_->GetLastError(), {});
  }
}

void TspCustomComm::CommError(std::uint32_t comm_code, std::uint32_t sys_error,
                              TComStateFlags state) {
  const std::weak_ptr<char> alive = lifetime_;  // the handlers may destroy the component
  if (rs485_mode_ && software_rts_) {
    SetRTS(false);
    if (Gone(alive)) return;
  }
  bool flush = false;
  LogFormat(1, "Communication Error %d:%d", static_cast<int>(comm_code),
            static_cast<int>(sys_error));
  if (on_comm_error_) on_comm_error_(this, comm_code, sys_error, state, flush);
  if (flush && !alive.expired()) PurgeAll();
}

void TspCustomComm::PurgeInput() {
  if (!IsOpen()) return;
  api_->PurgeComm(Handle(), win::PURGE_RXABORT | win::PURGE_RXCLEAR);
}

void TspCustomComm::PurgeOutput() {
  if (!IsOpen()) return;
  api_->PurgeComm(Handle(), win::PURGE_TXABORT | win::PURGE_TXCLEAR);
  if (rs485_mode_ && software_rts_) SetRTS(false);
}

void TspCustomComm::PurgeAll() {
  if (!IsOpen()) return;
  api_->PurgeComm(
      Handle(), win::PURGE_TXABORT | win::PURGE_RXABORT | win::PURGE_TXCLEAR | win::PURGE_RXCLEAR);
  api_->CancelIo(Handle());
  if (rs485_mode_ && software_rts_) SetRTS(false);
}

void TspCustomComm::SetDTR(bool on) {
  if (!IsOpen()) return;
  api_->EscapeCommFunction(Handle(), on ? win::SETDTR : win::CLRDTR);
  TraceNotify(this, TTraceStates{tsDSR});
}

void TspCustomComm::SetRTS(bool on) {
  if (!IsOpen()) return;
  api_->EscapeCommFunction(Handle(), on ? win::SETRTS : win::CLRRTS);
  TraceNotify(this, TTraceStates{tsCTS});
}

void TspCustomComm::TraceNotify(TObject* com, TTraceStates event) {
  const TModemSignals signals = ModemSignals();
  if (monitor_cts_) monitor_cts_->SetChecked(signals.Contains(msCTS));
  if (monitor_dsr_) monitor_dsr_->SetChecked(signals.Contains(msDSR));
  if (monitor_rlsd_) monitor_rlsd_->SetChecked(signals.Contains(msRLSD));
  if (event.Contains(tsRing) && monitor_ring_) monitor_ring_->SetChecked(true);
  if (on_trace_state_) on_trace_state_(com, event);
}

}  // namespace veldoran::serial
