// The serial layer's own timer: ticks on the main thread through its message loop (the
// MainThread seam's timers), used by the data processor for its time-outs.
//
// It ticks only while it is enabled, has an interval and has a handler. Writing Enabled false
// and then true again restarts the period from zero; that is how an owner re-arms it. A new
// Interval takes effect at the next such change. Exceptions from the handler are swallowed.
// Create, use and destroy it on the main thread; the MainThread must outlive it.
#pragma once

#include <cstdint>

#include "serial/component.h"
#include "serial/main_thread.h"
#include "serial/spcomm_types.h"

namespace veldoran::serial {

class TspTimer : public TObject {
 public:
  explicit TspTimer(MainThread& main);
  ~TspTimer() override;
  TspTimer(const TspTimer&) = delete;
  TspTimer& operator=(const TspTimer&) = delete;

  // The period in milliseconds (1000 at first). Only stored: see above.
  std::uint32_t Interval() const { return interval_; }
  void SetInterval(std::uint32_t milliseconds) { interval_ = milliseconds; }

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);  // does nothing if unchanged

  const TNotifyEvent& OnTimer() const { return on_timer_; }
  void SetOnTimer(TNotifyEvent handler);

  // Whether the loop's timer is running now.
  bool Ticking() const { return timer_ != 0; }

 private:
  void Update();
  void Tick();

  MainThread& main_;
  MainThread::TimerId timer_ = 0;
  std::uint32_t interval_ = 1000;
  bool enabled_ = true;
  TNotifyEvent on_timer_;
};

}  // namespace veldoran::serial
