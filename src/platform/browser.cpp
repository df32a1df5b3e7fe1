#include "platform/browser.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "base/base64.h"
#include "base/locked_slot.h"
#include "platform/browser_cdp.h"
#include "platform/browser_session.h"
#include "platform/files.h"
#include "platform/process.h"

namespace platform {

using nlohmann::json;

namespace {

// The page side of window.chrome.webview.postMessage: strings travel as "s" + text, any other
// value as "j" + its JSON, so the host can tell a posted string from an object.
constexpr const char kBindingName[] = "__qvnWebviewPost";
constexpr const char kWebviewShim[] =
    "(function () {\n"
    "  var post = window.__qvnWebviewPost;\n"
    "  if (typeof post !== 'function') return;\n"
    "  window.chrome = window.chrome || {};\n"
    "  if (window.chrome.webview) return;\n"
    "  window.chrome.webview = { postMessage: function (m) {\n"
    "    post(typeof m === 'string' ? 's' + m : 'j' + JSON.stringify(m));\n"
    "  } };\n"
    "})();\n";
// The default context menu stays closed; the page's own contextmenu handlers still run.
constexpr const char kNoContextMenu[] =
    "window.addEventListener('contextmenu', function (e) { e.preventDefault(); }, true);\n";

// The document's title, as the page has it: the browser's own target title is the address
// while a document has none, and it is not reported again on every change. Only the top
// document's default world reports (checked on the host side too).
constexpr const char kTitleBindingName[] = "__qvnTitle";
constexpr size_t kMaxTitleBytes = 4096;
constexpr const char kTitleWatcher[] =
    "(function () {\n"
    "  var post = window.__qvnTitle;\n"
    "  if (typeof post !== 'function' || window.top !== window) return;\n"
    "  var last = null;\n"
    "  function report() { var t = document.title; if (t !== last) { last = t; post(t); } }\n"
    "  function watch() {\n"
    "    report();\n"
    "    new MutationObserver(report).observe(document.head || document.documentElement,\n"
    "        { subtree: true, childList: true, characterData: true });\n"
    "  }\n"
    "  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', watch); else watch();\n"
    "})();\n";

// A page window opened by the page is a window of its own, as in an embedded web view: without
// window features (window.open without them, a link with target _blank) the browser would put
// it in a tab of an ordinary browser window instead. The page's own click handlers run first.
constexpr const char kOwnWindows[] =
    "(function () {\n"
    "  var open = window.open;\n"
    "  if (typeof open !== 'function' || open.__qvnOwnWindow) return;\n"
    "  var wrapped = function (url, target, features) {\n"
    "    if (features === undefined || features === null || String(features) === '') features = 'popup';\n"
    "    return open.call(window, url, target, features);\n"
    "  };\n"
    "  wrapped.__qvnOwnWindow = true;\n"
    "  window.open = wrapped;\n"
    "  document.addEventListener('click', function (e) {\n"
    "    var a = e.target && e.target.closest ? e.target.closest('a[target=\"_blank\"]') : null;\n"
    "    if (!a || e.defaultPrevented || !a.href) return;\n"
    "    e.preventDefault();\n"
    "    wrapped(a.href, '_blank');\n"
    "  });\n"
    "})();\n";

// The main window's first document: the browser shows an app window (only the page, no tabs,
// address bar or menus) only for a real address, and the host navigates it to the start page.
constexpr const char kAppWindowFirstPage[] = "data:text/html,";

constexpr size_t kMaxPendingOpens = 32;
// Top documents held while a first navigation's scripts are answered; an older one is failed.
constexpr size_t kMaxHeldDocuments = 8;

// The browser's own web-page omnibox popups: the host's windows have no address bar.
constexpr const char kNoOmniboxPopups[] =
    "PreloadTopChromeWebUI,WebUIOmniboxPopup,WebUIOmniboxAimPopup,WebUIOmniboxFullPopup";

std::string Str(const json& j, const char* key) {
  auto it = j.find(key);
  return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

std::string FindBrowserExecutable() {
  if (const char* forced = std::getenv("QVN_BROWSER_EXECUTABLE")) {
    return access(forced, X_OK) == 0 ? std::string(forced) : std::string();
  }
  for (const char* candidate : {"/usr/lib/chromium/chromium", "/usr/lib/chromium-browser/chromium-browser"}) {
    if (access(candidate, X_OK) == 0) return candidate;
  }
  return {};
}

std::vector<std::string> SplitBrowserArguments(const std::string& text) {
  std::vector<std::string> out;
  std::string current;
  bool inQuotes = false, any = false;
  for (char c : text) {
    if (c == '"') {
      inQuotes = !inQuotes;
      any = true;
    } else if (!inQuotes && (c == ' ' || c == '\t' || c == '\n' || c == '\r')) {
      if (any) out.push_back(current);
      current.clear();
      any = false;
    } else {
      current.push_back(c);
      any = true;
    }
  }
  if (any) out.push_back(current);
  return out;
}

std::vector<std::string> BrowserCommandLine(const BrowserLaunchOptions& options) {
  std::string exe = options.executable.empty() ? FindBrowserExecutable() : options.executable;
  std::vector<std::string> argv = {exe, "--remote-debugging-pipe"};
  if (!options.userDataDir.empty()) argv.push_back("--user-data-dir=" + options.userDataDir);
  for (const char* a : {"--no-first-run", "--no-default-browser-check", "--disable-background-networking",
                        "--disable-component-update", "--disable-sync", "--disable-popup-blocking",
                        "--password-store=basic"}) {
    argv.push_back(a);
  }
  if (options.noSandbox) argv.push_back("--no-sandbox");
  if (options.headless) {
    argv.push_back("--headless=new");
    argv.push_back("--disable-gpu");
  } else {
    // The window facility speaks X11; on a Wayland desktop the browser goes through XWayland.
    argv.push_back("--ozone-platform=x11");
    if (!options.windowClass.empty()) argv.push_back("--class=" + options.windowClass);
  }
  // The browser keeps only the last --disable-features / --enable-features switch, so every
  // list given (ours and the caller's) is merged into one of each.
  // Without the omnibox popups the browser no longer loads two pages of its own at every start,
  // beside the host's.
  std::string disabled = "LocalNetworkAccessChecks," + std::string(kNoOmniboxPopups), enabled;
  std::vector<std::string> rest;
  for (auto& a : SplitBrowserArguments(options.additionalArguments)) {
    if (StartsWith(a, "--disable-features=")) {
      std::string v = a.substr(19);
      if (!v.empty()) disabled += "," + v;
    } else if (StartsWith(a, "--enable-features=")) {
      std::string v = a.substr(18);
      if (!v.empty()) enabled += (enabled.empty() ? "" : ",") + v;
    } else {
      rest.push_back(a);
    }
  }
  argv.push_back("--disable-features=" + disabled);
  if (!enabled.empty()) argv.push_back("--enable-features=" + enabled);
  for (auto& a : rest) argv.push_back(a);
  // A window without tabs or address bar, as an embedded view would be.
  argv.push_back(options.headless ? std::string("about:blank") : std::string("--app=") + kAppWindowFirstPage);
  return argv;
}

const std::vector<DesktopStandIn>& DesktopStandIns() {
  static const std::vector<DesktopStandIn> kStandIns = {
      {"xdg-settings", "#!/bin/sh\necho yes\n"},
      {"xdg-open", "#!/bin/sh\nexit 0\n"},
      {"xdg-email", "#!/bin/sh\nexit 0\n"},
      {"xdg-mime", "#!/bin/sh\nexit 0\n"},
      {"gio", "#!/bin/sh\nexit 0\n"},
      {"gnome-open", "#!/bin/sh\nexit 0\n"},
      {"kde-open", "#!/bin/sh\nexit 0\n"},
      {"kde-open5", "#!/bin/sh\nexit 0\n"},
      {"exo-open", "#!/bin/sh\nexit 0\n"},
  };
  return kStandIns;
}

bool WriteDesktopStandIns(const std::string& folder, std::string& error) {
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    error = "mkdir " + folder + ": " + std::strerror(errno);
    return false;
  }
  // They are checked at every start: one already in place is left alone, any other (missing,
  // changed, torn by a crash, not runnable) is written again.
  for (const auto& standIn : DesktopStandIns()) {
    std::string path = folder + "/" + standIn.name;
    std::string current;
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 07777) == 0700 &&
        ReadFile(path, &current, 4096) && current == standIn.script) {
      continue;
    }
    if (!WriteFileAtomic(path, standIn.script, 0700, false)) {
      error = "cannot write " + path;
      return false;
    }
  }
  return true;
}

