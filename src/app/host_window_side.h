#pragma once
// Windows shapes (ui::HWND, WPARAM, LPARAM) on purpose: the window procedures run on them.
// The host's window side of the page's requests: the bridge's WindowSide over the main window
// and its popouts. Window choice reads the window records (any thread); fullscreen and the
// consent box are posted to the main window's procedure, which runs them on the UI thread.
#include "app/window_procs.h"
#include "bridge/window_side.h"

class HostWindowSide : public WindowSide {
 public:
  explicit HostWindowSide(HWND mainWindow) : mainWindow_(mainWindow) {}

  bool SetAlwaysOnTop(const std::string& windowName, bool on) override;
  bool IsAlwaysOnTop(const std::string& windowName) override;
  void ToggleFullscreen() override;
  void SetDeveloperModeTitle(bool on) override;
  bool AskDeveloperModeConsent(std::unique_ptr<DeveloperModeRequest>& request) override;

 private:
  HWND ChooseWindow(const std::string& name) const;
  const HWND mainWindow_;
};

// The WM_APP_DEVMODE_CONSENT hook that takes over a record the window side posted and hands
// it to handler.
std::function<void(LPARAM)> TakeDeveloperModeRequests(
    std::function<void(std::unique_ptr<DeveloperModeRequest>)> handler);
