#include "serial/qt/qt_main_thread.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QMetaObject>

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
