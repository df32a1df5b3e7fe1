#include "app/webview/webview_host.h"

#include <unistd.h>

#include <cstdlib>

#include "base/log.h"
#include "app/webview/startup_script.h"
#include "app/webview/webview_policy.h"
#include "platform/browser_window.h"
#include "platform/dialogs.h"
#include "platform/paths.h"
#include "platform/shell.h"
#include "platform/ui.h"

namespace ui = platform::ui;

namespace {

constexpr unsigned long kHrFail = 0x80004005UL;
constexpr unsigned long kHrFileNotFound = 0x80070002UL;

void ShowError(const char* text) {
  platform::ShowMessageBox(kMainWindowTitle, text, platform::MessageBoxKind::Error);
}

void ApplyAllowExternalDrop(platform::BrowserView& view) {
  LogPrintf("[webview] AllowExternalDrop=%d hr=0x%08lx\n", view.AllowExternalDrop() ? 1 : 0, 0UL);
}

void LockDownWebViewSettings(platform::BrowserView& view) {
  platform::SettingsResult r = view.LockDownSettings();
  LogPrintf("[webview] inspection disabled: devTools=0x%08lx contextMenu=0x%08lx accelerators=0x%08lx\n",
            static_cast<unsigned long>(r.devTools), static_cast<unsigned long>(r.contextMenus),
            static_cast<unsigned long>(r.accelerators));
}

// Hands a web address to the desktop's browser; logs when it could not be started.
void OpenInSystemBrowser(const std::string& uri) {
  if (uri.empty()) return;
  if (!platform::OpenExternal(uri)) LogPrintf("[webview] failed to open external URI: %s\n", uri.c_str());
}

}  // namespace

std::string GetWebViewUserDataFolder() {
  const char* forced = std::getenv("QVN_WEBVIEW_DATA");
  if (forced) {
    size_t n = std::string(forced).size();
    if (n >= 1 && n <= 259) {
      platform::CreateDirectories(forced);
      return forced;
    }
  }
  std::string base = platform::LocalAppDataDir();
  if (base.empty()) return {};
  std::string folder = platform::JoinPath(platform::JoinPath(base, "Quorvane"), "WebView2Data");
  platform::CreateDirectories(folder);
  return folder;
}

namespace {

// The browser's own account of why it ended, line by line, so the log says what it said.
void LogBrowserStderr() {
  const std::string tail = platform::BrowserStderrTail();
  size_t start = 0;
  while (start < tail.size()) {
    size_t end = tail.find('\n', start);
    if (end == std::string::npos) end = tail.size();
    LogPrintf("[webview] browser stderr: %s\n", tail.substr(start, end - start).c_str());
    start = end + 1;
  }
}

}  // namespace

WebViewHost::WebViewHost() = default;
WebViewHost::WebViewHost(AssetPackSources sources) : pack_(std::move(sources)) {}

WebViewHost::~WebViewHost() {
  *alive_ = false;
  for (auto& record : popouts_) {
    ui::SetUserData(record->window, nullptr);
    ui::BindBackend(record->window, nullptr);
    record->view.reset();
  }
  popouts_.clear();
  retired_.clear();
  onNavigated_ = nullptr;
  if (window_) ui::BindBackend(window_, nullptr);
  view_.reset();
  if (env_) env_->Shutdown();
  env_.reset();
}

void WebViewHost::Fatal(const char* text) {
  ShowError(text);
  ui::MarkFatal();
  ui::PostMessage(window_, ui::WM_CLOSE, 0, 0);
}

