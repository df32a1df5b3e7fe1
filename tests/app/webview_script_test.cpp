// The startup script's JavaScript, run under node in a stand-in window: the globals, the
// popout rule, and the console bridge's stringify rules, cut, downgrades and events.
#include <gtest/gtest.h>

#include "support/temp_folder.h"
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "base/constants.h"
#include "app/webview/startup_script.h"

namespace {

// Runs the script in a fresh context per case: window is the global, location and the posting
// channel are stand-ins, the original console counts its calls. Each case's body is evaluated
// after the script and its value is printed as JSON.
constexpr const char kHarness[] = R"JS(
const vm = require('vm');
const fs = require('fs');
const script = fs.readFileSync(process.argv[2], 'utf8');
const cases = JSON.parse(fs.readFileSync(process.argv[3], 'utf8'));
const out = {};
for (const c of cases) {
  const posted = [];
  const listeners = {};
  const ctx = {
    location: { origin: c.origin, search: c.search || '' },
    addEventListener: (type, fn) => { (listeners[type] = listeners[type] || []).push(fn); },
    printed: 0,
  };
  ctx.console = {};
  for (const l of ['log', 'info', 'warn', 'error']) ctx.console[l] = function () { ctx.printed++; };
  if (!c.noWebview) ctx.chrome = { webview: { postMessage: (m) => posted.push(JSON.parse(m)) } };
  ctx.window = ctx;
  ctx.fire = (type, ev) => (listeners[type] || []).forEach((fn) => fn(ev));
  ctx.posted = posted;
  vm.createContext(ctx);
  try {
    for (let i = 0; i < (c.runs || 1); i++) vm.runInContext(script, ctx);
    out[c.name] = vm.runInContext(c.body, ctx);
  } catch (e) {
    out[c.name] = 'threw: ' + String(e);
  }
}
process.stdout.write(JSON.stringify(out));
)JS";

struct Case {
  const char* name;
  const char* origin;
  const char* search;
  const char* body;
  const char* expected;  // JSON of the body's value
  bool noWebview = false;
  int runs = 1;
};

std::string App() { return kAppOrigin; }

