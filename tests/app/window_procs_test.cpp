#include "app/window_procs.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace ui = platform::ui;

namespace {

struct FakeScreen : ui::WindowBackend {
  std::vector<std::string> calls;
  bool haveMonitor = true;
  std::optional<bool> shown;  // the fullscreen state on screen, when the screen tells
  void ApplyBounds(const ui::Rect& r) override {
    calls.push_back("bounds " + std::to_string(r.left) + "," + std::to_string(r.top) + " " +
                    std::to_string(r.Width()) + "x" + std::to_string(r.Height()));
  }
  void ApplyFullscreen(bool on) override { calls.push_back(on ? "fullscreen on" : "fullscreen off"); }
  bool MonitorRect(ui::Rect* out) override {
    *out = ui::Rect{-1920, 0, 0, 1080};
    return haveMonitor;
  }
  bool ReadFullscreen(bool* out) override {
    if (shown) *out = *shown;
    return shown.has_value();
  }
};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui::ResetForTesting();
    CurrentMainWindowHooks() = {};
    MainFullscreenState() = {};
  }
  void TearDown() override { ui::ResetForTesting(); }
};

TEST_F(WindowTest, FullscreenEntersMonitorAndRestoresPlacement) {
  HWND w = ui::CreateWindow(kMainWindowClass, kMainWindowTitle, 1280, 800, MainWndProc);
  auto screen = std::make_shared<FakeScreen>();
  ui::BindBackend(w, screen);
  ui::SetWindowPos(w, 100, 50, 1000, 700, ui::SWP_NOZORDER);
  const uint64_t styleBefore = ui::GetWindowStyle(w) | 0x1;  // an unrelated bit survives
  ui::SetWindowStyle(w, styleBefore);
  screen->calls.clear();

  FullscreenState state;
  ToggleFullscreen(w, state);
  EXPECT_TRUE(state.fullscreen);
  EXPECT_EQ(ui::GetWindowStyle(w), 0x1u);  // the overlapped bits removed, nothing else
  EXPECT_EQ(ui::GetWindowRect(w), (ui::Rect{-1920, 0, 0, 1080}));
  EXPECT_EQ(state.saved.normalPosition, (ui::Rect{100, 50, 1100, 750}));
  EXPECT_EQ(screen->calls, (std::vector<std::string>{"fullscreen on"}));

  screen->calls.clear();
  ToggleFullscreen(w, state);
  EXPECT_FALSE(state.fullscreen);
  EXPECT_EQ(ui::GetWindowStyle(w), styleBefore);
  EXPECT_EQ(ui::GetWindowRect(w), (ui::Rect{100, 50, 1100, 750}));
  EXPECT_EQ(screen->calls, (std::vector<std::string>{"bounds 100,50 1000x700", "fullscreen off"}));
}