void WebViewHost::Initialize(HWND window, int wsPort, std::string token, std::string installationId,
                             std::string sessionHandle, std::function<void()> onNavigated) {
  window_ = window;
  wsPort_ = wsPort;
  token_ = std::move(token);
  installationId_ = std::move(installationId);
  sessionHandle_ = std::move(sessionHandle);
  onNavigated_ = std::move(onNavigated);

  if (!pack_.Load()) {
    LogPrintf("[webview] FATAL: could not load web asset pack (neither web.pack on disk nor embedded QVNPACK resource) -- qvn:// requests will all 404\n");
    Fatal("The embedded application files are missing or damaged.");
    return;
  }
  std::string userData = GetWebViewUserDataFolder();
  platform::BrowserLaunchOptions options;
  options.userDataDir = userData;
  // Handed to the browser directly: the host's environment (which every plugin and opener
  // inherits) stays as the user started it.
  options.additionalArguments = WebViewBrowserArguments(std::getenv("QVN_WEBVIEW_DEBUG_PORT"));
  options.headless = !platform::HasDisplay();
  options.noSandbox = geteuid() == 0;
  options.windowClass = kDesktopWindowClass;
  if (options.headless) LogPrintf("[webview] no display: running the browser headless\n");
  std::weak_ptr<bool> alive = alive_;
  platform::BrowserEnvironment::Create(
      options, [](std::function<void()> fn) { ui::PostTask(std::move(fn)); },
      [this, alive](std::shared_ptr<platform::BrowserEnvironment> env, const std::string& error) {
        auto a = alive.lock();
        if (!a || !*a) {
          if (env) env->Shutdown();
          return;
        }
        OnEnvironmentCreated(std::move(env), error);
      });
}

void WebViewHost::OnEnvironmentCreated(std::shared_ptr<platform::BrowserEnvironment> env, const std::string& error) {
  if (!env) {
    bool missing = platform::FindBrowserExecutable().empty();
    LogPrintf("[webview] environment creation failed: hr=0x%08lx\n", missing ? kHrFileNotFound : kHrFail);
    LogPrintf("[webview] browser: %s\n", error.c_str());
    LogBrowserStderr();
    Fatal("Chromium could not be started. Please repair or install Chromium and try again.");
    return;
  }
  env_ = std::move(env);
  std::weak_ptr<bool> alive = alive_;
  env_->SetProcessExitedHandler([this, alive](int status) {
    auto a = alive.lock();
    if (a && *a) OnBrowserExited(status);
  });
  env_->CreateMainView([this, alive](std::shared_ptr<platform::BrowserView> view, const std::string& error) {
    auto a = alive.lock();
    if (a && *a) OnControllerCreated(std::move(view), error);
  });
}

void WebViewHost::OnBrowserExited(int waitStatus) {
  // The user closing the main window ends the browser too; that is a normal end.
  if (mainClosed_) return;
  LogPrintf("[webview] FATAL: browser process exited (wait status %d)\n", waitStatus);
  LogBrowserStderr();
  ui::MarkFatal();
  ui::PostMessage(window_, ui::WM_CLOSE, 0, 0);
}

void WebViewHost::OnControllerCreated(std::shared_ptr<platform::BrowserView> view, const std::string& error) {
  if (!view) {
    LogPrintf("[webview] controller creation failed: hr=0x%08lx\n", kHrFail);
    if (!error.empty()) LogPrintf("[webview] browser: %s\n", error.c_str());
    Fatal("The application window could not be initialized.");
    return;
  }
  view_ = std::move(view);
  auto backend = platform::MakeBrowserWindowBackend(view_, window_);
  ui::BindBackend(window_, backend);
  backend->ApplyBounds(ui::GetWindowRect(window_));
  std::weak_ptr<bool> alive = alive_;
  view_->SetClosedHandler([this, alive] {
    auto a = alive.lock();
    if (!a || !*a) return;
    LogPrintf("[webview] main browser window closed\n");
    mainClosed_ = true;
    ui::PostMessage(window_, ui::WM_CLOSE, 0, 0);
  });

  ApplyAllowExternalDrop(*view_);
  LockDownWebViewSettings(*view_);
  SetupResourceHandler(*view_);
  InjectStartupScript(*view_);
  SetupConsoleBridge(*view_);
  SetupNewWindowHandler(*view_);
  SetupNavigationPolicy(*view_);

  const std::string start = StartPageUrl();
  LogPrintf("[webview] navigating %s mode to %s\n", "bundled", start.c_str());
  view_->Navigate(start);
  if (onNavigated_) onNavigated_();
}

