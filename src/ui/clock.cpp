#include "ui/clock.h"

#include <QDateTime>
#include <chrono>
#include <thread>

namespace veldoran::ui {

void SystemClock::Sleep(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

DayCount SystemClock::Now() const {
  const QDateTime now = QDateTime::currentDateTime();
  const QDate d = now.date();
  const QTime t = now.time();
  return EncodeDayCount({d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second(), t.msec()});
}

}  // namespace veldoran::ui
