#include "serial/spclasses.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/device_setup_api.h"

namespace veldoran::serial {

namespace {

// How long closing waits for a cancelled SendData write to end before leaving it its block.
constexpr win::DWORD kBlockWriteGraceMs = 2000;

win::OVERLAPPED* NewBlockWrite(win::SerialApi& api) {
  auto* block = new win::OVERLAPPED{};
  block->hEvent = api.CreateEventA(win::TRUE, win::FALSE);
  return block;
}

// A block the driver did not let go of within the grace time stays allocated for the rest of the
// run, since the driver may still write into it. It is kept reachable from here, so that a leak
// checker does not take this deliberate hand-over for a lost block. (Only a driver that ignores
// both the purge and the cancel leaves one; a handful at most.)
void LeaveToTheDriver(win::OVERLAPPED* block) {
  static std::mutex mutex;
  static auto* const left = new std::vector<win::OVERLAPPED*>;  // never freed, as the blocks
  const std::lock_guard lock(mutex);
  left->push_back(block);
}

}  // namespace

TspBaseIO::TspBaseIO(TComponent* owner, MainThread& main, std::shared_ptr<win::SerialApi> api)
    : TComponent(owner),
      main_(main),
      api_(std::move(api)),
      handle_(win::InvalidHandle()),
      log_prefix_("TspBaseIO: ") {
  read_overlapped_.hEvent = api_->CreateEventA(win::FALSE, win::FALSE);
  write_overlapped_.hEvent = api_->CreateEventA(win::FALSE, win::FALSE);
  block_write_overlapped_ = NewBlockWrite(*api_);
}

TspBaseIO::~TspBaseIO() {
  // Normally done by the descendants' destructors already.
  SetTerminal(nullptr);
  SetDataProcessor(nullptr);
  if (worker_) {
    worker_->Terminate();
    worker_->WaitFor();
  }
  ClearDevices();
  ReleaseHandle();  // the derived classes have closed the port; this only makes sure
  for (win::OVERLAPPED* ov : {&read_overlapped_, &write_overlapped_, block_write_overlapped_}) {
    if (ov->hEvent) api_->CloseHandle(ov->hEvent);
  }
  delete block_write_overlapped_;
}

void TspBaseIO::FinishBlockWrite(win::HANDLE handle) {
  win::OVERLAPPED* const block = block_write_overlapped_;
  win::DWORD done = 0;
  if (api_->GetOverlappedResult(handle, block, &done, win::FALSE) ||
      api_->GetLastError() != win::ERROR_IO_INCOMPLETE) {
    return;  // none in flight
  }
  // PurgeComm ends a write of any thread; CancelIo that of this one (Wine honours only this).
  api_->PurgeComm(handle, win::PURGE_TXABORT | win::PURGE_TXCLEAR);
  api_->CancelIo(handle);
  if (api_->WaitForSingleObject(block->hEvent, kBlockWriteGraceMs) == win::WAIT_OBJECT_0) {
    api_->GetOverlappedResult(handle, block, &done, win::TRUE);  // collects the ended write
    return;
  }
  // The driver still holds the block: it keeps it, with its event, for good.
  LeaveToTheDriver(block);
  block_write_overlapped_ = NewBlockWrite(*api_);
}

bool TspBaseIO::IsOpen() const { return handle_.load() != win::InvalidHandle(); }

bool TspBaseIO::Active() const { return Loading() ? stored_active_ : IsOpen(); }

void TspBaseIO::SetActive(bool value) {
  if (Loading()) {
    stored_active_ = value;
    return;
  }
  if (value == Active()) return;
  if (value) {
    Open();
  } else {
    Close();
  }
}

void TspBaseIO::Loaded() {
  TComponent::Loaded();
  SetTerminal(terminal_);
  SetTerminalUsage(terminal_usage_);
  MainThread& main = main_;  // an OnFatalError handler may destroy the component
  try {
    SetActive(stored_active_);
  } catch (...) {
    main.ShowException("error");
  }
}

void TspBaseIO::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation != TOperation::opRemove) return;
  if (component == log_) log_ = nullptr;
  if (component == terminal_) {
    // The edit is going: nothing of it is called any more.
    terminal_ = nullptr;
    terminal_output_ = nullptr;
    terminal_saved_proc_ = nullptr;
  }
  // The processor detached itself when it began to go.
  if (component == data_processor_) data_processor_ = nullptr;
}

void TspBaseIO::SetDataProcessor(TspAbstractDataProcessor* processor) {
  if (processor == data_processor_) return;
  if (TspAbstractDataProcessor* old = std::exchange(data_processor_, nullptr)) {
    old->SetComm(nullptr);
  }
  if (!processor) return;
  data_processor_ = processor;
  FreeNotification(processor);
  processor->SetComm(this);
}

void TspBaseIO::SetLog(TspCustomLogFile* log) {
  log_ = log;
  if (log) FreeNotification(log);
}

void TspBaseIO::ReleaseHandle() {
  const win::HANDLE handle = handle_.exchange(win::InvalidHandle());
  if (handle == win::InvalidHandle()) return;
  FinishBlockWrite(handle);
  api_->CloseHandle(handle);
}

bool TspBaseIO::HasReceivers() const { return terminal_ || on_after_receive_ || data_processor_; }

void TspBaseIO::DataReceived(void* buffer, std::uint32_t count) {
  const std::weak_ptr<char> alive = lifetime_;
  bool handled = false;
  if (data_processor_) {
    data_processor_->DataReceived(buffer, count, handled);
    if (alive.expired()) return;
  }
  if (terminal_ && !handled) {
    TerminalWrite(buffer, count);
    if (alive.expired()) return;
  }
  if (on_after_receive_) on_after_receive_(this, buffer, count);
}

