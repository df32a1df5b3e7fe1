#include "platform/browser_window.h"

#include <mutex>

#include "platform/browser_x11.h"

namespace platform {

namespace {

class BrowserWindowBackend : public ui::WindowBackend {
 public:
  BrowserWindowBackend(std::weak_ptr<BrowserView> view, ui::HWND hwnd, bool onDisplay)
      : view_(std::move(view)), hwnd_(hwnd), onDisplay_(onDisplay) {}
  ~BrowserWindowBackend() override {
    if (onDisplay_) x11::Untrack(hwnd_);
  }

  void ApplyBounds(const ui::Rect& b) override {
    if (auto v = view_.lock()) v->SetSize(b.Width(), b.Height());
  }
  void ApplyFullscreen(bool fullscreen) override {
    auto v = view_.lock();
    if (!v) return;
    v->SetFullscreen(fullscreen);
    if (onDisplay_) x11::NoteFullscreen(hwnd_, fullscreen);
  }
  bool ReadFullscreen(bool* out) override { return onDisplay_ && x11::Fullscreen(hwnd_, out); }
  bool MonitorRect(ui::Rect* out) override {
    auto v = view_.lock();
    int left, top, width, height;
    if (!v || !out || !v->ScreenRect(left, top, width, height)) return false;
    *out = ui::Rect{left, top, left + width, top + height};
    return true;
  }
  // The browser writes its document's title on its window; the facility puts the record's back.
  void ApplyTitle(const std::string& title) override {
    if (onDisplay_) x11::SetTitle(hwnd_, title);
  }
  void ApplyTopmost(bool topmost) override {
    if (onDisplay_) x11::SetAbove(hwnd_, topmost);
  }
  void Activate() override {
    if (auto v = view_.lock()) v->Activate();
  }

 private:
  std::weak_ptr<BrowserView> view_;
  const ui::HWND hwnd_;
  const bool onDisplay_;
};

}  // namespace

std::shared_ptr<ui::WindowBackend> MakeBrowserWindowBackend(std::shared_ptr<BrowserView> view, ui::HWND hwnd) {
  bool onDisplay = view && view->BrowserProcessId() > 0 && x11::Available();
  if (onDisplay) {
    static std::once_flag installed;
    std::call_once(installed, [] { ui::SetForegroundSource([] { return static_cast<ui::HWND>(x11::ActiveHandle()); }); });
    x11::Track(hwnd, view->BrowserProcessId());
    x11::SetTitle(hwnd, ui::GetWindowTitle(hwnd));
    x11::SetAbove(hwnd, ui::IsTopmost(hwnd));
  }
  return std::make_shared<BrowserWindowBackend>(view, hwnd, onDisplay);
}

}  // namespace platform
