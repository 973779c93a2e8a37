#include "core/Timer.h"

namespace sablewick {

void Timer::Start(unsigned intervalMs) {
  Stop();
  interval_ = intervalMs;
  source_ = g_timeout_add(intervalMs, &Timer::Tick, this);
}

void Timer::Stop() {
  if (source_ != 0) {
    g_source_remove(source_);
    source_ = 0;
  }
}

gboolean Timer::Tick(gpointer self) {
  auto* timer = static_cast<Timer*>(self);
  const guint running = timer->source_;
  if (timer->oneShot_) {
    timer->source_ = 0;  // the source ends with this tick
    timer->onTick_();
    return G_SOURCE_REMOVE;
  }
  timer->onTick_();
  // The handler may have stopped or restarted the timer; then this source is already gone.
  return timer->source_ == running ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

}  // namespace sablewick
