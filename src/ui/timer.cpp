#include "ui/timer.h"

namespace veldoran::ui {

TTimer::TTimer(QObject* parent) : QObject(parent) {
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&timer_, &QTimer::timeout, this, [this] {
    if (enabled_ && OnTimer) OnTimer();
  });
  Update();
}

void TTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  Update();
}

void TTimer::SetInterval(int ms) {
  if (ms == interval_) return;
  interval_ = ms;
  Update();
}

void TTimer::Update() {
  timer_.stop();
  if (enabled_ && interval_ > 0) timer_.start(interval_);
}

}  // namespace veldoran::ui
