#include "platform/browser_x11.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "platform/unique_fd.h"

namespace platform::x11 {

std::vector<std::pair<uint64_t, unsigned long>> MatchInOrder(const std::vector<uint64_t>& handles,
                                                               std::vector<unsigned long> windows) {
  std::sort(windows.begin(), windows.end());
  windows.erase(std::unique(windows.begin(), windows.end()), windows.end());
  std::vector<std::pair<uint64_t, unsigned long>> out;
  for (size_t i = 0; i < handles.size() && i < windows.size(); ++i) out.emplace_back(handles[i], windows[i]);
  return out;
}

namespace {

// Set by the I/O error exit handler (the display went away): no Xlib call is made afterwards.
std::atomic<bool> g_dead{false};

int IgnoreErrors(Display*, XErrorEvent*) { return 0; }
void OnIoErrorExit(Display*, void*) { g_dead = true; }

struct Tracked {
  uint64_t handle = 0;
  int pid = 0;
  Window window = 0;
  std::optional<std::string> title;
  std::optional<bool> above;
  std::optional<bool> fullscreen;  // the last word (NoteFullscreen)
  bool shownFullscreen = false;    // the window's state property, as last read
};

class Facility {
 public:
  static Facility& Get() {
    static Facility f;
    return f;
  }

  ~Facility() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    Wake();
    if (events_.joinable()) events_.join();
    std::lock_guard<std::mutex> lock(mu_);
    if (dpy_ && !g_dead) XCloseDisplay(dpy_);
    dpy_ = nullptr;
  }

  bool Open() {
    std::lock_guard<std::mutex> lock(mu_);
    return OpenLocked();
  }

