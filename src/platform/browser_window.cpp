#include "platform/browser_window.h"

namespace platform {

namespace {

class BrowserWindowBackend : public ui::WindowBackend {
 public:
  explicit BrowserWindowBackend(std::weak_ptr<BrowserView> view) : view_(std::move(view)) {}

  void ApplyBounds(const ui::Rect& b) override {
    if (auto v = view_.lock()) v->SetBounds(b.left, b.top, b.Width(), b.Height());
  }
  void ApplyFullscreen(bool fullscreen) override {
    if (auto v = view_.lock()) v->SetFullscreen(fullscreen);
  }
  bool MonitorRect(ui::Rect* out) override {
    auto v = view_.lock();
    int left, top, width, height;
    if (!v || !out || !v->ScreenRect(left, top, width, height)) return false;
    *out = ui::Rect{left, top, left + width, top + height};
    return true;
  }
  // The browser window shows its document's own title already.
  void ApplyTitle(const std::string&) override {}

 private:
  std::weak_ptr<BrowserView> view_;
};

}  // namespace

std::shared_ptr<ui::WindowBackend> MakeBrowserWindowBackend(std::shared_ptr<BrowserView> view) {
  return std::make_shared<BrowserWindowBackend>(view);
}

}  // namespace platform
