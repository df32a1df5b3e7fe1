#pragma once
// The protocol side of one page target: the DevTools session behind a BrowserView. It holds
// what the view's handlers and the browser's reports leave behind (handlers, execution
// contexts, windows the page opened, setup commands not yet answered) and carries out the
// view's operations; BrowserView only forwards to it. Internal to the browser layer: only
// browser.cpp includes this header.
//
// UI thread only, like everything in browser.h. The view owns its session; the environment's
// protocol side (BrowserEnvironmentImpl, in browser.cpp) keeps weak references only, so a view
// the app dropped gets no more events, and it is the one that writes the reported state. The
// session reaches the browser through a weak reference to that side and does nothing (a
// command's done gets "browser is gone") once it is gone.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/browser.h"

namespace platform {

struct BrowserSession {
  using Done = std::function<void(const nlohmann::json& result, const std::string& error)>;

  // The view's operations, as BrowserView describes them.
  void AddResourceFilter(const std::string& prefix);
  void AddScriptOnDocumentCreated(const std::string& source, std::function<void(bool ok, const std::string& error)> done);
  void SetWebMessageHandler(std::function<void(const std::string&, const std::optional<std::string>&)> handler);
  void SetNavigationStartingHandler(std::function<bool(const std::string&)> handler);
  void SetTitleChangedHandler(std::function<void(const std::string&)> handler);
  SettingsResult LockDownSettings();
  void Navigate(const std::string& uri);
  void SetSize(int width, int height);
  void SetFullscreen(bool fullscreen);
  void Activate();
  void Close();
  bool ScreenRect(int& left, int& top, int& width, int& height) const;
  int BrowserProcessId() const;

  // A command on this target's session.
  void Send(const std::string& method, nlohmann::json params, Done done = {});
  // then runs with the browser window of this target, when the browser names one.
  void WithWindow(std::function<void(int windowId)> then);
  // The request interception matching the filters and the navigation handler.
  void UpdateFetchPatterns();

  std::weak_ptr<BrowserEnvironmentImpl> environment;
  std::string targetId;
  std::string sessionId;
  std::string title;  // the document's title, as last reported
  bool closed = false;
  std::vector<std::string> filters;
  std::function<std::optional<WebResourceResponse>(const WebResourceRequest&)> onResource;
  std::function<void(const std::string&, const std::optional<std::string>&)> onMessage;
  std::function<bool(const std::string&)> onNavigation;
  std::function<void(NewWindowRequest&)> onNewWindow;
  std::function<void(const std::string&)> onTitle;
  std::function<void(bool, int)> onCompleted;
  std::function<void(int)> onFailed;
  std::function<void()> onClosed;
  bool messagesEnabled = false;
  bool titlesWatched = false;
  std::map<int, std::string> contextOrigins;
  std::set<int> topContexts;  // the top document's default worlds
  std::vector<std::string> pendingOpens;
  std::set<int> unanswered;          // commands on this session not yet answered
  std::set<int> fetchUnanswered;     // of them, the changes to the request interception
  bool releaseWhenSettled = false;   // run the paused window once all are answered
  std::string navigateWhenSettled;   // the navigation to issue once they are
  bool navigated = false;            // the view has issued a navigation of its own
  // The first navigation is issued once the interception is in place, and its document is held
  // at the interception until the commands sent before it are answered (they are the document's
  // scripts and bindings); commands sent after it do not hold it.
  std::set<int> documentWaitsFor;
  std::vector<nlohmann::json> heldDocuments;  // paused document requests, as the browser sent them
  bool reloadOnFirstLoad = false;   // a page-opened window, loaded once without its scripts
  bool screenKnown = false;
  int screen[4] = {0, 0, 0, 0};
};

}  // namespace platform
