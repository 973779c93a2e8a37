// Interval statistics in milliseconds of the 32-bit tick count.
#pragma once

#include <cstdint>
#include <string>

#include "core/Clock.h"

namespace sablewick {

class StopWatch {
 public:
  explicit StopWatch(const Clock& clock = SystemClock()) : clock_(&clock) {}

  void StartTime() { start_ = static_cast<int32_t>(clock_->TickCount()); }
  void StopTime();

  int32_t Count() const { return count_; }
  int32_t Last() const { return last_; }
  int32_t Min() const { return min_; }
  int32_t Max() const { return max_; }
  int32_t Average() const;
  std::string Report() const;

 private:
  const Clock* clock_;
  int32_t start_ = 0;
  int32_t count_ = 0;
  int32_t total_ = 0;
  int32_t min_ = 0;
  int32_t max_ = 0;
  int32_t last_ = 0;
};

}  // namespace sablewick