bool TspBaseIO::TxEmptyHandled() {
  if (!data_processor_) return false;
  bool handled = false;
  data_processor_->TxEmpty(handled);
  return handled;
}

void TspBaseIO::FatalError(std::uint32_t error_code, std::uint32_t detail,
                           const std::string& error_msg, bool show_only) {
  // The handler may destroy the component: what comes after it needs no member.
  // (The message may be one of its members, too.)
  MainThread& main = main_;
  const bool loading = Loading();
  const std::weak_ptr<char> alive = lifetime_;
  const std::string message = error_msg;
  bool raise = true;
  if (on_fatal_error_) on_fatal_error_(this, error_code, detail, message, raise);
  if (!alive.expired() && log_) {
    log_->WriteFormat(0, "Fatal Error: %u, %u, %s", error_code, detail, message.c_str());
  }
  if (!raise || loading) return;
  if (!show_only) throw ESerialError(message);
  main.ShowException(message);
}

void TspBaseIO::StartThreads() {
  if (!use_worker_thread_ || !worker_stopping_) return;
  if (worker_) {
    // One that was stopped from its own body: it has ended or is about to.
    worker_->WaitFor();
    worker_.reset();
  }
  worker_stopping_ = false;
  worker_ = std::make_unique<TspThreadIO>(*this);
  worker_->Resume();
}

void TspBaseIO::StopThreads() {
  if (worker_stopping_.exchange(true) || !worker_) return;
  worker_->Terminate();
  if (worker_->OnThisThread()) return;  // the body asked: it ends when it returns
  worker_->WaitFor();
  worker_.reset();
}

void TspBaseIO::ThreadBody(TspThreadIO&) {}

TspThreadIO::TspThreadIO(TspBaseIO& owner)
    : owner_(owner), thread_([this, finished = finished_] { Execute(finished); }) {}

TspThreadIO::~TspThreadIO() {
  Terminate();
  if (!resumed_) cancelled_ = true;
  Resume();
  if (OnThisThread()) {
    thread_.detach();  // destroyed from its own body: nothing to wait for
  } else {
    WaitFor();
  }
}

void TspThreadIO::Resume() {
  resumed_ = true;
  resumed_.notify_all();
}

void TspThreadIO::WaitFor() {
  if (OnThisThread() || !thread_.joinable()) return;
  thread_.join();
}

void TspThreadIO::Execute(const std::shared_ptr<std::atomic<bool>>& finished) {
  resumed_.wait(false);
  if (!cancelled_) {
    try {
      owner_.ThreadBody(*this);  // may destroy the owner and this object
    } catch (...) {
    }
  }
  *finished = true;
}

int TspBaseIO::AddListener(TspNotifyEvent listener) {
  const int index = listeners_.IndexOf(listener);
  return index >= 0 ? index : listeners_.Add(listener);
}

void TspBaseIO::RemoveListener(TspNotifyEvent listener) {
  listeners_.Delete(listeners_.IndexOf(listener));
}

void TspBaseIO::NotifyListeners(std::int32_t code) { listeners_.Notify(this, code); }

// --- device list ---

const TspDevice* TspBaseIO::GetDevice(int index) const {
  if (index < 0 || index >= DeviceCount()) return nullptr;
  return devices_[static_cast<std::size_t>(index)].record.get();
}

int TspBaseIO::IndexOfPortNo(std::int32_t no) const {
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    if (devices_[i].record->PortNo == no) return static_cast<int>(i);
  }
  return -1;
}

void TspBaseIO::AddDevice(std::unique_ptr<TspDevice> record) {
  if (!record) return;
  record->Index = DeviceCount();
  record->Owner = this;
  std::string text = record->Caption;
  devices_.push_back(DeviceEntry{std::move(text), std::shared_ptr<TspDevice>(std::move(record))});
}

void TspBaseIO::ClearDevices() { devices_.clear(); }

void TspBaseIO::FillDeviceList(TspDeviceItems* items) {
  if (DeviceCount() == 0) EnumDevices();
  if (!items) return;
  items->clear();
  items->reserve(devices_.size());
  for (const DeviceEntry& entry : devices_) {
    items->push_back(TspDeviceItem{entry.text, entry.record});
  }
}

void TspBaseIO::RefreshDevices() { NotifyListeners(kNotifyPortChanged); }

void TspBaseIO::SelectDevice(int /*index*/) { NotifyListeners(kNotifyPortChanged); }

bool TspBaseIO::DeviceChanged(const TMessage& message) {
  if (message.Msg != win::WM_DEVICECHANGE) return false;
  bool changed = message.WParam == win::DBT_DEVNODES_CHANGED;
  if (message.WParam == win::DBT_DEVICEARRIVAL || message.WParam == win::DBT_DEVICEREMOVECOMPLETE) {
    // A broadcast without its header says nothing about ports.
    const auto* header = reinterpret_cast<const win::DEV_BROADCAST_HDR*>(message.LParam);
    changed = header && header->dbch_devicetype == win::DBT_DEVTYP_PORT;
  }
  if (changed) RefreshDevices();
  return changed;
}

void TspBaseIO::LogMessage(int level, std::string_view text) {
  if (!log_) return;
  if (text.empty()) {
    log_->WriteEmpty();
  } else {
    log_->WriteText(level, log_prefix_ + std::string(text));
  }
}

void TspBaseIO::LogFormat(int level, const char* format, ...) {
  if (!log_) return;
  va_list args;
  va_start(args, format);
  const std::string text = VFormat(format, args);
  va_end(args);
  log_->WriteText(level, log_prefix_ + text);
}

}  // namespace veldoran::serial
