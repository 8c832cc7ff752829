// The base of packet processors: components that sit between a port component and the
// application to process the data stream. A processor attached to a port (the port's
// DataProcessor property, or SetComm) hears the port open and close, sees every block the port
// reads before the application's OnAfterReceive does, can answer the port's transmit-empty
// question, sends through the port with a chance to intercept the data, owns a one-shot
// time-out timer, and reports fatal errors. Every processing hook is empty here; descendants
// fill them in.
//
// Everything runs on the main thread: the port's notices and blocks arrive there (with the
// port's UseMainThread), and the timer ticks there.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "serial/abstract_data_processor.h"
#include "serial/log_file.h"
#include "serial/main_thread.h"
#include "serial/sp_timer.h"
#include "serial/spclasses.h"
#include "serial/spcomm_types.h"

namespace veldoran::serial {

class TspCustomDataProcessor : public TspAbstractDataProcessor {
 public:
  // (Sender, Buffer, Length, Kind, var Handled); Kind 0: a block from SendData, 1: a string
  // from SendString. Setting Handled keeps the data from being sent.
  using TOnDataSendEvent = std::function<void(TObject* Sender, const void* Buffer,
                                              std::uint32_t Length, int Kind, bool& Handled)>;
  static constexpr int kSendKindData = 0;
  static constexpr int kSendKindString = 1;

  // `main` runs the processor's timer; it must outlive the processor.
  TspCustomDataProcessor(TComponent* owner, MainThread& main);
  ~TspCustomDataProcessor() override;

  TspBaseIO* Comm() const { return comm_; }
  // Attaches to `port` (registering PortNotify with it) or, with null, detaches.
  void SetComm(TspBaseIO* port) override;

  TspCustomDataProcessor* SubProcessor() const { return sub_processor_; }
  // Chains a processor that gets the same received blocks and hears the same port. Chaining
  // the processor to itself changes nothing; a later SetComm here is not passed on.
  virtual void SetSubProcessor(TspCustomDataProcessor* processor);

  TspCustomLogFile* Log() const { return log_; }
  void SetLog(TspCustomLogFile* log);

  bool Flag() const { return flag_; }
  virtual void SetFlag(bool value) { flag_ = value; }

  // The listener registered with the port: code 1 runs MediumClosed, code 2 MediumOpened.
  virtual void PortNotify(TObject* sender, std::int32_t code);
  virtual void MediumClosed();
  virtual void MediumOpened();

  // Send through the attached port, after OnDataSend had its say. Nothing that goes wrong
  // here comes out: the data may then not have been sent.
  virtual void SendData(const void* buffer, std::uint32_t length);
  virtual void SendString(std::string_view text);

  // The one-shot time-out: stops the timer and, unless `milliseconds` is 0, starts it with that
  // period. When it fires, TimerTick stops it and asks TxEmpty.
  virtual void SetTimeout(std::uint32_t milliseconds);
  virtual void TimerTick();
  const TspTimer& Timer() const { return timer_; }

  // OnFatalError may clear the raise flag; the log gets "Fatal Error: ..." either way; then a
  // std::runtime_error carrying the message is thrown unless the flag was cleared.
  virtual void FatalError(std::uint32_t error_code, std::uint32_t detail,
                          const std::string& error_msg);

  // In the base: handed on to the sub-processor, if one is chained.
  void DataReceived(void* buffer, std::uint32_t count, bool& handled) override;
  // DataReceived with a handled flag of its own.
  virtual void ProcessData(void* buffer, std::uint32_t count);
  // In the base: nothing (handled stays false).
  void TxEmpty(bool& handled) override;

  // A line with the log prefix, if a log is set.
  void LogText(int level, std::string_view text);
  void LogFormat(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

  const TOnFatalErrorEvent& OnFatalError() const { return on_fatal_error_; }
  void SetOnFatalError(TOnFatalErrorEvent handler) { on_fatal_error_ = std::move(handler); }
  const TOnDataSendEvent& OnDataSend() const { return on_data_send_; }
  void SetOnDataSend(TOnDataSendEvent handler) { on_data_send_ = std::move(handler); }

  const std::string& LogPrefix() const { return log_prefix_; }

 protected:
  void Notification(TComponent* component, TOperation operation) override;
  void SetLogPrefix(std::string prefix) { log_prefix_ = std::move(prefix); }

 private:
  TspNotifyEvent Listener();

  TspBaseIO* comm_ = nullptr;
  TspCustomDataProcessor* sub_processor_ = nullptr;
  bool flag_ = false;
  TOnFatalErrorEvent on_fatal_error_;
  TspCustomLogFile* log_ = nullptr;
  TOnDataSendEvent on_data_send_;
  TspTimer timer_;
  std::string log_prefix_;
  // Lives as long as the processor: a handler may destroy it.
  const std::shared_ptr<char> lifetime_ = std::make_shared<char>();
};

}  // namespace veldoran::serial
