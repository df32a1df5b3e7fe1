#include "platform/ui.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace platform::ui {
namespace {

struct Record {
  std::string className;
  WindowProc proc = nullptr;
  uint64_t style = WS_OVERLAPPEDWINDOW;
  Rect bounds;
  WindowPlacement placement;
  void* userData = nullptr;
  std::shared_ptr<WindowBackend> backend;
};

struct Item {
  HWND hwnd = 0;
  uint32_t msg = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  std::function<void()> task;
};

// The part of a window that the bridge threads read and change: title and topmost bit.
struct Shared {
  std::string title;
  bool topmost = false;
};

struct State {
  std::mutex mutex;  // guards queue, live, shared, nextId, loopEnded, uiThread
  std::deque<Item> queue;
  std::set<HWND> live;
  std::map<HWND, Shared> shared;
  HWND nextId = 1;
  bool loopEnded = false;
  bool quitPosted = false;
  int quitCode = 0;
  std::thread::id uiThread;
  std::map<HWND, Record> records;  // UI thread only
  int wakeRead = -1;
  int wakeWrite = -1;
};

// Never destroyed: threads that outlive main may still post.
State& S() {
  static State* s = [] {
    auto* st = new State;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
      st->wakeRead = fds[0];
      st->wakeWrite = fds[1];
    }
    return st;
  }();
  return *s;
}

std::atomic<HWND> g_foreground{0};
std::atomic<bool> g_fatal{false};
std::atomic<HWND> g_closeOnSignal{0};
std::atomic<bool> g_signalClose{false};
int g_signalWakeFd = -1;

void Wake() {
  char b = 1;
  if (S().wakeWrite >= 0) (void)!write(S().wakeWrite, &b, 1);
}

void OnTerminateSignal(int) {
  int saved = errno;
  g_signalClose.store(true);
  char b = 1;
  if (g_signalWakeFd >= 0) (void)!write(g_signalWakeFd, &b, 1);
  errno = saved;
}

Record* Find(HWND hwnd) {
  auto it = S().records.find(hwnd);
  return it == S().records.end() ? nullptr : &it->second;
}

bool Enqueue(Item item) {
  State& s = S();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.loopEnded) return false;
    if (item.hwnd != 0 && !s.live.count(item.hwnd)) return false;
    s.queue.push_back(std::move(item));
  }
  Wake();
  return true;
}

void Dispatch(const Item& item) {
  if (item.task) {
    item.task();
    return;
  }
  Record* r = Find(item.hwnd);
  if (!r || !r->proc) return;  // the window went away after the post
  r->proc(item.hwnd, item.msg, item.wParam, item.lParam);
}

}  // namespace

HWND CreateWindow(const std::string& className, const std::string& title, int width, int height,
                  WindowProc proc) {
  State& s = S();
  HWND id;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    id = s.nextId++;
    s.live.insert(id);
    s.shared[id].title = title;
  }
  Record r;
  r.className = className;
  r.proc = proc;
  r.bounds = Rect{0, 0, width, height};
  r.placement.normalPosition = r.bounds;
  s.records.emplace(id, std::move(r));
  return id;
}

bool IsWindow(HWND hwnd) {
  std::lock_guard<std::mutex> lock(S().mutex);
  return S().live.count(hwnd) != 0;
}

void DestroyWindow(HWND hwnd) {
  Record* r = Find(hwnd);
  if (!r) return;
  WindowProc proc = r->proc;
  if (proc) proc(hwnd, WM_DESTROY, 0, 0);
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    S().live.erase(hwnd);
    S().shared.erase(hwnd);
  }
  S().records.erase(hwnd);
  HWND expected = hwnd;
  g_foreground.compare_exchange_strong(expected, 0);
}

void BindBackend(HWND hwnd, std::shared_ptr<WindowBackend> backend) {
  if (Record* r = Find(hwnd)) r->backend = std::move(backend);
}

std::shared_ptr<WindowBackend> GetBackend(HWND hwnd) {
  Record* r = Find(hwnd);
  return r ? r->backend : nullptr;
}

LRESULT DefWindowProc(HWND hwnd, uint32_t msg, WPARAM, LPARAM) {
  if (msg == WM_CLOSE) DestroyWindow(hwnd);
  return 0;
}

