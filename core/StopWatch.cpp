#include "core/StopWatch.h"

#include <cmath>

namespace sablewick {

void StopWatch::StopTime() {
  // Tick counts wrap; the interval is taken across the wrap in 32-bit arithmetic.
  const int32_t d = static_cast<int32_t>(clock_->TickCount() - static_cast<uint32_t>(start_));
  last_ = d;
  ++count_;
  total_ = static_cast<int32_t>(static_cast<uint32_t>(total_) + static_cast<uint32_t>(d));
  if (count_ == 1) {
    min_ = max_ = d;
  } else {
    if (d < min_) min_ = d;
    if (d > max_) max_ = d;
  }
}

int32_t StopWatch::Average() const {
  if (count_ == 0) return 0;
  return static_cast<int32_t>(std::nearbyint(static_cast<double>(total_) / count_));
}

std::string StopWatch::Report() const {
  return "Count=" + std::to_string(count_) + ", Last=" + std::to_string(last_) +
         ", Avg=" + std::to_string(Average()) + ", Max=" + std::to_string(max_) +
         ", Min=" + std::to_string(min_);
}

}  // namespace sablewick