std::vector<std::string> BrowserEnvironmentBlock(const std::vector<std::string>& env, const std::string& folder) {
  std::vector<std::string> out;
  bool hadPath = false;
  for (const auto& entry : env) {
    if (StartsWith(entry, "PATH=")) {
      if (hadPath) continue;  // the first one is the one a lookup would use
      hadPath = true;
      std::string rest = entry.substr(5);
      out.push_back("PATH=" + folder + (rest.empty() ? "" : ":" + rest));
    } else {
      out.push_back(entry);
    }
  }
  if (!hadPath) out.push_back("PATH=" + folder + ":/usr/bin:/bin");
  return out;
}

// The protocol side of the browser: the DevTools connection, the commands awaiting an answer,
// and the page sessions, whose reported state (contexts, titles, opened windows) it keeps.
class BrowserEnvironmentImpl : public std::enable_shared_from_this<BrowserEnvironmentImpl> {
 public:
  using Done = std::function<void(const json& result, const std::string& error)>;

  void Send(const std::string& method, json params, const std::string& session, Done done) {
    if (!conn_ || shutdown_) {
      return;
    }
    int id = conn_->Send(method, params, session);
    // A paused new window is released, and a navigation is issued, only once the browser has
    // answered the commands sent before: the startup scripts reach the renderer on their own
    // way, and a document started earlier runs without them. A view's first navigation goes
    // out sooner, its document held at the interception instead (MaybeRelease).
    std::shared_ptr<BrowserSession> held = session.empty() ? nullptr : FindSession(session);
    if (held) {
      held->unanswered.insert(id);
      if (method == "Fetch.enable" || method == "Fetch.disable") held->fetchUnanswered.insert(id);
      std::weak_ptr<BrowserSession> weak = held;
      done = [this, weak, id, done = std::move(done)](const json& result, const std::string& error) {
        if (done) done(result, error);
        if (auto v = weak.lock()) {
          v->unanswered.erase(id);
          v->fetchUnanswered.erase(id);
          v->documentWaitsFor.erase(id);
          MaybeRelease(v);
        }
      };
    }
    if (done) pending_[id] = std::move(done);
  }

