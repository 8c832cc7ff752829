#include "serial/qt/qt_main_thread.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QMetaObject>

namespace veldoran::serial {

QtMainThread::QtMainThread(QObject* parent) : QObject(parent) {
  std::weak_ptr<SyncQueue> weak = Queue();
  Queue()->SetWakeUp([this, weak] {
    // Runs on a worker thread with the queue locked; posting an event is thread-safe, and the
    // queue clears this callback before the object goes away.
    QMetaObject::invokeMethod(
        this,
        [weak] {
          if (auto queue = weak.lock()) queue->RunPending();
        },
        Qt::QueuedConnection);
  });
}

QtMainThread::~QtMainThread() { Shutdown(); }

void QtMainThread::ProcessMessages() { QCoreApplication::processEvents(); }

void QtMainThread::SetExceptionHandler(ExceptionHandler handler) { handler_ = std::move(handler); }

void QtMainThread::ShowException(const std::string& message) {
  if (!IsMainThread()) {
    Synchronize([this, message] { ShowException(message); });
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
