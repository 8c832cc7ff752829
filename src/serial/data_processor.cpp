#include "serial/data_processor.h"

#include <cstdarg>
#include <cstdio>
#include <stdexcept>

namespace veldoran::serial {

TspCustomDataProcessor::TspCustomDataProcessor(TComponent* owner, MainThread& main)
    : TspAbstractDataProcessor(owner), timer_(main) {
  timer_.SetEnabled(false);
  timer_.SetOnTimer([this](TObject*) { TimerTick(); });
}

TspCustomDataProcessor::~TspCustomDataProcessor() {
  // Also tells a port whose DataProcessor this is (through the free notification that follows)
  // to forget it.
  SetComm(nullptr);
}

TspNotifyEvent TspCustomDataProcessor::Listener() {
  return TspNotifyEvent::Of<TspCustomDataProcessor, &TspCustomDataProcessor::PortNotify>(this);
}

void TspCustomDataProcessor::SetComm(TspBaseIO* port) {
  if (comm_ && comm_ != port) comm_->RemoveListener(Listener());
  comm_ = port;
  if (port) {
    FreeNotification(port);
    port->AddListener(Listener());
  }
}

void TspCustomDataProcessor::SetSubProcessor(TspCustomDataProcessor* processor) {
  if (processor == this) return;
  sub_processor_ = processor;
  if (processor) {
    FreeNotification(processor);
    processor->SetComm(comm_);
  }
}

void TspCustomDataProcessor::SetLog(TspCustomLogFile* log) {
  log_ = log;
  if (log) FreeNotification(log);
}

void TspCustomDataProcessor::Notification(TComponent* component, TOperation operation) {
  TspAbstractDataProcessor::Notification(component, operation);
  if (operation != TOperation::opRemove) return;
  if (component == sub_processor_) SetSubProcessor(nullptr);
  // The port is going, and its listener list with it: it is only forgotten.
  if (component == comm_) comm_ = nullptr;
  if (component == log_) log_ = nullptr;
}

void TspCustomDataProcessor::PortNotify(TObject*, std::int32_t code) {
  if (code == kNotifyClosed) {
    MediumClosed();
  } else if (code == kNotifyOpened) {
    MediumOpened();
  }
}

void TspCustomDataProcessor::MediumClosed() { LogText(2, "Medium Closed"); }

void TspCustomDataProcessor::MediumOpened() { LogText(2, "Medium Opened"); }

void TspCustomDataProcessor::SendData(const void* buffer, std::uint32_t length) {
  if (length == 0 || !buffer) return;
  const std::weak_ptr<char> alive = lifetime_;  // handlers may destroy the processor
  try {
    bool handled = false;
    if (on_data_send_) on_data_send_(this, buffer, length, kSendKindData, handled);
    if (alive.expired()) return;
    if (handled) {
      timer_.SetEnabled(false);
      timer_.SetEnabled(true);
    } else if (comm_) {
      comm_->SendData(buffer, length);
      if (alive.expired()) return;
    }
    LogFormat(2, "DoDataSend: %u bytes", static_cast<unsigned>(length));
  } catch (...) {
  }
}

void TspCustomDataProcessor::SendString(std::string_view text) {
  if (text.empty()) return;
  const std::weak_ptr<char> alive = lifetime_;
  try {
    bool handled = false;
    if (on_data_send_) {
      on_data_send_(this, text.data(), static_cast<std::uint32_t>(text.size()), kSendKindString,
                    handled);
    }
    if (alive.expired()) return;
    if (!handled && comm_) comm_->SendString(text);
  } catch (...) {
  }
}

void TspCustomDataProcessor::SetTimeout(std::uint32_t milliseconds) {
  timer_.SetEnabled(false);
  if (milliseconds == 0) return;
  timer_.SetInterval(milliseconds);
  timer_.SetEnabled(true);
}

void TspCustomDataProcessor::TimerTick() {
  timer_.SetEnabled(false);
  bool handled = false;
  TxEmpty(handled);
}

void TspCustomDataProcessor::FatalError(std::uint32_t error_code, std::uint32_t detail,
                                        const std::string& error_msg) {
  const std::weak_ptr<char> alive = lifetime_;
  bool raise = true;
  if (on_fatal_error_) on_fatal_error_(this, error_code, detail, error_msg, raise);
  if (!alive.expired() && log_) {
    log_->WriteFormat(0, "Fatal Error: %u, %u, %s", error_code, detail, error_msg.c_str());
  }
  if (raise) throw std::runtime_error(error_msg);
}

void TspCustomDataProcessor::DataReceived(void* buffer, std::uint32_t count, bool& handled) {
  if (sub_processor_) sub_processor_->DataReceived(buffer, count, handled);
}

void TspCustomDataProcessor::ProcessData(void* buffer, std::uint32_t count) {
  bool handled = false;
  DataReceived(buffer, count, handled);
}

void TspCustomDataProcessor::TxEmpty(bool&) {}

void TspCustomDataProcessor::LogText(int level, std::string_view text) {
  if (log_) log_->WriteText(level, log_prefix_ + std::string(text));
}

void TspCustomDataProcessor::LogFormat(int level, const char* format, ...) {
  if (!log_) return;
  va_list args;
  va_start(args, format);
  const std::string text = VFormat(format, args);
  va_end(args);
  log_->WriteText(level, log_prefix_ + text);
}

}  // namespace veldoran::serial
