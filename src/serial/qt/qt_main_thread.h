// The main thread of a Qt program for the serial layer: synchronize requests are posted to the
// Qt event loop (the waiting worker is released when the loop has run them), ProcessMessages is
// QCoreApplication::processEvents, timers are QTimers, and ShowException goes to a settable
// handler (by default a critical message box).
#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <map>
#include <string>

#include "serial/main_thread.h"

namespace veldoran::serial {

class QtMainThread : public QObject, public MainThread {
  Q_OBJECT

 public:
  using ExceptionHandler = std::function<void(const std::string& message)>;

  // Construct on the thread that runs the Qt event loop.
  explicit QtMainThread(QObject* parent = nullptr);
  ~QtMainThread() override;

  void ProcessMessages() override;
  // From another thread, the display is handed to the main thread (without waiting for it).
  void ShowException(const std::string& message) override;
  TimerId StartTimer(std::chrono::milliseconds interval, std::function<void()> tick) override;
  void StopTimer(TimerId id) override;

  // Where shown exceptions go; an empty handler restores the message box.
  void SetExceptionHandler(ExceptionHandler handler);

 private slots:
  void RunPendingRequests();

 private:
  ExceptionHandler handler_;
  std::map<TimerId, QPointer<QTimer>> timers_;
  TimerId last_timer_ = 0;
};

}  // namespace veldoran::serial
