#include "app/window_procs.h"

namespace ui = platform::ui;

MainWindowHooks& CurrentMainWindowHooks() {
  static auto* hooks = new MainWindowHooks;
  return *hooks;
}

FullscreenState& MainFullscreenState() {
  static auto* state = new FullscreenState;
  return *state;
}

namespace {

// Takes over a fullscreen state the window entered or left without this toggle: the style bits
// follow it, and entering keeps the placement to go back to.
void AdoptFullscreen(HWND hwnd, FullscreenState& state, bool fullscreen) {
  const uint64_t style = ui::GetWindowStyle(hwnd);
  if (fullscreen) {
    ui::GetWindowPlacement(hwnd, &state.saved);
    ui::SetWindowStyle(hwnd, style & ~ui::WS_OVERLAPPEDWINDOW);
  } else {
    ui::SetWindowStyle(hwnd, style | ui::WS_OVERLAPPEDWINDOW);
  }
  state.fullscreen = fullscreen;
}

}  // namespace

void ToggleFullscreen(HWND hwnd, FullscreenState& state) {
  // The browser enters and leaves fullscreen on its own keys (F11, Esc) too: the state the
  // window is really in decides what the toggle does, not the last toggle's flag.
  bool shown = false;
  if (ui::ReadFullscreen(hwnd, &shown) && shown != state.fullscreen) AdoptFullscreen(hwnd, state, shown);
  uint64_t style = ui::GetWindowStyle(hwnd);
  if (state.fullscreen) {
    ui::SetWindowStyle(hwnd, style | ui::WS_OVERLAPPEDWINDOW);
    ui::SetWindowPlacement(hwnd, state.saved);
    ui::SetWindowPos(hwnd, 0, 0, 0, 0,
                     ui::SWP_NOSIZE | ui::SWP_NOMOVE | ui::SWP_NOZORDER | ui::SWP_NOOWNERZORDER |
                         ui::SWP_FRAMECHANGED);
    state.fullscreen = false;
    return;
  }
  ui::WindowPlacement placement;
  ui::Rect monitor;
  if (!ui::GetWindowPlacement(hwnd, &placement) || !ui::GetMonitorRect(hwnd, &monitor)) return;
  state.saved = placement;
  ui::SetWindowStyle(hwnd, style & ~ui::WS_OVERLAPPEDWINDOW);
  // The whole monitor, not its work area.
  ui::SetWindowPos(hwnd, monitor.left, monitor.top, monitor.Width(), monitor.Height(),
                   ui::SWP_NOOWNERZORDER | ui::SWP_FRAMECHANGED);
  state.fullscreen = true;
}

LRESULT MainWndProc(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam) {
  MainWindowHooks& hooks = CurrentMainWindowHooks();
  switch (msg) {
    case ui::WM_DESTROY:
      ui::PostQuitMessage(0);
      return 0;
    case ui::WM_SIZE:
      if (hooks.resizeWebView) hooks.resizeWebView();
      return 0;
    case WM_APP_TOGGLE_FULLSCREEN:
      ToggleFullscreen(hwnd, MainFullscreenState());
      if (hooks.resizeWebView) hooks.resizeWebView();
      return 0;
    case WM_APP_NATIVE_DIALOG:
      if (hooks.runNativeDialog) hooks.runNativeDialog(lParam);
      return 0;
    case WM_APP_DEVMODE_CONSENT:
      if (hooks.confirmDeveloperMode) hooks.confirmDeveloperMode(lParam);
      return 0;
    case WM_APP_OTA_RELOAD:
      if (hooks.reloadAfterUpdate) hooks.reloadAfterUpdate();
      return 0;
    default:
      return ui::DefWindowProc(hwnd, msg, wParam, lParam);
  }
}

LRESULT PopoutWndProc(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam) {
  auto* state = static_cast<PopoutWindowState*>(ui::GetUserData(hwnd));
  switch (msg) {
    case ui::WM_DESTROY:
      if (state && state->removeFromHost) state->removeFromHost();
      return 0;
    case ui::WM_SIZE:
      if (state && state->resizeWebView) state->resizeWebView();
      return 0;
    case ui::WM_CLOSE:
      ui::DestroyWindow(hwnd);
      return 0;
    case WM_APP_TOGGLE_FULLSCREEN:
      if (state) {
        ToggleFullscreen(hwnd, state->fullscreen);
        if (state->resizeWebView) state->resizeWebView();
      }
      return 0;
    default:
      return ui::DefWindowProc(hwnd, msg, wParam, lParam);
  }
}
