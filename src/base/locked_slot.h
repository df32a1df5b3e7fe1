#pragma once
// One value that any thread may read or replace, each under the slot's own mutex: for a seam a
// test or the composition root sets while other threads read it. Get returns a copy, so nothing
// runs under the lock but the copy.
#include <mutex>
#include <utility>

namespace base {

template <typename T>
class LockedSlot {
 public:
  T Get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return value_;
  }
  void Set(T value) {
    std::lock_guard<std::mutex> lock(mutex_);
    value_ = std::move(value);
  }

 private:
  mutable std::mutex mutex_;
  T value_{};
};

}  // namespace base