// The browser's own keys enter and leave fullscreen behind the toggle's back: each toggle does
// what its name says from the state on screen, and leaving goes back to the placement from
// before fullscreen.
TEST_F(WindowTest, FullscreenToggleFollowsTheStateOnScreen) {
  struct Case {
    const char* name;
    bool flag;       // what the last toggle left
    bool shown;      // what the screen says now
    std::vector<std::string> calls;
    bool fullscreenAfter;
  } cases[] = {
      {"left by the browser's key: enters again", true, false, {"fullscreen on"}, true},
      {"entered by the browser's key: leaves", false, true, {"bounds 0,0 1000x700", "fullscreen off"}, false},
      {"as the toggle left it: leaves", true, true, {"bounds 0,0 1000x700", "fullscreen off"}, false},
      {"as the toggle left it: enters", false, false, {"fullscreen on"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ui::ResetForTesting();
    HWND w = ui::CreateWindow(kMainWindowClass, kMainWindowTitle, 1000, 700, MainWndProc);
    auto screen = std::make_shared<FakeScreen>();
    ui::BindBackend(w, screen);
    FullscreenState state;
    if (c.flag) ToggleFullscreen(w, state);
    screen->shown = c.shown;
    screen->calls.clear();
    ToggleFullscreen(w, state);
    EXPECT_EQ(screen->calls, c.calls);
    EXPECT_EQ(state.fullscreen, c.fullscreenAfter);
    EXPECT_EQ(ui::GetWindowStyle(w) & ui::WS_OVERLAPPEDWINDOW, c.fullscreenAfter ? 0u : ui::WS_OVERLAPPEDWINDOW);
    EXPECT_EQ(state.saved.normalPosition, (ui::Rect{0, 0, 1000, 700}));
    if (!c.fullscreenAfter) {
      EXPECT_EQ(ui::GetWindowRect(w), (ui::Rect{0, 0, 1000, 700}));
    }
  }
}

TEST_F(WindowTest, FullscreenWithoutMonitorChangesNothing) {
  HWND w = ui::CreateWindow(kMainWindowClass, kMainWindowTitle, 1280, 800, MainWndProc);
  auto screen = std::make_shared<FakeScreen>();
  screen->haveMonitor = false;
  ui::BindBackend(w, screen);
  FullscreenState state;
  ToggleFullscreen(w, state);
  EXPECT_FALSE(state.fullscreen);
  EXPECT_EQ(ui::GetWindowStyle(w), ui::WS_OVERLAPPEDWINDOW);
  EXPECT_TRUE(screen->calls.empty());
}

TEST_F(WindowTest, ToggleMessageReachesTheForegroundPopoutAndClosingItKeepsTheLoop) {
  HWND main = ui::CreateWindow(kMainWindowClass, kMainWindowTitle, 1280, 800, MainWndProc);
  HWND popout = ui::CreateWindow(kPopoutWindowClass, "Popout", 1100, 720, PopoutWndProc);
  ui::BindBackend(main, std::make_shared<FakeScreen>());
  ui::BindBackend(popout, std::make_shared<FakeScreen>());
  PopoutWindowState popoutState;
  int popoutResizes = 0, removed = 0, mainResizes = 0;
  popoutState.resizeWebView = [&] { ++popoutResizes; };
  popoutState.removeFromHost = [&] { ++removed; };
  ui::SetUserData(popout, &popoutState);
  CurrentMainWindowHooks().resizeWebView = [&] { ++mainResizes; };

  ui::SetForegroundWindow(popout);
  HWND target = ui::GetForegroundWindow() ? ui::GetForegroundWindow() : main;
  ASSERT_TRUE(ui::PostMessage(target, WM_APP_TOGGLE_FULLSCREEN, 0, 0));
  ASSERT_TRUE(ui::PostMessage(popout, ui::WM_CLOSE, 0, 0));
  ASSERT_TRUE(ui::PostTask([&] {
    EXPECT_TRUE(popoutState.fullscreen.fullscreen);
    EXPECT_FALSE(MainFullscreenState().fullscreen);
    EXPECT_FALSE(ui::IsWindow(popout));
    EXPECT_TRUE(ui::IsWindow(main));
    ui::PostMessage(main, ui::WM_CLOSE, 0, 0);  // the main window's close ends the loop
  }));
  EXPECT_EQ(ui::RunMessageLoop(), 0);
  EXPECT_EQ(popoutResizes, 1);
  EXPECT_EQ(removed, 1);
  EXPECT_EQ(mainResizes, 0);
  EXPECT_FALSE(ui::IsWindow(main));
  // After the loop nothing more is accepted, and posting to a gone window fails.
  EXPECT_FALSE(ui::PostMessage(popout, WM_APP_TOGGLE_FULLSCREEN, 0, 0));
}

TEST_F(WindowTest, PostedRecordsGoToTheirHooksAndOtherMessagesAreIgnored) {
  HWND main = ui::CreateWindow(kMainWindowClass, kMainWindowTitle, 1280, 800, MainWndProc);
  std::vector<LPARAM> dialogs, consents;
  int reloads = 0;
  CurrentMainWindowHooks().runNativeDialog = [&](LPARAM l) { dialogs.push_back(l); };
  CurrentMainWindowHooks().confirmDeveloperMode = [&](LPARAM l) { consents.push_back(l); };
  CurrentMainWindowHooks().reloadAfterUpdate = [&] { ++reloads; };
  ui::PostMessage(main, WM_APP_NATIVE_DIALOG, 0, 11);
  ui::PostMessage(main, WM_APP_DEVMODE_CONSENT, 0, 22);
  ui::PostMessage(main, WM_APP_OTA_RELOAD, 0, 0);
  ui::PostMessage(main, ui::WM_APP + 7, 0, 0);
  ui::PostMessage(main, ui::WM_CLOSE, 0, 0);
  EXPECT_EQ(ui::RunMessageLoop(), 0);
  EXPECT_EQ(dialogs, std::vector<LPARAM>{11});
  EXPECT_EQ(consents, std::vector<LPARAM>{22});
  EXPECT_EQ(reloads, 1);
}

}  // namespace
