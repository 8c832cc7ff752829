#include "serial/qt/qt_main_thread.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <algorithm>

namespace veldoran::serial {

QtMainThread::QtMainThread(QObject* parent) : QObject(parent) {
  // Runs on a worker thread with the queue locked: posting a call is thread-safe, and the
  // queue drops this callback before the object goes away. The call carries no data of ours;
  // the requests themselves pass through the queue's lock.
  Queue()->SetWakeUp(
      [this] { QMetaObject::invokeMethod(this, "RunPendingRequests", Qt::QueuedConnection); });
}

void QtMainThread::RunPendingRequests() { Queue()->RunPending(); }

QtMainThread::~QtMainThread() { Shutdown(); }

void QtMainThread::ProcessMessages() { QCoreApplication::processEvents(); }

MainThread::TimerId QtMainThread::StartTimer(std::chrono::milliseconds interval,
                                             std::function<void()> tick) {
  const TimerId id = ++last_timer_;
  auto* timer = new QTimer(this);
  // QTimer takes an int: a longer interval waits the longest it can, as SetTimer clamps to
  // USER_TIMER_MAXIMUM (0x7FFFFFFF ms), never the shortest.
  constexpr std::chrono::milliseconds::rep kLongest = 0x7FFFFFFF;
  timer->setInterval(
      static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(interval.count(), 1, kLongest)));
  connect(timer, &QTimer::timeout, this, [tick = std::move(tick)] {
    try {
      tick();
    } catch (...) {
      // Nothing may run into the event loop.
    }
  });
  timer->start();
  timers_.emplace(id, timer);
  return id;
}

void QtMainThread::StopTimer(TimerId id) {
  const auto it = timers_.find(id);
  if (it == timers_.end()) return;
  if (QTimer* timer = it->second) {
    timer->stop();
    // The tick being run may be this timer's own: the object goes once control is back in the
    // event loop.
    timer->deleteLater();
  }
  timers_.erase(it);
}

void QtMainThread::SetExceptionHandler(ExceptionHandler handler) { handler_ = std::move(handler); }

void QtMainThread::ShowException(const std::string& message) {
  if (!IsMainThread()) {
    // Handed over without waiting: the main thread may be busy closing this very port.
    Queue()->Post([this, message] { ShowException(message); });
    return;
  }
  if (handler_) {
    handler_(message);
    return;
  }
  QMessageBox::critical(nullptr, QCoreApplication::applicationName(),
                        QString::fromLocal8Bit(message.data(), static_cast<int>(message.size())));
}

}  // namespace veldoran::serial