  void Track(uint64_t handle, int pid) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!OpenLocked() || handle == 0 || pid <= 0) return;
    for (auto& t : tracked_) {
      if (t.handle == handle) {
        t.pid = pid;
        ResolveLocked();
        return;
      }
    }
    Tracked t;
    t.handle = handle;
    t.pid = pid;
    tracked_.push_back(std::move(t));
    ResolveLocked();
    Settle();
  }

  void Untrack(uint64_t handle) {
    std::lock_guard<std::mutex> lock(mu_);
    tracked_.erase(std::remove_if(tracked_.begin(), tracked_.end(), [&](const Tracked& t) { return t.handle == handle; }),
                   tracked_.end());
  }

  void SetTitle(uint64_t handle, const std::string& title) {
    std::lock_guard<std::mutex> lock(mu_);
    Tracked* t = Find(handle);
    if (!t || !Usable()) return;
    t->title = title;
    if (!t->window) ResolveLocked();
    if (t->window) WriteTitle(t->window, title);
    Settle();
  }

  void SetAbove(uint64_t handle, bool above) {
    std::lock_guard<std::mutex> lock(mu_);
    Tracked* t = Find(handle);
    if (!t || !Usable()) return;
    t->above = above;
    if (!t->window) ResolveLocked();
    if (t->window) WriteAbove(t->window, above);
    Settle();
  }

  void NoteFullscreen(uint64_t handle, bool fullscreen) {
    std::lock_guard<std::mutex> lock(mu_);
    if (Tracked* t = Find(handle)) t->fullscreen = fullscreen;
  }

  bool Fullscreen(uint64_t handle, bool* out) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!Usable() || !out) return false;
    // What the screen has said so far counts, also when the event thread has not read it yet.
    while (!g_dead && XPending(dpy_) > 0) {
      XEvent e;
      XNextEvent(dpy_, &e);
      Handle(e);
    }
    Tracked* t = Find(handle);
    if (!t || !t->fullscreen) return false;
    *out = *t->fullscreen;
    return true;
  }

  uint64_t ActiveHandle() {
    std::lock_guard<std::mutex> lock(mu_);
    if (!Usable()) return 0;
    ResolveLocked();
    Window active = 0;
    std::vector<unsigned long> v = Cardinals(root_, atoms_.activeWindow, XA_WINDOW);
    if (!v.empty()) {
      active = v[0];
    } else {
      // No window manager: the input focus, walked up to a top-level window.
      int revert = 0;
      XGetInputFocus(dpy_, &active, &revert);
    }
    uint64_t found = 0;
    for (int depth = 0; active != 0 && active != PointerRoot && active != root_ && depth < 32 && !found; ++depth) {
      for (const auto& t : tracked_) {
        if (t.window == active) found = t.handle;
      }
      if (found) break;
      Window rootOut = 0, parent = 0, *children = nullptr;
      unsigned int count = 0;
      if (!XQueryTree(dpy_, active, &rootOut, &parent, &children, &count)) break;
      if (children) XFree(children);
      active = parent;
    }
    Settle();
    return found;
  }

  unsigned long WindowOf(uint64_t handle) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!Usable()) return 0;
    Tracked* t = Find(handle);
    if (t && !t->window) ResolveLocked();
    Settle();
    return t ? t->window : 0;
  }

 private:
  struct Atoms {
    Atom netWmName, wmName, utf8, netWmState, above, fullscreen, activeWindow, clientList, wmPid, supportingCheck;
  };

  bool Usable() const { return dpy_ && !g_dead; }

  bool OpenLocked() {
    if (tried_) return Usable();
    tried_ = true;
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) return false;
    XInitThreads();
    XSetErrorHandler(IgnoreErrors);
    dpy_ = XOpenDisplay(nullptr);
    if (!dpy_) return false;
    XSetIOErrorExitHandler(dpy_, OnIoErrorExit, nullptr);
    root_ = DefaultRootWindow(dpy_);
    atoms_.netWmName = XInternAtom(dpy_, "_NET_WM_NAME", False);
    atoms_.wmName = XA_WM_NAME;
    atoms_.utf8 = XInternAtom(dpy_, "UTF8_STRING", False);
    atoms_.netWmState = XInternAtom(dpy_, "_NET_WM_STATE", False);
    atoms_.above = XInternAtom(dpy_, "_NET_WM_STATE_ABOVE", False);
    atoms_.fullscreen = XInternAtom(dpy_, "_NET_WM_STATE_FULLSCREEN", False);
    atoms_.activeWindow = XInternAtom(dpy_, "_NET_ACTIVE_WINDOW", False);
    atoms_.clientList = XInternAtom(dpy_, "_NET_CLIENT_LIST", False);
    atoms_.wmPid = XInternAtom(dpy_, "_NET_WM_PID", False);
    atoms_.supportingCheck = XInternAtom(dpy_, "_NET_SUPPORTING_WM_CHECK", False);
    XSelectInput(dpy_, root_, PropertyChangeMask | SubstructureNotifyMask);
    XFlush(dpy_);
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) == 0) {
      wakeRead_.Reset(pipeFds[0]);
      wakeWrite_.Reset(pipeFds[1]);
      events_ = std::thread([this] { EventLoop(); });
    }
    return true;
  }

  Tracked* Find(uint64_t handle) {
    for (auto& t : tracked_) {
      if (t.handle == handle) return &t;
    }
    return nullptr;
  }

  // 32-bit list properties (CARDINAL, WINDOW); empty when missing.
  std::vector<unsigned long> Cardinals(Window w, Atom property, Atom type) {
    std::vector<unsigned long> out;
    Atom actual = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(dpy_, w, property, 0, 4096, False, type, &actual, &format, &count, &after, &data) == Success &&
        data) {
      if (actual == type && format == 32) {
        const unsigned long* values = reinterpret_cast<const unsigned long*>(data);
        out.assign(values, values + count);
      }
      XFree(data);
    }
    return out;
  }

  std::optional<std::string> ReadName(Window w) {
    Atom actual = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::optional<std::string> out;
    if (XGetWindowProperty(dpy_, w, atoms_.netWmName, 0, 4096, False, atoms_.utf8, &actual, &format, &count, &after,
                           &data) == Success) {
      if (data && actual == atoms_.utf8 && format == 8) out = std::string(reinterpret_cast<char*>(data), count);
      if (data) XFree(data);
    }
    return out;
  }

  bool ShownFullscreen(Window w) {
    std::vector<unsigned long> state = Cardinals(w, atoms_.netWmState, XA_ATOM);
    return std::find(state.begin(), state.end(), atoms_.fullscreen) != state.end();
  }

  bool HasWindowManager() { return !Cardinals(root_, atoms_.supportingCheck, XA_WINDOW).empty(); }

  // The browser's top-level windows of pid that are not yet matched, dialogs left out.
  std::vector<unsigned long> Candidates(int pid) {
    std::vector<unsigned long> all = Cardinals(root_, atoms_.clientList, XA_WINDOW);
    bool managed = !all.empty();
    if (!managed) {
      Window rootOut = 0, parent = 0, *children = nullptr;
      unsigned int count = 0;
      if (XQueryTree(dpy_, root_, &rootOut, &parent, &children, &count) && children) {
        all.assign(children, children + count);
        XFree(children);
      }
    }
    std::vector<unsigned long> out;
    for (unsigned long w : all) {
      if (used_.count(w)) continue;
      std::vector<unsigned long> p = Cardinals(w, atoms_.wmPid, XA_CARDINAL);
      if (p.empty() || static_cast<int>(p[0]) != pid) continue;
      Window transientFor = 0;
      if (XGetTransientForHint(dpy_, w, &transientFor) && transientFor != 0) continue;
      if (!managed) {
        XWindowAttributes a;
        if (!XGetWindowAttributes(dpy_, w, &a) || a.override_redirect || a.map_state != IsViewable) continue;
      }
      out.push_back(w);
    }
    return out;
  }

  void ResolveLocked() {
    if (!Usable()) return;
    std::set<int> pids;
    for (const auto& t : tracked_) {
      if (!t.window) pids.insert(t.pid);
    }
    for (int pid : pids) {
      std::vector<uint64_t> handles;
      for (const auto& t : tracked_) {
        if (!t.window && t.pid == pid) handles.push_back(t.handle);
      }
      auto cands = Candidates(pid);
      for (const auto& [handle, window] : MatchInOrder(handles, cands)) {
        Tracked* t = Find(handle);
        if (!t) continue;
        t->window = window;
        used_.insert(window);
        XSelectInput(dpy_, window, PropertyChangeMask | StructureNotifyMask);
        t->shownFullscreen = ShownFullscreen(window);
        if (t->title) WriteTitle(window, *t->title);
        if (t->above) WriteAbove(window, *t->above);
      }
    }
    XFlush(dpy_);
  }

  void WriteTitle(Window w, const std::string& title) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(title.data());
    XChangeProperty(dpy_, w, atoms_.netWmName, atoms_.utf8, 8, PropModeReplace, bytes, static_cast<int>(title.size()));
    XChangeProperty(dpy_, w, atoms_.wmName, atoms_.utf8, 8, PropModeReplace, bytes, static_cast<int>(title.size()));
    XFlush(dpy_);
  }

  void WriteAbove(Window w, bool above) {
    if (HasWindowManager()) {
      // A managed window's state belongs to the window manager: ask it.
      XEvent e{};
      e.xclient.type = ClientMessage;
      e.xclient.window = w;
      e.xclient.message_type = atoms_.netWmState;
      e.xclient.format = 32;
      e.xclient.data.l[0] = above ? 1 : 0;  // _NET_WM_STATE_ADD / _REMOVE
      e.xclient.data.l[1] = static_cast<long>(atoms_.above);
      e.xclient.data.l[3] = 1;  // a normal application
      XSendEvent(dpy_, root_, False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
    } else {
      std::vector<unsigned long> state = Cardinals(w, atoms_.netWmState, XA_ATOM);
      state.erase(std::remove(state.begin(), state.end(), atoms_.above), state.end());
      if (above) state.push_back(atoms_.above);
      XChangeProperty(dpy_, w, atoms_.netWmState, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(state.data()), static_cast<int>(state.size()));
    }
    XFlush(dpy_);
  }

  // Events another thread's call read into the queue would not wake the event thread's poll.
  void Settle() {
    if (Usable() && XQLength(dpy_) > 0) Wake();
  }

  void Wake() {
    if (!wakeWrite_) return;
    char b = 1;
    (void)!write(wakeWrite_.get(), &b, 1);
  }

  void Handle(const XEvent& e) {
    switch (e.type) {
      case PropertyNotify: {
        const XPropertyEvent& p = e.xproperty;
        if (p.window == root_) {
          if (p.atom == atoms_.clientList) ResolveLocked();
          return;
        }
        if (p.atom == atoms_.netWmState) {
          for (auto& t : tracked_) {
            if (t.window != p.window) continue;
            // Only a change of fullscreen is a word: another state bit leaves the last one.
            bool shown = ShownFullscreen(p.window);
            if (shown != t.shownFullscreen) t.fullscreen = t.shownFullscreen = shown;
          }
          return;
        }
        if (p.atom != atoms_.netWmName && p.atom != atoms_.wmName) return;
        for (const auto& t : tracked_) {
          if (t.window != p.window || !t.title) continue;
          // The browser wrote its document's title: the host's title goes back.
          if (ReadName(p.window) != t.title) WriteTitle(p.window, *t.title);
        }
        return;
      }
      case MapNotify:
      case CreateNotify:
        ResolveLocked();
        return;
      case DestroyNotify: {
        Window w = e.xdestroywindow.window;
        used_.erase(w);
        for (auto& t : tracked_) {
          if (t.window == w) t.window = 0;
        }
        return;
      }
      default:
        return;
    }
  }

  void EventLoop() {
    int xfd = -1;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!Usable()) return;
      xfd = ConnectionNumber(dpy_);
    }
    for (;;) {
      pollfd fds[2] = {{xfd, POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
      int n = poll(fds, 2, -1);
      if (n < 0 && errno != EINTR) return;
      if (fds[1].revents) {
        char buf[64];
        while (read(wakeRead_.get(), buf, sizeof buf) > 0) {
        }
      }
      std::lock_guard<std::mutex> lock(mu_);
      if (stop_ || !Usable()) return;
      if (fds[0].revents & (POLLERR | POLLHUP)) return;
      while (!g_dead && XPending(dpy_) > 0) {
        XEvent e;
        XNextEvent(dpy_, &e);
        Handle(e);
      }
    }
  }

  std::mutex mu_;  // guards everything below and every use of dpy_
  bool tried_ = false;
  bool stop_ = false;
  Display* dpy_ = nullptr;
  Window root_ = 0;
  Atoms atoms_{};
  std::vector<Tracked> tracked_;  // in the order they were tracked
  std::set<unsigned long> used_;  // windows matched once, while they exist
  UniqueFd wakeRead_, wakeWrite_;
  std::thread events_;
};

}  // namespace

bool Available() { return Facility::Get().Open(); }
void Track(uint64_t handle, int browserPid) { Facility::Get().Track(handle, browserPid); }
void Untrack(uint64_t handle) { Facility::Get().Untrack(handle); }
void SetTitle(uint64_t handle, const std::string& title) { Facility::Get().SetTitle(handle, title); }
void SetAbove(uint64_t handle, bool above) { Facility::Get().SetAbove(handle, above); }
void NoteFullscreen(uint64_t handle, bool fullscreen) { Facility::Get().NoteFullscreen(handle, fullscreen); }
bool Fullscreen(uint64_t handle, bool* out) { return Facility::Get().Fullscreen(handle, out); }
uint64_t ActiveHandle() { return Facility::Get().ActiveHandle(); }
unsigned long WindowOf(uint64_t handle) { return Facility::Get().WindowOf(handle); }

}  // namespace platform::x11
