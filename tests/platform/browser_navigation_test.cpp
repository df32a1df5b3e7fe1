// The main view's first navigation against a stand-in browser (a small script speaking the
// DevTools protocol on descriptors 3 and 4) whose renderer is slow to answer the view's set-up:
// the document is never released before the scripts sent ahead of it are answered, commands
// sent after the navigation do not hold it (they would wait for it for good), and a document the
// interception cannot pause is navigated to only once the set-up is answered.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>

#include "platform/browser.h"
#include "support/temp_folder.h"

namespace platform {
namespace {

// Answers browser commands at once and attaches one page. On the page's session the set-up
// commands are answered 300 ms after the first of them came (the renderer starting); a
// navigation fires the old page's load event and pauses the new document when an interception
// pattern covers it; commands sent after the navigation are answered only once the document is
// released, as a renderer between documents would. What it saw goes to the report, a line each.
constexpr char kStandInBrowser[] = R"PY(
import json, os, select, sys, time
report = open(sys.argv[1], "a", buffering=1)
def send(m): os.write(4, json.dumps(m).encode() + b"\0")
def answer(i, result=None): send({"id": i, "sessionId": "S", "result": result or {}})
patterns, setup, after = [], [], []
setup_due = None; navigation = None; released = False
def intercepted(url):
    return any(p.get("resourceType") == "Document" or url.startswith(p.get("urlPattern", "").rstrip("*"))
               for p in patterns)
def release_setup():
    global setup, setup_due
    for i in setup: answer(i)
    setup, setup_due = [], None
def on_session(m):
    global setup_due, navigation, released, patterns
    method, i = m["method"], m["id"]
    if method in ("Fetch.enable", "Fetch.disable"):
        patterns = m["params"].get("patterns", []) if method == "Fetch.enable" else []
        answer(i)
    elif method == "Runtime.runIfWaitingForDebugger":
        answer(i)
    elif method == "Page.navigate":
        navigation = i
        url = m["params"]["url"]
        report.write("navigate with %d set-up commands unanswered\n" % len(setup))
        send({"method": "Page.loadEventFired", "sessionId": "S", "params": {"timestamp": 1}})
        if intercepted(url):
            send({"method": "Fetch.requestPaused", "sessionId": "S", "params": {
                "requestId": "doc", "frameId": "T", "resourceType": "Document",
                "request": {"url": url, "method": "GET"}}})
        else:
            release_document()
    elif method in ("Fetch.fulfillRequest", "Fetch.continueRequest", "Fetch.failRequest") and \
            m["params"].get("requestId") == "doc":
        report.write("document released with %d set-up commands unanswered\n" % len(setup))
        answer(i)
        release_document()
    elif navigation is not None and not released:
        after.append(i)
    elif navigation is not None:
        answer(i)
    else:
        setup.append(i)
        if setup_due is None: setup_due = time.monotonic() + 0.3
def release_document():
    global released, after
    released = True
    answer(navigation, {"frameId": "T", "loaderId": "L"})
    for i in after: answer(i)
    after = []
buf = b""
while True:
    wait = None if setup_due is None else max(0, setup_due - time.monotonic())
    if not select.select([3], [], [], wait)[0]:
        release_setup()
        continue
    chunk = os.read(3, 65536)
    if not chunk: break
    buf += chunk
    while b"\0" in buf:
        text, buf = buf.split(b"\0", 1)
        m = json.loads(text)
        if m.get("sessionId") == "S":
            on_session(m)
            continue
        send({"id": m["id"], "result": {"product": "stand-in"}})
        if m["method"] == "Target.setAutoAttach":
            send({"method": "Target.attachedToTarget", "params": {"sessionId": "S", "waitingForDebugger": True,
                  "targetInfo": {"targetId": "T", "type": "page", "url": "about:blank"}}})
)PY";

// Runs the environment's UI work on the test thread.
struct UiQueue {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::function<void()>> tasks;

  void Post(std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(mu);
    tasks.push_back(std::move(fn));
    cv.notify_all();
  }
  // Runs what is posted until done() holds; false when 10 s passed first.
  bool RunUntil(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      std::function<void()> next;
      {
        std::unique_lock<std::mutex> lock(mu);
        if (!cv.wait_until(lock, end, [&] { return !tasks.empty(); })) return false;
        next = std::move(tasks.front());
        tasks.pop_front();
      }
      next();
    }
    return true;
  }
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(BrowserNavigation, TheFirstDocumentWaitsForTheScriptsSentBeforeItAndForNothingElse) {
  struct Case {
    const char* name;
    bool appFilter;  // the view serves the app's origin (its documents are paused)
    const char* uri;
    bool navigatesEarly;  // before the set-up is answered
  };
  const Case cases[] = {
      // Issued while the set-up is still unanswered; the document is held until it is.
      {"app page", true, "https://app.test/index.html", true},
      // Nothing pauses this document: the navigation waits for the set-up itself.
      {"unpaused page", false, "https://elsewhere.test/", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempFolder folder;
    const std::string script = folder / "stand-in-browser";
    const std::string program = folder / "stand-in-browser.py";
    const std::string report = folder / "report.txt";
    std::ofstream(program) << kStandInBrowser;
    // The browser's switches are not the stand-in's business.
    std::ofstream(script) << "#!/bin/sh\nexec python3 \"" << program << "\" \"" << report << "\"\n";
    ASSERT_EQ(chmod(script.c_str(), 0700), 0);

    UiQueue ui;
    BrowserLaunchOptions options;
    options.executable = script;
    options.standInFolder = folder / "stand-ins";
    std::shared_ptr<BrowserEnvironment> env;
    std::shared_ptr<BrowserView> view;
    bool served = false;
    BrowserEnvironment::Create(options, [&ui](std::function<void()> fn) { ui.Post(std::move(fn)); },
                               [&](std::shared_ptr<BrowserEnvironment> created, const std::string& error) {
                                 ASSERT_TRUE(created) << error;
                                 env = created;
                                 env->CreateMainView([&](std::shared_ptr<BrowserView> v, const std::string&) {
                                   view = v;
                                   if (c.appFilter) view->AddResourceFilter("https://app.test/");
                                   view->SetResourceHandler([&](const WebResourceRequest&) {
                                     served = true;
                                     WebResourceResponse response;
                                     response.status = 200;
                                     response.body = {'o', 'k'};
                                     return std::optional<WebResourceResponse>(response);
                                   });
                                   view->AddScriptOnDocumentCreated("window.ready = 1", {});
                                   view->Navigate(c.uri);
                                 });
                               });
    // A document held for a command sent after the navigation would never be released.
    const auto released = [&] { return ReadAll(report).find("document released") != std::string::npos; };
    const auto navigated = [&] { return ReadAll(report).find("navigate") != std::string::npos; };
    ASSERT_TRUE(ui.RunUntil(c.appFilter ? std::function<bool()>(released) : std::function<bool()>(navigated)))
        << ReadAll(report);
    const std::string seen = ReadAll(report);
    EXPECT_EQ(seen.find("navigate with 0 set-up") == std::string::npos, c.navigatesEarly) << seen;
    if (c.appFilter) {
      EXPECT_NE(seen.find("document released with 0 set-up commands unanswered"), std::string::npos) << seen;
      EXPECT_TRUE(served);
    }
    if (env) env->Shutdown();
  }
}

}  // namespace
}  // namespace platform
