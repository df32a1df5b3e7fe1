#pragma once
// Windows shapes (ui::HWND, WPARAM, LPARAM) on purpose: the window procedures run on them.
// A window record's operations carried out on the browser window that shows its page: size
// and fullscreen over the browser's protocol; the title, always-on-top, the active window and
// the fullscreen state the window is really in through the X11 facility (browser_x11.h) when
// there is a display. The record's position is never applied: the window manager places the
// window, frame and title bar on the screen, and the user moves it; the record never learns
// where it went.
//
// UI thread only, as every WindowBackend. The backend holds the view weakly (the web view host
// owns it) and tracks the record's handle with the X11 facility from creation to destruction.
#include <memory>

#include "platform/browser.h"
#include "platform/ui.h"

namespace platform {

// Binds nothing itself; the caller binds the result to hwnd. The record's current title and
// topmost bit are put on screen as soon as the browser's window is known.
std::shared_ptr<ui::WindowBackend> MakeBrowserWindowBackend(std::shared_ptr<BrowserView> view, ui::HWND hwnd);

}  // namespace platform