  void MaybeRelease(const std::shared_ptr<BrowserSession>& view) {
    if (shutdown_) return;
    if (view->unanswered.empty() && view->releaseWhenSettled) {
      view->releaseWhenSettled = false;
      view->Send("Runtime.runIfWaitingForDebugger", json::object());
    }
    if (view->documentWaitsFor.empty() && !view->heldDocuments.empty()) {
      auto documents = std::move(view->heldDocuments);
      view->heldDocuments.clear();
      for (const auto& params : documents) OnRequestPaused(*view, params);
    }
    if (view->navigateWhenSettled.empty()) return;
    if (view->unanswered.empty()) {
      IssueNavigation(view);
    } else if (!view->navigated && !view->releaseWhenSettled && view->fetchUnanswered.empty() &&
               InterceptsDocument(*view, view->navigateWhenSettled)) {
      // The view's first document: its request goes out while the renderer still takes in the
      // scripts, and its response waits for them (OnRequestPaused).
      view->documentWaitsFor = view->unanswered;
      IssueNavigation(view);
    }
  }

  void IssueNavigation(const std::shared_ptr<BrowserSession>& view) {
    std::string uri = std::move(view->navigateWhenSettled);
    view->navigateWhenSettled.clear();
    view->navigated = true;
    view->Send("Page.navigate", {{"url", uri}});
  }

  // Whether the view's request interception pauses the top document of a navigation to uri.
  static bool InterceptsDocument(const BrowserSession& view, const std::string& uri) {
    if (view.onNavigation) return true;
    for (const auto& f : view.filters) {
      if (StartsWith(uri, f)) return true;
    }
    return false;
  }

