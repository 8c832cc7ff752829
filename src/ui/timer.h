// A window timer with the behaviour the heartbeat relies on: the countdown restarts only when
// the interval changes or the timer goes from disabled to enabled, so enabling a running timer,
// or setting the interval it already has, does not lengthen its current period.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>

namespace veldoran::ui {

class TTimer : public QObject {
  Q_OBJECT
 public:
  explicit TTimer(QObject* parent = nullptr);

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  int Interval() const { return interval_; }
  void SetInterval(int ms);

  // Runs at each tick while enabled.
  std::function<void()> OnTimer;

 private:
  void Update();

  QTimer timer_;
  bool enabled_ = true;
  int interval_ = 1000;
};

}  // namespace veldoran::ui
