// Waits that block the window and the local date-time. Operations that wait a fixed time for
// the controller sleep through this seam, so tests can run them without real time passing
// where that is sound.
#pragma once

#include "platform/day_count.h"

namespace veldoran::ui {

class Clock {
 public:
  virtual ~Clock() = default;
  // Blocks the calling thread for `ms` milliseconds without handling any pending work.
  virtual void Sleep(int ms) = 0;
  // The local date and time now, with its milliseconds.
  virtual DayCount Now() const = 0;
};

class SystemClock : public Clock {
 public:
  void Sleep(int ms) override;
  DayCount Now() const override;
};

}  // namespace veldoran::ui