  void Dispatch(const json& msg) {
    if (shutdown_) return;
    if (msg.contains("id")) {
      if (!msg["id"].is_number_integer()) return;
      auto it = pending_.find(msg["id"].get<int>());
      if (it == pending_.end()) return;
      Done done = std::move(it->second);
      pending_.erase(it);
      std::string error;
      if (msg.contains("error")) {
        error = msg["error"].is_object() ? Str(msg["error"], "message") : "error";
        if (error.empty()) error = "error";
      }
      static const json kEmpty = json::object();
      done(msg.contains("result") ? msg["result"] : kEmpty, error);
      return;
    }
    std::string method = Str(msg, "method");
    static const json kNoParams = json::object();
    const json& params = msg.contains("params") && msg["params"].is_object() ? msg["params"] : kNoParams;
    std::string session = Str(msg, "sessionId");
    if (method == "Target.attachedToTarget") return OnAttached(params);
    if (method == "Target.targetDestroyed" || method == "Target.detachedFromTarget") {
      return OnGone(Str(params, "targetId"), Str(params, "sessionId"));
    }
    auto view = FindSession(session);
    if (!view) return;
    if (method == "Fetch.requestPaused") return OnRequestPaused(*view, params);
    if (method == "Runtime.executionContextCreated") {
      const json& ctx = params.value("context", json::object());
      if (ctx.contains("id") && ctx["id"].is_number_integer()) {
        int id = ctx["id"].get<int>();
        view->contextOrigins[id] = Str(ctx, "origin");
        const json& aux = ctx.value("auxData", json::object());
        if (Str(aux, "frameId") == view->targetId && aux.value("isDefault", false) == true) view->topContexts.insert(id);
      }
      return;
    }
    if (method == "Runtime.executionContextDestroyed") {
      if (params.contains("executionContextId") && params["executionContextId"].is_number_integer())
      {
        view->contextOrigins.erase(params["executionContextId"].get<int>());
        view->topContexts.erase(params["executionContextId"].get<int>());
      }
      return;
    }
    if (method == "Runtime.executionContextsCleared") {
      view->contextOrigins.clear();
      view->topContexts.clear();
      return;
    }
    if (method == "Runtime.bindingCalled") return OnBinding(*view, params);
    if (method == "Page.windowOpen") {
      if (view->pendingOpens.size() >= kMaxPendingOpens) view->pendingOpens.erase(view->pendingOpens.begin());
      view->pendingOpens.push_back(Str(params, "url"));
      return;
    }
    if (method == "Page.frameRequestedNavigation") return OnRequestedNavigation(*view, params);
    if (method == "Page.loadEventFired") {
      if (view->reloadOnFirstLoad) {
        view->reloadOnFirstLoad = false;
        view->Send("Page.reload", json::object());
        return;
      }
      QueryScreen(view);
      if (auto handler = view->onCompleted) handler(true, 0);
      return;
    }
    if (method == "Inspector.targetCrashed") {
      if (auto handler = view->onFailed) handler(1);  // the page's renderer process exited
      return;
    }
  }

  void OnAttached(const json& params) {
    std::string session = Str(params, "sessionId");
    const json& info = params.value("targetInfo", json::object());
    std::string type = Str(info, "type"), targetId = Str(info, "targetId");
    if (session.empty()) return;
    if (type != "page" || targetId.empty()) {
      Send("Runtime.runIfWaitingForDebugger", json::object(), session, {});
      return;
    }
    // The app's handle on this target owns its session; sessions_ holds it weakly.
    auto view = std::make_shared<BrowserSession>();
    auto appView = std::make_shared<BrowserView>(view);
    view->environment = weak_from_this();
    view->targetId = targetId;
    view->sessionId = session;
    sessions_[session] = view;
    // Navigations, page messages and crashes arrive only with these domains on.
    view->Send("Page.enable", json::object());
    view->Send("Runtime.enable", json::object());
    view->Send("Inspector.enable", json::object());
    view->Send("Page.addScriptToEvaluateOnNewDocument", {{"source", kOwnWindows}});

    std::string opener = Str(info, "openerId");
    std::shared_ptr<BrowserSession> openerView = opener.empty() ? nullptr : FindTarget(opener);
    if (openerView && openerView->onNewWindow) {
      NewWindowRequest request;
      if (!openerView->pendingOpens.empty()) {
        request.uri = openerView->pendingOpens.front();
        openerView->pendingOpens.erase(openerView->pendingOpens.begin());
      } else {
        request.uri = Str(info, "url");
      }
      request.view = appView;
      auto handler = openerView->onNewWindow;
      handler(request);
      switch (request.outcome) {
        case NewWindowRequest::Outcome::kAdopt:
          // A window the page opened starts its first document before the new-document
          // scripts reach it; that one is an empty page, then the address is loaded again.
          view->releaseWhenSettled = true;
          view->reloadOnFirstLoad = true;
          MaybeRelease(view);
          return;
        case NewWindowRequest::Outcome::kCancel:
          // The opener's window.open waits for the paused window: release it, with every
          // request held (and never answered) so that nothing reaches the network, and close it.
          view->Send("Fetch.enable", {{"patterns", json::array({{{"urlPattern", "*"}, {"requestStage", "Request"}}})}});
          view->Send("Runtime.runIfWaitingForDebugger", json::object());
          view->Close();
          sessions_.erase(session);
          return;
        case NewWindowRequest::Outcome::kDefault:
          break;
      }
      Release(view);
      return;
    }
    if (!main_) {
      main_ = appView;
      view->Send("Runtime.runIfWaitingForDebugger", json::object());
      auto waiters = std::move(mainWaiters_);
      for (auto& w : waiters) w(appView, {});
      return;
    }
    Release(view);  // a window the host did not ask for runs as the browser would run it
  }