LRESULT SendMessage(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam) {
  Record* r = Find(hwnd);
  if (!r || !r->proc) return 0;
  return r->proc(hwnd, msg, wParam, lParam);
}

std::vector<HWND> EnumWindows() {
  std::lock_guard<std::mutex> lock(S().mutex);
  return std::vector<HWND>(S().live.begin(), S().live.end());
}

uint64_t GetWindowStyle(HWND hwnd) {
  Record* r = Find(hwnd);
  return r ? r->style : 0;
}

void SetWindowStyle(HWND hwnd, uint64_t style) {
  if (Record* r = Find(hwnd)) r->style = style;
}

bool GetWindowPlacement(HWND hwnd, WindowPlacement* out) {
  Record* r = Find(hwnd);
  if (!r || !out) return false;
  *out = r->placement;
  return true;
}

bool SetWindowPlacement(HWND hwnd, const WindowPlacement& placement) {
  Record* r = Find(hwnd);
  if (!r) return false;
  r->placement = placement;
  r->bounds = placement.normalPosition;
  if (r->backend && (r->style & WS_OVERLAPPEDWINDOW)) r->backend->ApplyBounds(r->bounds);
  return true;
}

bool GetMonitorRect(HWND hwnd, Rect* out) {
  Record* r = Find(hwnd);
  if (!r || !r->backend || !out) return false;
  return r->backend->MonitorRect(out);
}

bool ReadFullscreen(HWND hwnd, bool* out) {
  Record* r = Find(hwnd);
  return r && r->backend && out && r->backend->ReadFullscreen(out);
}

bool SetWindowPos(HWND hwnd, int x, int y, int width, int height, uint32_t flags) {
  Record* r = Find(hwnd);
  if (!r) return false;
  Rect next = r->bounds;
  if (!(flags & SWP_NOMOVE)) next = Rect{x, y, x + next.Width(), y + next.Height()};
  if (!(flags & SWP_NOSIZE)) next.right = next.left + width, next.bottom = next.top + height;
  bool moved = !(next == r->bounds);
  r->bounds = next;
  bool framed = (r->style & WS_OVERLAPPEDWINDOW) != 0;
  if (framed) r->placement.normalPosition = next;
  if (!r->backend) return true;
  if (flags & SWP_FRAMECHANGED) r->backend->ApplyFullscreen(!framed);
  if (moved && framed) r->backend->ApplyBounds(next);
  return true;
}

Rect GetWindowRect(HWND hwnd) {
  Record* r = Find(hwnd);
  return r ? r->bounds : Rect{};
}

Rect GetClientRect(HWND hwnd) {
  Record* r = Find(hwnd);
  return r ? Rect{0, 0, r->bounds.Width(), r->bounds.Height()} : Rect{};
}

void NotifyBoundsChanged(HWND hwnd, const Rect& bounds) {
  Record* r = Find(hwnd);
  if (!r) return;
  r->bounds = bounds;
  if (r->style & WS_OVERLAPPEDWINDOW) r->placement.normalPosition = bounds;
  SendMessage(hwnd, WM_SIZE, 0, 0);
}

namespace {

// Brings the backend in line with the shared state; on the UI thread at once, else posted there.
// The posted task reads the state when it runs, so the last change wins whatever the order.
void ApplyShared(HWND hwnd, bool title, bool topmost) {
  auto apply = [hwnd, title, topmost] {
    Record* r = Find(hwnd);
    if (!r || !r->backend) return;
    Shared now;
    {
      std::lock_guard<std::mutex> lock(S().mutex);
      auto it = S().shared.find(hwnd);
      if (it == S().shared.end()) return;
      now = it->second;
    }
    if (title) r->backend->ApplyTitle(now.title);
    if (topmost) r->backend->ApplyTopmost(now.topmost);
  };
  if (IsUiThread()) {
    apply();
  } else {
    PostTask(apply);
  }
}

}  // namespace

void SetWindowTitle(HWND hwnd, const std::string& title) {
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    auto it = S().shared.find(hwnd);
    if (it == S().shared.end()) return;
    it->second.title = title;
  }
  ApplyShared(hwnd, true, false);
}

