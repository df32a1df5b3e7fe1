#include "base/thread.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "base/log.h"
#include "base/never_destroyed.h"

namespace base {
namespace {

struct LiveCount {
  std::mutex mutex;
  std::condition_variable idle;
  int live = 0;
};

// Never destroyed: a detached thread may finish after static destruction began.
LiveCount& Live() {
  static NeverDestroyed<LiveCount> count;
  return count.get();
}

void Finished() {
  LiveCount& count = Live();
  std::lock_guard<std::mutex> lock(count.mutex);
  if (--count.live == 0) count.idle.notify_all();
}

}  // namespace

bool StartDetachedThread(const char* name, std::function<void()> body) {
  LiveCount& count = Live();
  {
    std::lock_guard<std::mutex> lock(count.mutex);
    ++count.live;
  }
  try {
    std::thread([name, body = std::move(body)]() mutable {
      try {
        body();
      } catch (const std::exception& e) {
        LogPrintf("[%s] thread failed: %s\n", name, e.what());
      } catch (...) {
        LogPrintf("[%s] thread failed\n", name);
      }
      // What the body captured goes before the count does, so a waiter sees it released.
      body = nullptr;
      Finished();
    }).detach();
    return true;
  } catch (...) {
    Finished();
    return false;
  }
}

int LiveDetachedThreads() {
  LiveCount& count = Live();
  std::lock_guard<std::mutex> lock(count.mutex);
  return count.live;
}

bool WaitForDetachedThreads(std::chrono::milliseconds timeout) {
  LiveCount& count = Live();
  std::unique_lock<std::mutex> lock(count.mutex);
  return count.idle.wait_for(lock, timeout, [&] { return count.live == 0; });
}

}  // namespace base
