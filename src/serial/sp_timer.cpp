#include "serial/sp_timer.h"

#include <chrono>

namespace veldoran::serial {

TspTimer::TspTimer(MainThread& main) : main_(main) {}

TspTimer::~TspTimer() {
  enabled_ = false;
  Update();
}

void TspTimer::SetEnabled(bool value) {
  if (value == enabled_) return;
  enabled_ = value;
  Update();
}

void TspTimer::SetOnTimer(TNotifyEvent handler) {
  on_timer_ = std::move(handler);
  Update();
}

void TspTimer::Update() {
  if (timer_ != 0) main_.StopTimer(timer_);
  timer_ = 0;
  if (interval_ != 0 && enabled_ && on_timer_) {
    timer_ = main_.StartTimer(std::chrono::milliseconds(interval_), [this] { Tick(); });
  }
}

void TspTimer::Tick() {
  if (!enabled_ || !on_timer_) return;
  // The handler may replace itself or destroy this timer: it runs from a copy, and nothing of
  // the timer is touched afterwards.
  const TNotifyEvent handler = on_timer_;
  try {
    handler(this);
  } catch (...) {
  }
}

}  // namespace veldoran::serial
