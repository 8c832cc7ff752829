#include "platform/fake/fake_serial.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace veldoran::win {

struct FakeSerialDriver::Port {
  std::string name;
  bool open = false;
  bool unplugged = false;
  bool waits_still_pend = false;  // unplugged, but new waits are taken (and end aborted)
  std::string input;
  std::string output;
  WriteHook hook;
  DWORD modem = 0;
  DWORD line_errors = 0;
  DWORD history = 0;  // events that happened while no wait was pending
  DWORD* wait_word = nullptr;
  OVERLAPPED* wait_overlapped = nullptr;
  std::thread::id wait_thread;
  std::vector<PendingWrite> pending_writes;
  bool stalled = false;
  FakePortInfo info;
  std::optional<FakePnPDevice> pnp;
  int rts_rises = 0;  // seen by the plug-and-play device
};

struct FakeSerialDriver::PortHandle : Object {
  FakeSerialDriver* driver;
  Port* port;
  PortHandle(FakeSerialDriver* d, Port* p) : driver(d), port(p) {}
  void OnClose() override {
    std::lock_guard lock(driver->mutex_);
    driver->ClosePort(*port);
  }
};

namespace {

// "\\?\COM3", "\\.\com3" and "COM3" all name the port COM3.
std::string PortName(std::string_view path) {
  if (path.size() > 4 && path[0] == '\\' && path[1] == '\\' && (path[2] == '?' || path[2] == '.') &&
      path[3] == '\\') {
    path.remove_prefix(4);
  }
  std::string name(path);
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

}  // namespace

FakeSerialDriver::FakeSerialDriver() = default;
FakeSerialDriver::~FakeSerialDriver() = default;

FakeSerialDriver::Port& FakeSerialDriver::PortNamed(std::string_view name) const {
  const auto it = ports_.find(PortName(name));
  if (it == ports_.end()) throw std::invalid_argument("no fake port " + std::string(name));
  return *it->second;
}

void FakeSerialDriver::AddPort(std::string_view name) {
  std::lock_guard lock(mutex_);
  const std::string key = PortName(name);
  if (ports_.count(key)) return;
  auto port = std::make_unique<Port>();
  port->name = key;
  ports_.emplace(key, std::move(port));
}

bool FakeSerialDriver::ShouldFail(FakeCall call) {
  const auto it = failures_.find(call);
  if (it == failures_.end()) return false;
  Fail(it->second.error);
  if (it->second.times > 0 && --it->second.times == 0) failures_.erase(it);
  return true;
}

void FakeSerialDriver::FailCalls(FakeCall call, DWORD error, int times) {
  std::lock_guard lock(mutex_);
  failures_[call] = Failure{error, times};
}

void FakeSerialDriver::ClearFailures() {
  std::lock_guard lock(mutex_);
  failures_.clear();
}

FakeSerialDriver::Port* FakeSerialDriver::OpenPort(HANDLE file) {
  const auto handle = Lookup<PortHandle>(file);
  if (!handle) return nullptr;
  Port* port = handle->port;
  if (!port->open) {
    Fail(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (port->unplugged) {
    Fail(ERROR_BAD_COMMAND);
    return nullptr;
  }
  return port;
}

void FakeSerialDriver::EndWait(Port& port, DWORD events, DWORD error) {
  if (!port.wait_overlapped) return;
  *port.wait_word = events;
  Complete(port.wait_overlapped, error, 0);
  port.wait_word = nullptr;
  port.wait_overlapped = nullptr;
}

void FakeSerialDriver::Raise(Port& port, DWORD events) {
  if (!port.open) return;
  events &= port.info.mask;
  if (events == 0) return;
  if (port.wait_overlapped) {
    EndWait(port, events, ERROR_SUCCESS);
  } else {
    port.history |= events;
  }
}

void FakeSerialDriver::ClosePort(Port& port) {
  EndWait(port, 0, ERROR_OPERATION_ABORTED);
  for (const PendingWrite& write : port.pending_writes) {
    Complete(write.overlapped, ERROR_OPERATION_ABORTED, 0);
  }
  port.pending_writes.clear();
  port.open = false;
  port.unplugged = false;
  port.history = 0;
  port.line_errors = 0;
  port.info.mask = 0;
}

// --- test controls ---

void FakeSerialDriver::InjectInput(std::string_view name, std::string_view bytes) {
  std::lock_guard lock(mutex_);
  Inject(PortNamed(name), bytes);
}

void FakeSerialDriver::Inject(Port& port, std::string_view bytes) {
  if (bytes.empty()) return;
  port.input.append(bytes);
  DWORD events = EV_RXCHAR;
  if (bytes.find(port.info.dcb.EvtChar) != std::string_view::npos) events |= EV_RXFLAG;
  if (port.info.in_queue_size && port.input.size() * 5 >= port.info.in_queue_size * 4) {
    events |= EV_RX80FULL;
  }
  Raise(port, events);
}

std::size_t FakeSerialDriver::InputQueued(std::string_view name) const {
  std::lock_guard lock(mutex_);
  return PortNamed(name).input.size();
}

std::string FakeSerialDriver::Output(std::string_view name) const {
  std::lock_guard lock(mutex_);
  return PortNamed(name).output;
}

std::string FakeSerialDriver::TakeOutput(std::string_view name) {
  std::lock_guard lock(mutex_);
  return std::exchange(PortNamed(name).output, {});
}

void FakeSerialDriver::SetWriteHook(std::string_view name, WriteHook hook) {
  std::lock_guard lock(mutex_);
  PortNamed(name).hook = std::move(hook);
}

void FakeSerialDriver::SetModemStatus(std::string_view name, DWORD ms_bits) {
  std::lock_guard lock(mutex_);
  Port& port = PortNamed(name);
  const DWORD changed = port.modem ^ ms_bits;
  DWORD events = 0;
  if (changed & MS_CTS_ON) events |= EV_CTS;
  if (changed & MS_DSR_ON) events |= EV_DSR;
  if (changed & MS_RLSD_ON) events |= EV_RLSD;
  if ((changed & ms_bits) & MS_RING_ON) events |= EV_RING;
  port.modem = ms_bits;
  Raise(port, events);
}

void FakeSerialDriver::RaiseLineError(std::string_view name, DWORD ce_bits) {
  std::lock_guard lock(mutex_);
  Port& port = PortNamed(name);
  port.line_errors |= ce_bits;
  Raise(port, EV_ERR | ((ce_bits & CE_BREAK) ? EV_BREAK : 0));
}

void FakeSerialDriver::AttachPnPDevice(std::string_view name, FakePnPDevice device) {
  std::lock_guard lock(mutex_);
  Port& port = PortNamed(name);
  port.pnp = std::move(device);
  port.rts_rises = 0;
  // Plugged in while DTR is on, it powers up at once.
  if (port.pnp->raises_dsr && port.info.dtr && !(port.modem & MS_DSR_ON)) {
    port.modem |= MS_DSR_ON;
    Raise(port, EV_DSR);
  }
}

void FakeSerialDriver::PnPLinesChanged(Port& port, bool old_dtr, bool old_rts) {
  const FakePnPDevice& device = *port.pnp;
  const bool dtr = port.info.dtr;
  if (device.raises_dsr && dtr != old_dtr) {
    const DWORD modem = dtr ? (port.modem | MS_DSR_ON) : (port.modem & ~MS_DSR_ON);
    port.modem = modem;
    Raise(port, EV_DSR);
  }
  if (!port.info.rts || old_rts || !dtr) return;
  if (++port.rts_rises != device.answer_on_rise) return;
  const DCB& dcb = port.info.dcb;
  port.info.pnp_answers.push_back(dcb);
  if (dcb.BaudRate == 1200 && dcb.ByteSize == 7 && dcb.Parity == NOPARITY &&
      dcb.StopBits == ONESTOPBIT) {
    Inject(port, device.id);
  } else {
    // Read at the wrong speed or framing, the bytes are noise.
    std::string noise = device.id;
    for (char& c : noise) c = static_cast<char>(static_cast<unsigned char>(c) ^ 0xA5);
    Inject(port, noise);
  }
}

void FakeSerialDriver::StallWrites(std::string_view name, bool stalled) {
  std::vector<std::pair<WriteHook, std::string>> hooks;
  {
    std::lock_guard lock(mutex_);
    Port& port = PortNamed(name);
    port.stalled = stalled;
    if (!stalled) hooks = ReleaseWrites(port);
  }
  for (auto& [hook, data] : hooks) hook(data);
}

std::vector<std::pair<FakeSerialDriver::WriteHook, std::string>> FakeSerialDriver::ReleaseWrites(
    Port& port) {
  std::vector<std::pair<WriteHook, std::string>> hooks;
  for (PendingWrite& write : port.pending_writes) {
    port.output += write.data;
    Complete(write.overlapped, ERROR_SUCCESS, static_cast<DWORD>(write.data.size()));
    if (port.hook) hooks.emplace_back(port.hook, std::move(write.data));
  }
  if (!port.pending_writes.empty()) Raise(port, EV_TXEMPTY);
  port.pending_writes.clear();
  return hooks;
}

void FakeSerialDriver::Unplug(std::string_view name, bool waits_still_pend) {
  std::lock_guard lock(mutex_);
  Port& port = PortNamed(name);
  if (!port.open) return;
  port.unplugged = true;
  port.waits_still_pend = waits_still_pend;
  EndWait(port, 0, waits_still_pend ? ERROR_OPERATION_ABORTED : ERROR_BAD_COMMAND);
}

FakePortInfo FakeSerialDriver::Info(std::string_view name) const {
  std::lock_guard lock(mutex_);
  const Port& port = PortNamed(name);
  FakePortInfo info = port.info;
  info.open = port.open;
  info.pending_writes = port.pending_writes.size();
  info.wait_pending = port.wait_overlapped != nullptr;
  return info;
}

// --- SerialApi ---

HANDLE FakeSerialDriver::CreateFileA(const char* name, DWORD, DWORD, DWORD, DWORD) {
  std::lock_guard lock(mutex_);
  if (ShouldFail(FakeCall::kCreateFile)) return InvalidHandle();
  const auto it = ports_.find(PortName(name ? name : ""));
  if (it == ports_.end()) {
    Fail(ERROR_FILE_NOT_FOUND);
    return InvalidHandle();
  }
  Port& port = *it->second;
  if (port.open) {
    Fail(ERROR_ACCESS_DENIED);
    return InvalidHandle();
  }
  port.open = true;
  port.unplugged = false;
  ++port.info.opens;
  return Insert(std::make_shared<PortHandle>(this, &port));
}

BOOL FakeSerialDriver::ReadFile(HANDLE file, void* buffer, DWORD to_read, DWORD* read,
                                OVERLAPPED* overlapped) {
  std::lock_guard lock(mutex_);
  Port* port = OpenPort(file);
  if (!port) return FALSE;
  ++port->info.reads;
  if (ShouldFail(FakeCall::kReadFile)) return FALSE;
  const DWORD n = std::min<DWORD>(to_read, static_cast<DWORD>(port->input.size()));
  std::memcpy(buffer, port->input.data(), n);
  port->input.erase(0, n);
  if (read) *read = n;
  if (overlapped) Complete(overlapped, ERROR_SUCCESS, n);
  return TRUE;
}

BOOL FakeSerialDriver::WriteFile(HANDLE file, const void* buffer, DWORD to_write, DWORD* written,
                                 OVERLAPPED* overlapped) {
  WriteHook hook;
  std::string data(static_cast<const char*>(buffer), to_write);
  {
    std::lock_guard lock(mutex_);
    Port* port = OpenPort(file);
    if (!port) return FALSE;
    if (ShouldFail(FakeCall::kWriteFile)) return FALSE;
    if (port->stalled) {
      if (!overlapped) return Fail(ERROR_INVALID_PARAMETER);
      StartPending(overlapped);
      port->pending_writes.push_back({overlapped, std::move(data), std::this_thread::get_id()});
      return Fail(ERROR_IO_PENDING);
    }
    port->output += data;
    if (written) *written = to_write;
    if (overlapped) Complete(overlapped, ERROR_SUCCESS, to_write);
    Raise(*port, EV_TXEMPTY);
    hook = port->hook;
  }
  if (hook) hook(data);
  return TRUE;
}

BOOL FakeSerialDriver::CancelIo(HANDLE file) {
  std::lock_guard lock(mutex_);
  const auto handle = Lookup<PortHandle>(file);
  if (!handle) return FALSE;
  Port& port = *handle->port;
  // Like Windows, only the operations the calling thread started.
  const auto me = std::this_thread::get_id();
  if (port.wait_overlapped && port.wait_thread == me) EndWait(port, 0, ERROR_OPERATION_ABORTED);
  auto& writes = port.pending_writes;
  for (auto it = writes.begin(); it != writes.end();) {
    if (it->thread == me) {
      Complete(it->overlapped, ERROR_OPERATION_ABORTED, 0);
      it = writes.erase(it);
    } else {
      ++it;
    }
  }
  return TRUE;
}

BOOL FakeSerialDriver::GetDefaultCommConfigA(const char*, COMMCONFIG* config, DWORD* size) {
  {
    std::lock_guard lock(mutex_);
    if (ShouldFail(FakeCall::kGetDefaultCommConfig)) return FALSE;
  }
  return FillDefaultCommConfig(config, size);
}

BOOL FakeSerialDriver::SetupComm(HANDLE file, DWORD in_queue, DWORD out_queue) {
  std::lock_guard lock(mutex_);
  Port* port = OpenPort(file);
  if (!port || ShouldFail(FakeCall::kSetupComm)) return FALSE;
  port->info.in_queue_size = in_queue;
  port->info.out_queue_size = out_queue;
  return TRUE;
}

BOOL FakeSerialDriver::SetCommState(HANDLE file, const DCB* dcb) {
  std::lock_guard lock(mutex_);
  Port* port = OpenPort(file);
  if (!port || ShouldFail(FakeCall::kSetCommState)) return FALSE;
  port->info.dcb = *dcb;
  ++port->info.set_state_calls;
  return TRUE;
}

BOOL FakeSerialDriver::SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts) {
  std::lock_guard lock(mutex_);
  Port* port = OpenPort(file);
  if (!port || ShouldFail(FakeCall::kSetCommTimeouts)) return FALSE;
  port->info.timeouts = *timeouts;
  return TRUE;
}

BOOL FakeSerialDriver::GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
  std::lock_guard lock(mutex_);
  Port* port = OpenPort(file);
  if (!port) return FALSE;
  *timeouts = port->info.timeouts;
  return TRUE;
}

BOOL FakeSerialDriver::SetCommMask(HANDLE file, DWORD mask) {
  std::lock_guard lock(mutex_);
  Port* port = OpenPort(file);
  if (!port || ShouldFail(FakeCall::kSetCommMask)) return FALSE;
  port->info.mask = mask;
  port->history = 0;
  EndWait(*port, 0, ERROR_SUCCESS);
  return TRUE;
}

BOOL FakeSerialDriver::WaitCommEvent(HANDLE file, DWORD* event_mask, OVERLAPPED* overlapped) {
  std::lock_guard lock(mutex_);
  if (const auto handle = Lookup<PortHandle>(file); handle && handle->port->open &&
                                                    handle->port->unplugged &&
                                                    handle->port->waits_still_pend && overlapped) {
    StartPending(overlapped);
    Complete(overlapped, ERROR_OPERATION_ABORTED, 0);
    return Fail(ERROR_IO_PENDING);
  }
  Port* port = OpenPort(file);
  if (!port || ShouldFail(FakeCall::kWaitCommEvent)) return FALSE;
  if (port->info.mask == 0 || port->wait_overlapped || !event_mask) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (port->history) {
    *event_mask = std::exchange(port->history, 0);
    if (overlapped) Complete(overlapped, ERROR_SUCCESS, 0);
    return TRUE;
  }
  if (!overlapped) return Fail(ERROR_INVALID_PARAMETER);  // blocking waits are not modelled
  StartPending(overlapped);
  port->wait_word = event_mask;
  port->wait_overlapped = overlapped;
  port->wait_thread = std::this_thread::get_id();
  return Fail(ERROR_IO_PENDING);
}

BOOL FakeSerialDriver::ClearCommError(HANDLE file, DWORD* errors, COMSTAT* status) {
  std::lock_guard lock(mutex_);
  Port* port = OpenPort(file);
  if (!port || ShouldFail(FakeCall::kClearCommError)) return FALSE;
  if (errors) *errors = std::exchange(port->line_errors, 0);
  if (status) {
    *status = COMSTAT{};
    status->cbInQue = static_cast<DWORD>(port->input.size());
    for (const PendingWrite& write : port->pending_writes) {
      status->cbOutQue += static_cast<DWORD>(write.data.size());
    }
  }
  return TRUE;
}

BOOL FakeSerialDriver::PurgeComm(HANDLE file, DWORD flags) {
  std::lock_guard lock(mutex_);
  Port* port = OpenPort(file);
  if (!port) return FALSE;
  port->info.purges.push_back(flags);
  if (ShouldFail(FakeCall::kPurgeComm)) return FALSE;
  if (flags & PURGE_RXCLEAR) port->input.clear();
  if (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) {
    for (const PendingWrite& write : port->pending_writes) {
      Complete(write.overlapped, ERROR_OPERATION_ABORTED, 0);
    }
    port->pending_writes.clear();
  }
  return TRUE;
}

BOOL FakeSerialDriver::EscapeCommFunction(HANDLE file, DWORD function) {
  std::lock_guard lock(mutex_);
  Port* port = OpenPort(file);
  if (!port) return FALSE;
  port->info.escapes.push_back(function);
  if (ShouldFail(FakeCall::kEscapeCommFunction)) return FALSE;
  const bool old_dtr = port->info.dtr;
  const bool old_rts = port->info.rts;
  switch (function) {
    case SETRTS:
      port->info.rts = true;
      break;
    case CLRRTS:
      port->info.rts = false;
      break;
    case SETDTR:
      port->info.dtr = true;
      break;
    case CLRDTR:
      port->info.dtr = false;
      break;
    case SETXOFF:
    case SETXON:
    case SETBREAK:
    case CLRBREAK:
      break;
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
  if (port->pnp) PnPLinesChanged(*port, old_dtr, old_rts);
  return TRUE;
}

BOOL FakeSerialDriver::GetCommModemStatus(HANDLE file, DWORD* modem_status) {
  std::lock_guard lock(mutex_);
  Port* port = OpenPort(file);
  if (!port || ShouldFail(FakeCall::kGetCommModemStatus)) return FALSE;
  *modem_status = port->modem;
  return TRUE;
}

}  // namespace veldoran::win
