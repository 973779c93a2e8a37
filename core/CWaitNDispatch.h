// A timed wait that really holds the thread: nothing queued on the main loop (timers, socket
// arrivals, calls from scripts) runs until it ends. Only Cancel ends it early.
#pragma once

#include <cstdint>
#include <functional>

namespace sablewick {

class CWaitNDispatch {
 public:
  CWaitNDispatch() = default;
  ~CWaitNDispatch();
  CWaitNDispatch(const CWaitNDispatch&) = delete;
  CWaitNDispatch& operator=(const CWaitNDispatch&) = delete;

  // Blocks for ms milliseconds (0 returns at once). A second Wait on the same object while
  // one runs throws the not-reentrant error.
  void Wait(int32_t ms);
  void Cancel();
  bool IsWaiting() const { return waiting_; }

  std::function<void()> OnTimer;

  static constexpr int32_t kNotReentrant = -2147220503;  // vbObjectError + 1001

 private:
  int event_ = -1;
  bool waiting_ = false;
};

}  // namespace sablewick
