#pragma once
// Windows shapes (ui::HWND, WPARAM, LPARAM) on purpose: the window procedures run on them.
// The main and popout window procedures, the posted application messages and fullscreen.
#include <functional>

#include "base/constants.h"
#include "platform/ui.h"

using platform::ui::HWND;
using platform::ui::LPARAM;
using platform::ui::LRESULT;
using platform::ui::WPARAM;

constexpr uint32_t WM_APP_TOGGLE_FULLSCREEN = platform::ui::WM_APP + 1;
constexpr uint32_t WM_APP_NATIVE_DIALOG = platform::ui::WM_APP + 2;
constexpr uint32_t WM_APP_DEVMODE_CONSENT = platform::ui::WM_APP + 3;
constexpr uint32_t WM_APP_OTA_RELOAD = platform::ui::WM_APP + 43;

constexpr const char kMainWindowClass[] = "QvnNativeWinWindow";
constexpr const char kPopoutWindowClass[] = "QvnNativeWinPopout";

struct FullscreenState {
  bool fullscreen = false;
  platform::ui::WindowPlacement saved;
};

// Borderless full-monitor mode on and off, from the state the window is really in when its
// backend can tell (else the flag's); the caller resizes the web view afterwards.
void ToggleFullscreen(HWND hwnd, FullscreenState& state);

// What the main window procedure reaches once the web view host and the dispatcher exist.
// Written once on the UI thread during start-up, before anything can post to them.
struct MainWindowHooks {
  std::function<void()> resizeWebView;       // the host's controller takes the client rectangle
  std::function<void()> reloadAfterUpdate;   // a new asset pack is in place
  std::function<void(LPARAM)> runNativeDialog;       // owns and frees the request record
  std::function<void(LPARAM)> confirmDeveloperMode;  // owns and frees the request record
  std::function<void(bool enabled)> applyDeveloperMode;  // the consent's answer: flag and title
};
MainWindowHooks& CurrentMainWindowHooks();
FullscreenState& MainFullscreenState();

// A popout window's state, owned by the web view host's popout record; stored as the
// window's user data.
struct PopoutWindowState {
  FullscreenState fullscreen;
  std::function<void()> resizeWebView;  // empty while the popout has no controller
  std::function<void()> removeFromHost;  // empty when the record has no host
};

LRESULT MainWndProc(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam);
LRESULT PopoutWndProc(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam);