void WebViewHost::ResizeToClient(HWND) {}

void WebViewHost::ReloadAfterUpdate() {
  if (!view_) {
    LogPrintf("[main] native OTA reload failed\n");
    return;
  }
  if (!pack_.Load()) {
    LogPrintf("[webview] OTA reload failed: active asset pack could not be loaded\n");
    LogPrintf("[main] native OTA reload failed\n");
    return;
  }
  view_->Navigate(StartPageUrl());
  LogPrintf("[webview] native OTA Navigate() hr=0x%08lx\n", 0UL);
}

std::optional<platform::WebResourceResponse> WebViewHost::ServeResource(const platform::WebResourceRequest& request) {
  std::string path = UrlToAssetPath(request.uri);
  if (IsNetworkPath(path)) return std::nullopt;
  size_t size = 0;
  std::string mime;
  std::shared_ptr<const uint8_t> data = pack_.Find(path, size, mime);
  platform::WebResourceResponse response;
  if (data) {
    LogPrintf("[webview] 200 %s (%zu bytes, %s)\n", path.c_str(), size, mime.c_str());
    response.status = 200;
    response.reason = "OK";
    response.headers.emplace_back("Content-Type", mime);
    // A copy: the response must not depend on the pack, which a reload replaces.
    response.body.assign(data.get(), data.get() + size);
  } else {
    LogPrintf("[webview] 404 %s\n", path.c_str());
    response.status = 404;
    response.reason = "Not Found";
  }
  return response;
}

void WebViewHost::SetupResourceHandler(platform::BrowserView& view) {
  view.AddResourceFilter(std::string(kAppOrigin) + "/");
  std::weak_ptr<bool> alive = alive_;
  view.SetResourceHandler([this, alive](const platform::WebResourceRequest& request)
                              -> std::optional<platform::WebResourceResponse> {
    auto a = alive.lock();
    if (!a || !*a) return std::nullopt;
    return ServeResource(request);
  });
}

void WebViewHost::InjectStartupScript(platform::BrowserView& view) {
  view.AddScriptOnDocumentCreated(BuildStartupScript(wsPort_, token_, installationId_, sessionHandle_),
                                  [](bool ok, const std::string&) {
                                    if (!ok) LogPrintf("[webview] AddScriptToExecuteOnDocumentCreated failed: hr=0x%08lx\n", kHrFail);
                                  });
}

void WebViewHost::SetupConsoleBridge(platform::BrowserView& view) {
  view.SetWebMessageHandler([](const std::string& source, const std::optional<std::string>& text) {
    if (!IsAppOrigin(source) || !text) return;
    std::string level, message;
    if (!ParseConsoleMessage(*text, level, message)) return;
    LogPrintf("[webview console][%s] %s\n", level.c_str(), message.c_str());
  });
}

void WebViewHost::SetupNavigationPolicy(platform::BrowserView& view) {
  view.SetNavigationStartingHandler([](const std::string& uri) {
    switch (DecideNavigation(uri)) {
      case NavigationDecision::kAllow:
        return false;
      case NavigationDecision::kOpenExternal:
        LogPrintf("[webview] opening external navigation in system browser: %s\n", uri.c_str());
        OpenInSystemBrowser(uri);
        return true;
      case NavigationDecision::kBlock:
        LogPrintf("[webview] blocked navigation: %s\n", uri.c_str());
        return true;
    }
    return true;
  });
}

