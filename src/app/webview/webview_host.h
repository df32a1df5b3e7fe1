#pragma once
// Windows shapes (ui::HWND, WPARAM, LPARAM) on purpose: the window procedures run on them.
// The web UI in the browser: serves the app origin from the asset pack, injects the startup
// script, keeps navigation inside the app, turns the page's windows of the app origin into
// popout windows, and copies the page's console into the log. UI thread only.
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "app/assets/asset_pack.h"
#include "app/window_procs.h"
#include "platform/browser.h"

class WebViewHost;

// One popout window. The window's user data points at state.
struct PopoutRecord {
  WebViewHost* host = nullptr;  // the host owns the record and outlives it
  HWND window = 0;
  std::shared_ptr<platform::BrowserView> view;  // null until set up
  PopoutWindowState state;
};

class WebViewHost {
 public:
  WebViewHost();
  explicit WebViewHost(AssetPackSources sources);
  ~WebViewHost();
  WebViewHost(const WebViewHost&) = delete;
  WebViewHost& operator=(const WebViewHost&) = delete;

  void Initialize(HWND window, int wsPort, std::string token, std::string installationId,
                  std::string sessionHandle, std::function<void()> onNavigated);
  void RemovePopout(PopoutRecord* record);
  // The page always fills its browser window, so there is nothing to resize; kept for the
  // window procedure's WM_SIZE.
  void ResizeToClient(HWND window);
  // A new asset pack is in place: load it again and show the start page.
  void ReloadAfterUpdate();

  bool HasWebView() const { return static_cast<bool>(view_); }
  size_t PopoutCount() const { return popouts_.size(); }

 private:
  void OnEnvironmentCreated(std::shared_ptr<platform::BrowserEnvironment> env, const std::string& error);
  void OnControllerCreated(std::shared_ptr<platform::BrowserView> view, const std::string& error);
  void OnBrowserExited(int waitStatus);
  void Fatal(const char* text);
  void SetupResourceHandler(platform::BrowserView& view);
  void InjectStartupScript(platform::BrowserView& view);
  void SetupConsoleBridge(platform::BrowserView& view);
  void SetupNewWindowHandler(platform::BrowserView& view);
  void SetupNavigationPolicy(platform::BrowserView& view);
  void CreatePopoutWindow(platform::NewWindowRequest& request);
  std::optional<platform::WebResourceResponse> ServeResource(const platform::WebResourceRequest& request);

  std::list<std::unique_ptr<PopoutRecord>> popouts_;
  std::vector<std::unique_ptr<PopoutRecord>> retired_;
  std::function<void()> onNavigated_;
  int wsPort_ = 0;
  std::string token_, installationId_, sessionHandle_;
  AssetPack pack_;
  HWND window_ = 0;
  bool mainClosed_ = false;
  std::shared_ptr<platform::BrowserEnvironment> env_;
  std::shared_ptr<platform::BrowserView> view_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// The browser's user-data folder: QVN_WEBVIEW_DATA when it names one (1 to 259 characters),
// else "Quorvane/WebView2Data" in the per-user data folder; created with its parents. ""
// when neither can be resolved.
std::string GetWebViewUserDataFolder();