  void QueryScreen(const std::shared_ptr<BrowserSession>& view) {
    std::weak_ptr<BrowserSession> weak = view;
    view->Send("Runtime.evaluate",
               {{"expression", "[screen.availLeft || 0, screen.availTop || 0, screen.width, screen.height]"},
                {"returnByValue", true}},
               [weak](const json& result, const std::string& error) {
                 auto v = weak.lock();
                 if (!v || !error.empty()) return;
                 const json value = result.value("result", json::object()).value("value", json());
                 if (!value.is_array() || value.size() != 4) return;
                 for (int i = 0; i < 4; ++i) {
                   if (!value[i].is_number()) return;
                 }
                 for (int i = 0; i < 4; ++i) v->screen[i] = value[i].get<int>();
                 v->screenKnown = v->screen[2] > 0 && v->screen[3] > 0;
               });
  }

  void Release(const std::shared_ptr<BrowserSession>& view) {
    view->Send("Runtime.runIfWaitingForDebugger", json::object());
    Send("Target.detachFromTarget", {{"sessionId", view->sessionId}}, "", {});
    sessions_.erase(view->sessionId);
  }

  void OnGone(const std::string& targetId, const std::string& session) {
    std::shared_ptr<BrowserSession> view = !session.empty() ? FindSession(session) : FindTarget(targetId);
    if (!view) return;
    sessions_.erase(view->sessionId);
    if (view->closed) return;
    view->closed = true;
    if (auto handler = view->onClosed) handler();
  }

  void OnRequestPaused(BrowserSession& view, const json& params) {
    std::string requestId = Str(params, "requestId");
    const json& request = params.value("request", json::object());
    WebResourceRequest req{Str(request, "url"), Str(request, "method"), Str(params, "resourceType")};
    bool topDocument = req.resourceType == "Document" && Str(params, "frameId") == view.targetId;
    if (topDocument && !view.documentWaitsFor.empty()) {
      if (view.heldDocuments.size() >= kMaxHeldDocuments) {
        view.Send("Fetch.failRequest",
                  {{"requestId", Str(view.heldDocuments.front(), "requestId")}, {"errorReason", "Aborted"}});
        view.heldDocuments.erase(view.heldDocuments.begin());
      }
      view.heldDocuments.push_back(params);
      return;
    }
    if (topDocument && view.reloadOnFirstLoad) {
      // The first document of a page-opened window would run without the startup scripts:
      // it gets an empty one instead, and the real one comes with the reload.
      view.Send("Fetch.fulfillRequest", {{"requestId", requestId},
                                         {"responseCode", 200},
                                         {"responseHeaders", json::array({{{"name", "Content-Type"}, {"value", "text/html"}}})},
                                         {"body", ""}});
      return;
    }
    if (topDocument && view.onNavigation) {
      auto handler = view.onNavigation;
      if (handler(req.uri)) {
        view.Send("Fetch.failRequest", {{"requestId", requestId}, {"errorReason", "Aborted"}});
        return;
      }
    }
    bool filtered = false;
    for (const auto& f : view.filters) filtered = filtered || StartsWith(req.uri, f);
    std::optional<WebResourceResponse> response;
    if (filtered && view.onResource) {
      auto handler = view.onResource;
      response = handler(req);
    }
    if (!response) {
      view.Send("Fetch.continueRequest", {{"requestId", requestId}});
      return;
    }
    json headers = json::array();
    for (const auto& [name, value] : response->headers) headers.push_back({{"name", name}, {"value", value}});
    json fulfil = {{"requestId", requestId},
                   {"responseCode", response->status},
                   {"responseHeaders", headers},
                   {"body", Base64Encode(response->body.data(), response->body.size())}};
    if (!response->reason.empty()) fulfil["responsePhrase"] = response->reason;
    view.Send("Fetch.fulfillRequest", std::move(fulfil));
  }

  // Navigations to schemes that never reach the network (mailto:, javascript:, ...) are seen
  // here only; the policy may stop them before the browser hands them to another program.
  void OnRequestedNavigation(BrowserSession& view, const json& params) {
    std::string url = Str(params, "url");
    if (Str(params, "frameId") != view.targetId || !view.onNavigation) return;
    if (StartsWith(url, "http:") || StartsWith(url, "https:") || url.empty()) return;
    auto handler = view.onNavigation;
    if (handler(url)) view.Send("Page.stopLoading", json::object());
  }

  void OnTitle(BrowserSession& view, const json& params) {
    if (!params.contains("executionContextId") || !params["executionContextId"].is_number_integer()) return;
    if (!view.topContexts.count(params["executionContextId"].get<int>())) return;
    std::string title = Str(params, "payload");
    if (title.size() > kMaxTitleBytes) title.resize(kMaxTitleBytes);
    if (title == view.title) return;
    view.title = title;
    if (auto handler = view.onTitle) handler(title);
  }

