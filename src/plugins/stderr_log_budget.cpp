#include "plugins/stderr_log_budget.h"

namespace plugins {

size_t StderrLogBudget::Room(Clock::time_point now) {
  if (!started_ || now - windowStart_ >= kStderrLogWindow) {
    started_ = true;
    windowStart_ = now;
    logged_ = 0;
  }
  return logged_ >= kStderrLogBytesPerWindow ? 0 : kStderrLogBytesPerWindow - logged_;
}

uint64_t StderrLogBudget::TakeLeftOut(Clock::time_point now, bool runEnded) {
  if (leftOut_ == 0) return 0;
  if (!runEnded && started_ && now - windowStart_ < kStderrLogWindow) return 0;
  const uint64_t count = leftOut_;
  leftOut_ = 0;
  return count;
}

}  // namespace plugins
