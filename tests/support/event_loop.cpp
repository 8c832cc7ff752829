#include "support/event_loop.h"

#include <QCoreApplication>
#include <QTimer>

namespace veldoran::testing {

bool ProcessEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  QTimer wake;  // the loop sleeps between events, but looks at `done` at least this often
  wake.start(20);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

}  // namespace veldoran::testing
