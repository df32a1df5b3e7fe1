#pragma once
// The embedded browser: a Chromium process driven over the DevTools protocol, shaped like the
// web view interfaces the host uses (environment, views, their events and settings).
//
// Every call is made on the UI thread and every handler runs on the UI thread: the pipe's reader
// thread hands each message to the UiPoster given at creation.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

using UiPoster = std::function<void(std::function<void()>)>;

// Where Debian's chromium package puts the browser binary (not its wrapper script); "" when
// it is not installed. QVN_BROWSER_EXECUTABLE, when set, names another one.
std::string FindBrowserExecutable();
// Splits a command-line string the way the browser's own switch parser would: on blanks, with
// double quotes grouping.
std::vector<std::string> SplitBrowserArguments(const std::string& text);

struct BrowserLaunchOptions {
  std::string executable;          // "" = FindBrowserExecutable()
  std::string userDataDir;         // "" = the browser's default profile
  std::string additionalArguments; // extra switches, as one command-line string
  bool headless = false;
  bool noSandbox = false;          // required when running as root
  // Where the browser's desktop stand-ins go ("" = "desktop-stand-ins" inside userDataDir, or
  // a new temporary folder when that is empty too).
  std::string standInFolder;
  // The class the desktop knows the windows by (WM_CLASS on X11: taskbars group and label them
  // by it); "" keeps the browser's own.
  std::string windowClass;
};
// The full argv the browser is started with (pure; tested).
std::vector<std::string> BrowserCommandLine(const BrowserLaunchOptions& options);

// The browser never hands a URI to the desktop on its own: it finds these programs first on its
// PATH. "xdg-settings" answers that the browser is already the default handler of every scheme,
// so the browser neither launches anything nor asks the user; the openers do nothing should it
// run them anyway. Only the host's own policy opens external URIs (platform/shell.h).
struct DesktopStandIn {
  const char* name;
  const char* script;
};
const std::vector<DesktopStandIn>& DesktopStandIns();
// Writes the stand-ins into folder (created, 0700); false with error set when it cannot.
bool WriteDesktopStandIns(const std::string& folder, std::string& error);
// The browser's environment: env (NAME=value entries) with folder put first on PATH ("PATH="
// added when env has none) (pure; tested).
std::vector<std::string> BrowserEnvironmentBlock(const std::vector<std::string>& env, const std::string& folder);

struct WebResourceRequest {
  std::string uri;
  std::string method;
  std::string resourceType;  // "Document", "Script", ...
};

struct WebResourceResponse {
  int status = 200;
  std::string reason;
  std::vector<std::pair<std::string, std::string>> headers;
  std::vector<uint8_t> body;  // owned copy of the bytes
};

// What LockDownSettings managed to switch off; 0 is success, as a web view's result codes.
struct SettingsResult {
  long devTools = 0;
  long contextMenus = 0;
  long accelerators = 0;
};
inline constexpr long kBrowserNotImplemented = static_cast<long>(0x80004001L);

class BrowserView;

// A page window that a view's document asked for. The new window is paused before it runs any
// script; the handler decides, and the view's setup (when adopted) is applied before it runs.
struct NewWindowRequest {
  enum class Outcome { kDefault, kCancel, kAdopt };
  std::string uri;
  std::shared_ptr<BrowserView> view;
  Outcome outcome = Outcome::kDefault;
};

class BrowserEnvironmentImpl;
struct BrowserSession;

// One page target of the browser (the main window's page or a popout's). The browser
// environment makes every view; the DevTools plumbing behind it is its session
// (platform/browser_session.h), which the view owns and forwards to.
class BrowserView {
 public:
  explicit BrowserView(std::shared_ptr<BrowserSession> session);
  ~BrowserView();

  // Requests whose URL starts with prefix go to the resource handler (a missing response
  // leaves the request to the network).
  void AddResourceFilter(const std::string& prefix);
  void SetResourceHandler(std::function<std::optional<WebResourceResponse>(const WebResourceRequest&)> handler);
  // Runs source in every new document of this view before its own scripts.
  void AddScriptOnDocumentCreated(const std::string& source, std::function<void(bool ok, const std::string& error)> done);
  // Page messages of window.chrome.webview.postMessage: the origin of the posting document and
  // the text when a string was posted (nullopt for any other value).
  void SetWebMessageHandler(std::function<void(const std::string& sourceOrigin, const std::optional<std::string>& text)> handler);
  // A top-level navigation is about to start; return true to cancel it.
  void SetNavigationStartingHandler(std::function<bool(const std::string& uri)> handler);
  void SetNewWindowHandler(std::function<void(NewWindowRequest&)> handler);
  void SetTitleChangedHandler(std::function<void(const std::string& title)> handler);
  void SetNavigationCompletedHandler(std::function<void(bool success, int webErrorStatus)> handler);
  void SetProcessFailedHandler(std::function<void(int kind)> handler);
  // The browser window of this view went away (closed by the user or by the browser).
  void SetClosedHandler(std::function<void()> handler);

  SettingsResult LockDownSettings();
  bool AllowExternalDrop() const { return true; }  // the browser accepts dropped files by default

  void Navigate(const std::string& uri);
  // The window's size. Where it is belongs to the window manager, which places the window with
  // its frame (the title bar) on the screen, and to the user, who moves it.
  void SetSize(int width, int height);
  void SetFullscreen(bool fullscreen);
  // Brings the view's window to the front and focuses it (the desktop may refuse).
  void Activate();
  bool IsVisible() const;
  // Closes the browser window of this view; the closed handler does not run for it.
  void Close();

  // The screen the page's window is on, as the page last reported it; false before its first
  // document has loaded.
  bool ScreenRect(int& left, int& top, int& width, int& height) const;

  const std::string& TargetId() const;
  // The browser process that shows this view's window; 0 once the browser is gone.
  int BrowserProcessId() const;
  const std::string& Title() const;

 private:
  std::shared_ptr<BrowserSession> session_;  // never null
};

// The last lines (at most 20 lines and 4 KiB, oldest first) that the browser most recently
// started by BrowserEnvironment::Create wrote on its standard error; "" before any start. When
// Create's done reports that the browser did not start, they are the browser's own reason, all
// of them read. Any thread.
std::string BrowserStderrTail();

// The browser process. Create starts it; done runs on the UI thread with the environment, or
// with null and an error text when the browser is missing or does not start.
class BrowserEnvironment {
 public:
  static void Create(const BrowserLaunchOptions& options, UiPoster post,
                     std::function<void(std::shared_ptr<BrowserEnvironment>, const std::string& error)> done);
  ~BrowserEnvironment();

  // The page of the browser's first window.
  void CreateMainView(std::function<void(std::shared_ptr<BrowserView>, const std::string& error)> done);
  // The browser process ended while this environment was open (wait status).
  void SetProcessExitedHandler(std::function<void(int waitStatus)> handler);
  // Closes the browser (bounded wait); no handler runs afterwards.
  void Shutdown();

 private:
  BrowserEnvironment() = default;
  std::shared_ptr<BrowserEnvironmentImpl> impl_;
};

}  // namespace platform