  void OnBinding(BrowserSession& view, const json& params) {
    if (Str(params, "name") == kTitleBindingName) return OnTitle(view, params);
    if (Str(params, "name") != kBindingName || !view.onMessage) return;
    std::string origin;
    if (params.contains("executionContextId") && params["executionContextId"].is_number_integer()) {
      auto it = view.contextOrigins.find(params["executionContextId"].get<int>());
      if (it != view.contextOrigins.end()) origin = it->second;
    }
    std::string payload = Str(params, "payload");
    std::optional<std::string> text;
    if (!payload.empty() && payload[0] == 's') text = payload.substr(1);
    auto handler = view.onMessage;
    handler(origin, text);
  }

  void OnExit(int status) {
    if (shutdown_) return;
    exited_ = true;
    auto pending = std::move(pending_);
    pending_.clear();
    for (auto& [id, done] : pending) done(json::object(), "browser process exited");
    auto waiters = std::move(mainWaiters_);
    for (auto& w : waiters) w(nullptr, "browser process exited");
    if (auto handler = onExited_) handler(status);
  }

  std::shared_ptr<BrowserSession> FindSession(const std::string& session) {
    auto it = sessions_.find(session);
    return it == sessions_.end() ? nullptr : it->second.lock();
  }
  std::shared_ptr<BrowserSession> FindTarget(const std::string& targetId) {
    for (auto& [s, weak] : sessions_) {
      auto v = weak.lock();
      if (v && v->targetId == targetId) return v;
    }
    return nullptr;
  }

  // The browser process that shows the pages; 0 once it is gone.
  int BrowserPid() const { return conn_ && !exited_ ? static_cast<int>(conn_->Pid()) : 0; }

  std::unique_ptr<CdpConnection> conn_;
  std::map<int, Done> pending_;
  std::map<std::string, std::weak_ptr<BrowserSession>> sessions_;
  std::shared_ptr<BrowserView> main_;
  std::vector<std::function<void(std::shared_ptr<BrowserView>, const std::string&)>> mainWaiters_;
  std::function<void(int)> onExited_;
  bool shutdown_ = false;
  bool exited_ = false;
};

// ---- BrowserSession ----

void BrowserSession::Send(const std::string& method, json params, Done done) {
  auto env = environment.lock();
  if (!env) {
    if (done) done(json::object(), "browser is gone");
    return;
  }
  env->Send(method, std::move(params), sessionId, std::move(done));
}

void BrowserSession::UpdateFetchPatterns() {
  json patterns = json::array();
  for (const auto& f : filters) patterns.push_back({{"urlPattern", f + "*"}, {"requestStage", "Request"}});
  if (onNavigation) patterns.push_back({{"urlPattern", "*"}, {"resourceType", "Document"}, {"requestStage", "Request"}});
  if (patterns.empty()) {
    Send("Fetch.disable", json::object());
  } else {
    Send("Fetch.enable", {{"patterns", patterns}});
  }
}

void BrowserSession::AddResourceFilter(const std::string& prefix) {
  filters.push_back(prefix);
  UpdateFetchPatterns();
}

void BrowserSession::AddScriptOnDocumentCreated(const std::string& source,
                                                std::function<void(bool, const std::string&)> done) {
  Send("Page.addScriptToEvaluateOnNewDocument", {{"source", source}},
       [done = std::move(done)](const json&, const std::string& error) {
         if (done) done(error.empty(), error);
       });
}

void BrowserSession::SetWebMessageHandler(std::function<void(const std::string&, const std::optional<std::string>&)> handler) {
  onMessage = std::move(handler);
  if (messagesEnabled) return;
  messagesEnabled = true;
  Send("Runtime.addBinding", {{"name", kBindingName}});
  Send("Page.addScriptToEvaluateOnNewDocument", {{"source", kWebviewShim}});
}

void BrowserSession::SetNavigationStartingHandler(std::function<bool(const std::string&)> handler) {
  bool had = static_cast<bool>(onNavigation);
  onNavigation = std::move(handler);
  if (had != static_cast<bool>(onNavigation)) UpdateFetchPatterns();
}

void BrowserSession::SetTitleChangedHandler(std::function<void(const std::string&)> handler) {
  onTitle = std::move(handler);
  if (titlesWatched) return;
  titlesWatched = true;
  Send("Runtime.addBinding", {{"name", kTitleBindingName}});
  Send("Page.addScriptToEvaluateOnNewDocument", {{"source", kTitleWatcher}});
}

