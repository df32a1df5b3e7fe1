#pragma once
// How much of one plugin run's stderr reaches the log. A child can write its stderr as fast as
// the host drains it (hundreds of KB a second), and every byte logged stays on the user's disk:
// so each run may log up to kStderrLogBytesPerWindow per kStderrLogWindow, and what it wrote
// beyond that is counted and reported in one line once the window is over (or the run ends).
// The bytes themselves are still read (the child never blocks on a full pipe) and still kept in
// the run's stderr tail, which error texts quote.
//
// Threads: one budget belongs to one run record and is used under that record's lock (the
// plugin registry mutex) or by the one thread that owns the record. Times come from the caller,
// so tests need no clock.
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace plugins {

inline constexpr size_t kStderrLogBytesPerWindow = 64 * 1024;
inline constexpr std::chrono::seconds kStderrLogWindow{10};

class StderrLogBudget {
 public:
  using Clock = std::chrono::steady_clock;

  // Log bytes still allowed in the window that holds now; a window starts at the first call
  // after the previous one ended.
  size_t Room(Clock::time_point now);
  // What was logged (counted against the window) and what was left out (stderr bytes).
  void Logged(size_t bytes) { logged_ += bytes; }
  void LeftOut(size_t bytes) { leftOut_ += bytes; }
  // The stderr bytes left out so far, once their window is over (any time when runEnded), then
  // zero until more are left out: each count is reported once.
  uint64_t TakeLeftOut(Clock::time_point now, bool runEnded);

 private:
  bool started_ = false;
  Clock::time_point windowStart_{};
  size_t logged_ = 0;
  uint64_t leftOut_ = 0;
};

}  // namespace plugins
