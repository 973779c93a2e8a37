// A timer on the GLib main loop with the enable/disable semantics of a window timer: Start
// (re)arms it with a period, Stop disarms it, and a one-shot timer disarms itself when it
// fires. The tick runs on the loop's thread.
#pragma once

#include <glib.h>

#include <functional>

namespace sablewick {

class Timer {
 public:
  explicit Timer(std::function<void()> onTick, bool oneShot = false)
      : onTick_(std::move(onTick)), oneShot_(oneShot) {}
  ~Timer() { Stop(); }
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  void Start(unsigned intervalMs);
  void Stop();
  bool Enabled() const { return source_ != 0; }
  unsigned Interval() const { return interval_; }

 private:
  static gboolean Tick(gpointer self);

  std::function<void()> onTick_;
  bool oneShot_;
  unsigned interval_ = 0;
  guint source_ = 0;
};

}  // namespace sablewick