SettingsResult BrowserSession::LockDownSettings() {
  SettingsResult r;
  // The browser has no switch for its developer tools or its own shortcut keys per page.
  r.devTools = kBrowserNotImplemented;
  r.accelerators = kBrowserNotImplemented;
  Send("Page.addScriptToEvaluateOnNewDocument", {{"source", kNoContextMenu}});
  r.contextMenus = 0;
  Send("Emulation.setEmulatedMedia", {{"features", json::array({{{"name", "prefers-color-scheme"}, {"value", "dark"}}})}});
  return r;
}

bool BrowserSession::ScreenRect(int& left, int& top, int& width, int& height) const {
  if (!screenKnown) return false;
  left = screen[0], top = screen[1], width = screen[2], height = screen[3];
  return true;
}

void BrowserSession::Navigate(const std::string& uri) {
  auto env = environment.lock();
  if (!env) return;
  auto self = env->FindSession(sessionId);
  if (!self) return;  // closed
  navigateWhenSettled = uri;
  env->MaybeRelease(self);
}

void BrowserSession::WithWindow(std::function<void(int)> then) {
  auto env = environment.lock();
  if (!env || closed) return;
  env->Send("Browser.getWindowForTarget", {{"targetId", targetId}}, "",
            [then = std::move(then)](const json& result, const std::string& error) {
              if (!error.empty() || !result.contains("windowId") || !result["windowId"].is_number_integer()) return;
              then(result["windowId"].get<int>());
            });
}

void BrowserSession::SetSize(int width, int height) {
  std::weak_ptr<BrowserEnvironmentImpl> weak = environment;
  WithWindow([weak, width, height](int windowId) {
    if (auto env = weak.lock()) {
      env->Send("Browser.setWindowBounds",
                {{"windowId", windowId}, {"bounds", {{"width", width}, {"height", height}}}}, "", {});
    }
  });
}

void BrowserSession::SetFullscreen(bool fullscreen) {
  std::weak_ptr<BrowserEnvironmentImpl> weak = environment;
  WithWindow([weak, fullscreen](int windowId) {
    if (auto env = weak.lock()) {
      env->Send("Browser.setWindowBounds",
                {{"windowId", windowId}, {"bounds", {{"windowState", fullscreen ? "fullscreen" : "normal"}}}}, "", {});
    }
  });
}

void BrowserSession::Activate() {
  auto env = environment.lock();
  if (!env || closed) return;
  env->Send("Target.activateTarget", {{"targetId", targetId}}, "", {});
}

int BrowserSession::BrowserProcessId() const {
  auto env = environment.lock();
  return env ? env->BrowserPid() : 0;
}

void BrowserSession::Close() {
  if (closed) return;
  closed = true;
  auto env = environment.lock();
  if (env) env->Send("Target.closeTarget", {{"targetId", targetId}}, "", {});
}

// ---- BrowserView ----

BrowserView::BrowserView(std::shared_ptr<BrowserSession> session) : session_(std::move(session)) {}
BrowserView::~BrowserView() = default;

void BrowserView::AddResourceFilter(const std::string& prefix) { session_->AddResourceFilter(prefix); }
void BrowserView::SetResourceHandler(std::function<std::optional<WebResourceResponse>(const WebResourceRequest&)> handler) {
  session_->onResource = std::move(handler);
}
void BrowserView::AddScriptOnDocumentCreated(const std::string& source,
                                             std::function<void(bool, const std::string&)> done) {
  session_->AddScriptOnDocumentCreated(source, std::move(done));
}
void BrowserView::SetWebMessageHandler(std::function<void(const std::string&, const std::optional<std::string>&)> handler) {
  session_->SetWebMessageHandler(std::move(handler));
}
void BrowserView::SetNavigationStartingHandler(std::function<bool(const std::string&)> handler) {
  session_->SetNavigationStartingHandler(std::move(handler));
}
void BrowserView::SetNewWindowHandler(std::function<void(NewWindowRequest&)> handler) { session_->onNewWindow = std::move(handler); }
void BrowserView::SetTitleChangedHandler(std::function<void(const std::string&)> handler) {
  session_->SetTitleChangedHandler(std::move(handler));
}
void BrowserView::SetNavigationCompletedHandler(std::function<void(bool, int)> handler) { session_->onCompleted = std::move(handler); }
void BrowserView::SetProcessFailedHandler(std::function<void(int)> handler) { session_->onFailed = std::move(handler); }
void BrowserView::SetClosedHandler(std::function<void()> handler) { session_->onClosed = std::move(handler); }
SettingsResult BrowserView::LockDownSettings() { return session_->LockDownSettings(); }
void BrowserView::Navigate(const std::string& uri) { session_->Navigate(uri); }
void BrowserView::SetSize(int width, int height) { session_->SetSize(width, height); }
void BrowserView::SetFullscreen(bool fullscreen) { session_->SetFullscreen(fullscreen); }
void BrowserView::Activate() { session_->Activate(); }
bool BrowserView::IsVisible() const { return !session_->closed; }
void BrowserView::Close() { session_->Close(); }
bool BrowserView::ScreenRect(int& left, int& top, int& width, int& height) const {
  return session_->ScreenRect(left, top, width, height);
}
const std::string& BrowserView::TargetId() const { return session_->targetId; }
int BrowserView::BrowserProcessId() const { return session_->BrowserProcessId(); }
const std::string& BrowserView::Title() const { return session_->title; }