TEST(StartupScriptUnderNode, GlobalsPopoutRuleAndConsoleBridge) {
  if (system("node --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "node is not installed";
  const std::string app = App();
  const Case cases[] = {
      {"globals", app.c_str(), "",
       "[window.__NATIVE_WS_PORT, window.__QVN_NATIVE_WS_TOKEN__, window.__QVN_INSTALLATION_ID__,"
       " window.__QVN_SESSION_HANDLE__, window.__QVN_NATIVE_PLATFORM__, window.__QVN_NATIVE_WS_PROTOCOL__,"
       " window.__QVN_NATIVE_DECODE_MODE__, window.__QVN_DIST_SOURCE__, window.__QVN_CONSOLE_BRIDGED__,"
       " '__QVN_POPOUT_OS_CHROME__' in window]",
       R"([4321,"t\"o'k\\en","inst</script>","sess","linux",2,"native-first","bundle",true,false])"},
      {"other origin gets nothing", "https://example.com", "?popout=1",
       "[typeof window.__NATIVE_WS_PORT, typeof window.__QVN_NATIVE_WS_TOKEN__, typeof window.__QVN_CONSOLE_BRIDGED__,"
       " typeof window.__QVN_POPOUT_OS_CHROME__, (console.log('x'), posted.length)]",
       R"(["undefined","undefined","undefined","undefined",0])"},
      {"popout=1", app.c_str(), "?popout=1", "window.__QVN_POPOUT_OS_CHROME__", "true"},
      {"popout=1 among others", app.c_str(), "?a=b&popout=1&c=d", "window.__QVN_POPOUT_OS_CHROME__", "true"},
      {"popout=10", app.c_str(), "?popout=10", "typeof window.__QVN_POPOUT_OS_CHROME__", R"("undefined")"},
      {"xpopout=1", app.c_str(), "?xpopout=1", "typeof window.__QVN_POPOUT_OS_CHROME__", R"("undefined")"},
      {"plain values", app.c_str(), "",
       "console.info(null, undefined, 'a b', 1.5, true, -0); [posted[0].level, posted[0].message, posted[0].type, typeof posted[0].t, printed]",
       R"(["info","null undefined a b 1.5 true 0","console","number",1])"},
      {"objects, bigint and buffers", app.c_str(), "",
       "console.log({n: 10n, buf: new Uint8Array(4), dv: new DataView(new ArrayBuffer(2))}, new ArrayBuffer(8), [1, 'x']);"
       " posted[0].message",
       R"("{\"n\":\"10\",\"buf\":\"Uint8Array(4)\",\"dv\":\"DataView(2)\"} \"ArrayBuffer(8)\" [1,\"x\"]")"},
      {"errors with their stack", app.c_str(), "",
       "const e = new TypeError('boom'); console.warn(e); posted[0].message === 'TypeError: boom\\n' + e.stack",
       "true"},
      {"circular falls back to String, then to unprintable", app.c_str(), "",
       "const a = {}; a.self = a; const b = {}; b.self = b; b.toString = () => { throw new Error('no'); };"
       " console.log(a); console.log(b); [posted[0].message, posted[1].message]",
       R"(["[object Object]","[unprintable]"])"},
      {"functions and symbols print as text", app.c_str(), "",
       "console.log(Symbol('s')); posted[0].message", "\"Symbol(s)\""},
      {"8000 characters are kept whole", app.c_str(), "",
       "console.log('y'.repeat(8000)); [posted[0].message.length, posted[0].message.endsWith('...')]", "[8000,false]"},
      {"9000 characters are cut with ...", app.c_str(), "",
       "console.log('x'.repeat(9000)); [posted[0].message.length, posted[0].message.slice(7995)]",
       R"([8003,"xxxxx..."])"},
      {"ResizeObserver console.error is debug", app.c_str(), "",
       "console.error('ResizeObserver loop completed with undelivered notifications.'); console.error('real', 1);"
       " [posted[0].level, posted[1].level, posted[1].message, printed]",
       R"(["debug","error","real 1",2])"},
      {"missing console level uses console.log", app.c_str(), "",
       "console.debug('d'); [posted.length, posted[0].level, printed]", R"([1,"debug",1])"},
      {"error event with file and line", app.c_str(), "",
       "let prevented = false; fire('error', {message: 'boom', filename: 'https://x/a.js', lineno: 12,"
       " preventDefault() { prevented = true; }});"
       " fire('error', {message: 'bare', preventDefault() {}}); fire('error', {filename: 'f.js', preventDefault() {}});"
       " [posted.map((p) => p.level + ' ' + p.message), prevented]",
       R"([["error [uncaught] boom @ https://x/a.js:12","error [uncaught] bare","error [uncaught] error @ f.js:0"],false])"},
      {"ResizeObserver error event is prevented and debug", app.c_str(), "",
       "let prevented = false; fire('error', {message: 'ResizeObserver loop limit exceeded', filename: 'a.js', lineno: 1,"
       " preventDefault() { prevented = true; }}); [posted[0].level, posted[0].message, prevented]",
       R"(["debug","[resize-observer] ResizeObserver loop limit exceeded",true])"},
      {"unhandled rejections", app.c_str(), "",
       "fire('unhandledrejection', {reason: {code: 5}}); fire('unhandledrejection', {reason: 'why'});"
       " posted.map((p) => p.level + ' ' + p.message)",
       R"(["error [unhandledrejection] {\"code\":5}","error [unhandledrejection] why"])"},
      {"no posting channel is harmless", app.c_str(), "", "console.log('x'); [printed, posted.length]", "[1,0]", true},
      {"a second run does not bridge twice", app.c_str(), "", "console.log('x'); [printed, posted.length]", "[1,1]",
       false, 2},
  };

  testsupport::TempFolder folder("qv-script-");
  ASSERT_FALSE(folder.path().empty());
  const std::filesystem::path dir = folder.path();
  nlohmann::json list = nlohmann::json::array();
  for (const Case& c : cases) {
    nlohmann::json j = {{"name", c.name}, {"origin", c.origin}, {"search", c.search}, {"body", c.body}};
    if (c.noWebview) j["noWebview"] = true;
    if (c.runs != 1) j["runs"] = c.runs;
    list.push_back(j);
  }
  std::ofstream(dir / "script.js") << BuildStartupScript(4321, "t\"o'k\\en", "inst</script>", "sess");
  std::ofstream(dir / "harness.js") << kHarness;
  std::ofstream(dir / "cases.json") << list.dump();

  std::string command = "node " + (dir / "harness.js").string() + " " + (dir / "script.js").string() + " " +
                        (dir / "cases.json").string();
  std::string output;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) output.append(buf, n);
    pclose(p);
  }
  nlohmann::json results = nlohmann::json::parse(output, nullptr, false);
  ASSERT_TRUE(results.is_object()) << output;
  for (const Case& c : cases) {
    ASSERT_TRUE(results.contains(c.name)) << c.name;
    EXPECT_EQ(results[c.name], nlohmann::json::parse(c.expected)) << c.name << ": " << results[c.name].dump();
  }
}

}  // namespace
