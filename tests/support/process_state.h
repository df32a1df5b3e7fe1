#pragma once
// Test helpers for processes a test started or expects to end: whether one is gone, read from
// /proc. Any test thread.
#include <sys/types.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace testsupport {

// A process that is gone or only a zombie waiting for its parent.
inline bool IsGone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

// Whether it is gone within 10 s (looked at every 50 ms).
inline bool BecomesGone(pid_t pid) {
  for (int i = 0; i < 200; ++i) {
    if (IsGone(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

}  // namespace testsupport