// ---- BrowserEnvironment ----

namespace {

base::LockedSlot<std::shared_ptr<const process::OutputTail>>& LastStderrTail() {
  static auto* slot = new base::LockedSlot<std::shared_ptr<const process::OutputTail>>;
  return *slot;
}

}  // namespace

std::string BrowserStderrTail() {
  std::shared_ptr<const process::OutputTail> tail = LastStderrTail().Get();
  return tail ? tail->Text() : std::string();
}

void BrowserEnvironment::Create(const BrowserLaunchOptions& options, UiPoster post,
                                std::function<void(std::shared_ptr<BrowserEnvironment>, const std::string&)> done) {
  auto impl = std::make_shared<BrowserEnvironmentImpl>();
  std::vector<std::string> argv = BrowserCommandLine(options);
  if (argv[0].empty()) {
    post([done] { done(nullptr, "Chromium is not installed"); });
    return;
  }
  std::string standIns = options.standInFolder;
  if (standIns.empty() && !options.userDataDir.empty()) standIns = options.userDataDir + "/desktop-stand-ins";
  // A PATH entry cannot hold a colon: such a folder would leave the browser with the real openers.
  if (standIns.find(':') != std::string::npos) standIns.clear();
  if (standIns.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qv-browser-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data())) standIns = buf.data();
  }
  std::string error;
  // Without its stand-ins the browser could hand a URI to the desktop: it is not started.
  if (standIns.empty() || standIns.find(':') != std::string::npos || !WriteDesktopStandIns(standIns, error)) {
    if (error.empty()) error = "no folder for the browser's desktop stand-ins";
    post([done, error] { done(nullptr, error); });
    return;
  }
  std::vector<std::string> ownEnv = process::CurrentEnvironment();
  std::weak_ptr<BrowserEnvironmentImpl> weak = impl;
  impl->conn_ = CdpConnection::Launch(
      argv, BrowserEnvironmentBlock(ownEnv, standIns),
      [weak, post](json message) {
        post([weak, message = std::move(message)] {
          if (auto i = weak.lock()) i->Dispatch(message);
        });
      },
      [weak, post](int status) {
        post([weak, status] {
          if (auto i = weak.lock()) i->OnExit(status);
        });
      },
      error);
  if (!impl->conn_) {
    post([done, error] { done(nullptr, error); });
    return;
  }
  LastStderrTail().Set(impl->conn_->StderrTail());
  std::shared_ptr<BrowserEnvironment> env(new BrowserEnvironment());
  env->impl_ = impl;
  impl->Send("Target.setDiscoverTargets", {{"discover", true}}, "", {});
  // Every new page waits for the host before it runs, so a popout is set up before its scripts.
  impl->Send("Target.setAutoAttach", {{"autoAttach", true}, {"waitForDebuggerOnStart", true}, {"flatten", true}}, "", {});
  impl->Send("Browser.getVersion", json::object(), "",
             [env, done](const json&, const std::string& error) {
               if (!error.empty()) {
                 done(nullptr, error);
                 return;
               }
               done(env, {});
             });
}

BrowserEnvironment::~BrowserEnvironment() { Shutdown(); }

void BrowserEnvironment::CreateMainView(std::function<void(std::shared_ptr<BrowserView>, const std::string&)> done) {
  if (!impl_ || impl_->exited_) {
    done(nullptr, "browser process exited");
    return;
  }
  if (impl_->main_) {
    done(impl_->main_, {});
    return;
  }
  impl_->mainWaiters_.push_back(std::move(done));
}

void BrowserEnvironment::SetProcessExitedHandler(std::function<void(int)> handler) {
  if (impl_) impl_->onExited_ = std::move(handler);
}

void BrowserEnvironment::Shutdown() {
  if (!impl_) return;
  impl_->shutdown_ = true;
  impl_->pending_.clear();
  impl_->mainWaiters_.clear();
  impl_->onExited_ = nullptr;
  if (impl_->conn_) impl_->conn_->Close();
  impl_->main_.reset();
}

}  // namespace platform