std::string GetWindowTitle(HWND hwnd) {
  std::lock_guard<std::mutex> lock(S().mutex);
  auto it = S().shared.find(hwnd);
  return it == S().shared.end() ? std::string() : it->second.title;
}

void SetTopmost(HWND hwnd, bool topmost) {
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    auto it = S().shared.find(hwnd);
    if (it == S().shared.end()) return;
    it->second.topmost = topmost;
  }
  ApplyShared(hwnd, false, true);
}

bool IsTopmost(HWND hwnd) {
  std::lock_guard<std::mutex> lock(S().mutex);
  auto it = S().shared.find(hwnd);
  return it != S().shared.end() && it->second.topmost;
}

void SetUserData(HWND hwnd, void* data) {
  if (Record* r = Find(hwnd)) r->userData = data;
}

void* GetUserData(HWND hwnd) {
  Record* r = Find(hwnd);
  return r ? r->userData : nullptr;
}

namespace {
std::mutex g_foregroundSourceMutex;
std::function<HWND()> g_foregroundSource;
}  // namespace

HWND GetForegroundWindow() {
  std::function<HWND()> source;
  {
    std::lock_guard<std::mutex> lock(g_foregroundSourceMutex);
    source = g_foregroundSource;
  }
  if (source) {
    HWND active = source();
    // Only a window that is still a record counts; the display may lag behind a close.
    if (active != 0 && IsWindow(active)) return active;
    return 0;
  }
  return g_foreground.load();
}
void SetForegroundWindow(HWND hwnd) { g_foreground.store(hwnd); }
void ActivateWindow(HWND hwnd) {
  if (!IsWindow(hwnd)) return;
  SetForegroundWindow(hwnd);
  if (auto backend = GetBackend(hwnd)) backend->Activate();
}
void SetForegroundSource(std::function<HWND()> source) {
  std::lock_guard<std::mutex> lock(g_foregroundSourceMutex);
  g_foregroundSource = std::move(source);
}

bool PostMessage(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam) {
  if (hwnd == 0) return false;
  Item item;
  item.hwnd = hwnd;
  item.msg = msg;
  item.wParam = wParam;
  item.lParam = lParam;
  return Enqueue(std::move(item));
}

bool PostTask(std::function<void()> fn) {
  if (!fn) return false;
  Item item;
  item.task = std::move(fn);
  return Enqueue(std::move(item));
}

void PostQuitMessage(int exitCode) {
  State& s = S();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.quitPosted = true;
    s.quitCode = exitCode;
  }
  Wake();
}

int RunMessageLoop() {
  State& s = S();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.uiThread = std::this_thread::get_id();
  }
  while (true) {
    if (g_signalClose.exchange(false)) {
      HWND main = g_closeOnSignal.load();
      if (main) PostMessage(main, WM_CLOSE, 0, 0);
    }
    Item item;
    bool have = false;
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      if (!s.queue.empty()) {
        item = std::move(s.queue.front());
        s.queue.pop_front();
        have = true;
      } else if (s.quitPosted) {
        // Like WM_QUIT, the quit is seen once the messages before it are done.
        s.loopEnded = true;
        s.queue.clear();
        return s.quitCode;
      }
    }
    if (have) {
      Dispatch(item);
      continue;
    }
    pollfd fd{s.wakeRead, POLLIN, 0};
    poll(&fd, 1, 500);
    char drain[64];
    while (s.wakeRead >= 0 && read(s.wakeRead, drain, sizeof drain) > 0) {
    }
  }
}

bool IsUiThread() {
  std::lock_guard<std::mutex> lock(S().mutex);
  return S().uiThread == std::this_thread::get_id();
}

void MarkFatal() { g_fatal.store(true); }
bool IsFatalMarked() { return g_fatal.load(); }

void CloseOnTerminateSignals(HWND mainWindow) {
  g_closeOnSignal.store(mainWindow);
  g_signalWakeFd = S().wakeWrite;
  struct sigaction sa {};
  sa.sa_handler = OnTerminateSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
}

void ResetForTesting() {
  State& s = S();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.queue.clear();
    s.live.clear();
    s.shared.clear();
    s.loopEnded = false;
    s.quitPosted = false;
    s.quitCode = 0;
  }
  s.records.clear();
  g_foreground.store(0);
  g_fatal.store(false);
}

}  // namespace platform::ui
