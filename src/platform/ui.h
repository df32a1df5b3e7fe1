#pragma once
// Windows shapes (ui::HWND, WPARAM, LPARAM) on purpose: the window procedures run on them.
// The UI thread's windows and message loop.
//
// A window is a record with a window procedure, kept by this layer and known to the rest of
// the host by a numeric handle. Handles are never reused, so a message posted to a window
// that has gone is refused or dropped instead of reaching something else. What actually shows
// a window (the browser window bound to the record) is a WindowBackend; the record keeps the
// state the operating system would keep (style, placement, title, user data).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform::ui {

using HWND = uint64_t;  // 0: no window
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using WindowProc = LRESULT (*)(HWND, uint32_t, WPARAM, LPARAM);

constexpr uint32_t WM_DESTROY = 0x0002;
constexpr uint32_t WM_SIZE = 0x0005;
constexpr uint32_t WM_CLOSE = 0x0010;
constexpr uint32_t WM_QUIT = 0x0012;
constexpr uint32_t WM_APP = 0x8000;

constexpr uint64_t WS_OVERLAPPEDWINDOW = 0x00CF0000;

constexpr uint32_t SWP_NOSIZE = 0x0001;
constexpr uint32_t SWP_NOMOVE = 0x0002;
constexpr uint32_t SWP_NOZORDER = 0x0004;
constexpr uint32_t SWP_FRAMECHANGED = 0x0020;
constexpr uint32_t SWP_NOOWNERZORDER = 0x0200;

struct Rect {
  int left = 0, top = 0, right = 0, bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  bool operator==(const Rect&) const = default;
};

struct WindowPlacement {
  Rect normalPosition;
  bool operator==(const WindowPlacement&) const = default;
};

// The thing on screen behind a window record. Called on the UI thread only.
class WindowBackend {
 public:
  virtual ~WindowBackend() = default;
  // The window's outer bounds changed (move or resize).
  virtual void ApplyBounds(const Rect& bounds) = 0;
  // Borderless full-monitor mode on or off.
  virtual void ApplyFullscreen(bool fullscreen) = 0;
  // The monitor rectangle the window is on; false when unknown.
  virtual bool MonitorRect(Rect* out) = 0;
  // Whether the window is fullscreen, as it really is on screen (a browser window also enters
  // and leaves fullscreen on the browser's own keys); false when the backend cannot tell.
  virtual bool ReadFullscreen(bool* /*out*/) { return false; }
  virtual void ApplyTitle(const std::string&) {}
  virtual void ApplyTopmost(bool) {}
  // Raise the window and give it the focus, where the desktop allows.
  virtual void Activate() {}
};

// Window records (UI thread only unless noted).
HWND CreateWindow(const std::string& className, const std::string& title, int width, int height,
                  WindowProc proc);
bool IsWindow(HWND hwnd);  // any thread
void DestroyWindow(HWND hwnd);
void BindBackend(HWND hwnd, std::shared_ptr<WindowBackend> backend);
std::shared_ptr<WindowBackend> GetBackend(HWND hwnd);
LRESULT DefWindowProc(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam);
LRESULT SendMessage(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam);
std::vector<HWND> EnumWindows();  // any thread, in creation order

uint64_t GetWindowStyle(HWND hwnd);
void SetWindowStyle(HWND hwnd, uint64_t style);
bool GetWindowPlacement(HWND hwnd, WindowPlacement* out);
bool SetWindowPlacement(HWND hwnd, const WindowPlacement& placement);
bool GetMonitorRect(HWND hwnd, Rect* out);
// The backend's word on whether the window is fullscreen (WindowBackend::ReadFullscreen).
bool ReadFullscreen(HWND hwnd, bool* out);
bool SetWindowPos(HWND hwnd, int x, int y, int width, int height, uint32_t flags);
Rect GetWindowRect(HWND hwnd);
Rect GetClientRect(HWND hwnd);  // origin 0,0, the window's size
// Title and topmost bit: any thread. Off the UI thread the backend follows through the loop.
void SetWindowTitle(HWND hwnd, const std::string& title);
std::string GetWindowTitle(HWND hwnd);
void SetTopmost(HWND hwnd, bool topmost);
bool IsTopmost(HWND hwnd);
// The backend reports a move or resize made on screen: the record follows and the window
// procedure gets WM_SIZE.
void NotifyBoundsChanged(HWND hwnd, const Rect& bounds);
void SetUserData(HWND hwnd, void* data);
void* GetUserData(HWND hwnd);

// Foreground window (any thread): what the installed source reports (the display's active
// window, 0 when it is none of ours); without a source, the record last set focused.
HWND GetForegroundWindow();
void SetForegroundWindow(HWND hwnd);
// UI thread: the window becomes the foreground one and its backend is asked to raise it.
void ActivateWindow(HWND hwnd);
// Installed once a display tells which window is active; an empty function removes it.
// The source is called without any lock of this layer held and may be called from any thread.
void SetForegroundSource(std::function<HWND()> source);

// Thread-safe: queues a message for the window's procedure on the UI thread. False when the
// window does not exist or the loop has ended; the caller then still owns what lParam carries.
bool PostMessage(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam);
// Posts a record that the window procedure takes over with TakePosted<T>(lParam). True: the
// message owns it now (record is left empty); false: record stays the caller's.
template <typename T>
bool PostOwned(HWND hwnd, uint32_t msg, std::unique_ptr<T>& record) {
  if (!PostMessage(hwnd, msg, 0, reinterpret_cast<LPARAM>(record.get()))) return false;
  (void)record.release();
  return true;
}
template <typename T>
std::unique_ptr<T> TakePosted(LPARAM lParam) {
  return std::unique_ptr<T>(reinterpret_cast<T*>(lParam));
}
// Thread-safe: runs fn on the UI thread (for layers that have no window procedure).
bool PostTask(std::function<void()> fn);
void PostQuitMessage(int exitCode);

// Runs the loop on the calling thread (which becomes the UI thread) until WM_QUIT; returns
// its exit code. Messages for windows that have gone are dropped.
int RunMessageLoop();
bool IsUiThread();

// Ends the run as a failure: the exit code becomes 1 whatever WM_QUIT carries. Used by the
// fatal paths that close the main window (any thread).
void MarkFatal();
bool IsFatalMarked();

// SIGTERM and SIGINT post WM_CLOSE to this window, as if the user closed it.
void CloseOnTerminateSignals(HWND mainWindow);

// Clears every record and queued message (tests).
void ResetForTesting();

}  // namespace platform::ui
