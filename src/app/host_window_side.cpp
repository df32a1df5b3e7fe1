#include "app/host_window_side.h"

#include "base/constants.h"
#include "base/strings.h"

namespace ui = platform::ui;

HWND HostWindowSide::ChooseWindow(const std::string& name) const {
  if (name == "main" || name == "mainWindow") return mainWindow_;
  if (!name.empty()) {
    // Every window record is this process's own and shown by its browser window.
    for (HWND w : ui::EnumWindows()) {
      std::u16string title = Utf8ToWide(ui::GetWindowTitle(w));
      if (title.size() > 255) title.resize(255);
      if (WideToUtf8(title).find(name) != std::string::npos) return w;
    }
  }
  HWND foreground = ui::GetForegroundWindow();
  if (foreground != 0 && ui::IsWindow(foreground)) return foreground;
  return mainWindow_;
}

bool HostWindowSide::SetAlwaysOnTop(const std::string& windowName, bool on) {
  HWND window = ChooseWindow(windowName);
  if (window == 0 || !ui::IsWindow(window)) return false;
  ui::SetTopmost(window, on);
  return true;
}

bool HostWindowSide::IsAlwaysOnTop(const std::string& windowName) {
  HWND window = ChooseWindow(windowName);
  return window != 0 && ui::IsWindow(window) && ui::IsTopmost(window);
}

void HostWindowSide::ToggleFullscreen() {
  HWND target = ui::GetForegroundWindow();
  if (target == 0) target = mainWindow_;
  ui::PostMessage(target, WM_APP_TOGGLE_FULLSCREEN, 0, 0);
}

void HostWindowSide::SetDeveloperModeTitle(bool on) {
  if (mainWindow_ == 0) return;
  ui::SetWindowTitle(mainWindow_, on ? kDeveloperModeTitle : kMainWindowTitle);
}

bool HostWindowSide::AskDeveloperModeConsent(std::unique_ptr<DeveloperModeRequest>& request) {
  return ui::PostOwned(mainWindow_, WM_APP_DEVMODE_CONSENT, request);
}

std::function<void(LPARAM)> TakeDeveloperModeRequests(
    std::function<void(std::unique_ptr<DeveloperModeRequest>)> handler) {
  return [handler = std::move(handler)](LPARAM lParam) {
    handler(ui::TakePosted<DeveloperModeRequest>(lParam));
  };
}