void WebViewHost::SetupNewWindowHandler(platform::BrowserView& view) {
  std::weak_ptr<bool> alive = alive_;
  view.SetNewWindowHandler([this, alive](platform::NewWindowRequest& request) {
    auto a = alive.lock();
    if (!a || !*a) return;
    const std::string& uri = request.uri;
    switch (DecideNewWindow(uri)) {
      case NewWindowDecision::kDefault:
        LogPrintf("[webview] NewWindowRequested uri=%s -- not ours, leaving to default handling (likely Document PiP)\n", uri.c_str());
        request.outcome = platform::NewWindowRequest::Outcome::kDefault;
        return;
      case NewWindowDecision::kOpenExternal:
        LogPrintf("[webview] opening popup in system browser: %s\n", uri.c_str());
        OpenInSystemBrowser(uri);
        request.outcome = platform::NewWindowRequest::Outcome::kCancel;
        return;
      case NewWindowDecision::kBlock:
        LogPrintf("[webview] blocked popup URI: %s\n", uri.c_str());
        request.outcome = platform::NewWindowRequest::Outcome::kCancel;
        return;
      case NewWindowDecision::kPopout:
        CreatePopoutWindow(request);
        return;
    }
  });
}

void WebViewHost::CreatePopoutWindow(platform::NewWindowRequest& request) {
  // The new window stays paused until this returns: everything below is in place before the
  // popout runs any script, as a deferral would hold it.
  HWND window = ui::CreateWindow(kPopoutWindowClass, kMainWindowTitle, 1100, 720, PopoutWndProc);
  if (window == 0) {
    LogPrintf("[webview] popout: CreateWindowExW failed\n");
    request.outcome = platform::NewWindowRequest::Outcome::kDefault;
    return;
  }
  auto owned = std::make_unique<PopoutRecord>();
  PopoutRecord* record = owned.get();
  record->host = this;
  record->window = window;
  record->state.removeFromHost = [this, record] { RemovePopout(record); };
  ui::SetUserData(window, &record->state);
  popouts_.push_back(std::move(owned));

  record->view = request.view;
  platform::BrowserView& view = *record->view;
  ApplyAllowExternalDrop(view);
  std::string uri = request.uri.empty() ? StartPageUrl() : request.uri;
  LogPrintf("[webview] popout requested uri: %s\n", uri.c_str());

  LockDownWebViewSettings(view);
  SetupResourceHandler(view);
  InjectStartupScript(view);
  view.SetTitleChangedHandler([window](const std::string& title) {
    if (ui::IsWindow(window) && !title.empty()) ui::SetWindowTitle(window, title);
  });
  SetupNavigationPolicy(view);
  SetupConsoleBridge(view);
  SetupNewWindowHandler(view);
  view.SetNavigationCompletedHandler([](bool success, int webErrorStatus) {
    LogPrintf("[webview] popout NavigationCompleted success=%d webErrorStatus=%d\n", success ? 1 : 0, webErrorStatus);
  });
  view.SetProcessFailedHandler([](int kind) { LogPrintf("[webview] popout ProcessFailed kind=%d\n", kind); });
  // The user closed the popout's browser window: the record goes with its window.
  view.SetClosedHandler([window] {
    if (ui::IsWindow(window)) ui::DestroyWindow(window);
  });

  auto backend = platform::MakeBrowserWindowBackend(record->view, window);
  ui::BindBackend(window, backend);
  backend->ApplyBounds(ui::GetWindowRect(window));
  LogPrintf("[webview] popout controller IsVisible(before put_IsVisible)=%d\n", view.IsVisible() ? 1 : 0);

  request.outcome = platform::NewWindowRequest::Outcome::kAdopt;
  LogPrintf("[webview] popout deferral completed for %s\n", uri.c_str());
}

void WebViewHost::RemovePopout(PopoutRecord* record) {
  for (auto it = popouts_.begin(); it != popouts_.end(); ++it) {
    if (it->get() != record) continue;
    std::unique_ptr<PopoutRecord> removed = std::move(*it);
    popouts_.erase(it);
    if (removed->view) {
      removed->view->SetClosedHandler(nullptr);
      removed->view->Close();
      removed->view.reset();
    }
    ui::SetUserData(removed->window, nullptr);
    // This runs inside the record's own removeFromHost callback: the record is freed on the
    // next removal or with the host, never under its own running callback.
    retired_.clear();
    retired_.push_back(std::move(removed));
    return;
  }
}
