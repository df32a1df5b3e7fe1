#include "app/webview/startup_script.h"

#include <nlohmann/json.hpp>

#include "base/constants.h"
#include "base/strings.h"
#include "base/version.h"
#include "base/constants.h"

namespace {

std::string JsString(const std::string& value) {
  return nlohmann::json(value).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

constexpr const char kConsoleBridge[] = R"JS((function () {
  if (window.location.origin !== ORIGIN || window.__QVN_CONSOLE_BRIDGED__) return;
  window.__QVN_CONSOLE_BRIDGED__ = true;
  var MAX = 8000;
  function replacer(key, value) {
    if (typeof value === 'bigint') return value.toString();
    if (typeof ArrayBuffer !== 'undefined') {
      if (value instanceof ArrayBuffer) return 'ArrayBuffer(' + value.byteLength + ')';
      if (ArrayBuffer.isView(value)) return value.constructor.name + '(' + value.byteLength + ')';
    }
    return value;
  }
  function stringify(v) {
    try {
      if (v === null || v === undefined) return String(v);
      var t = typeof v;
      if (t === 'string') return v;
      if (t === 'number' || t === 'boolean') return String(v);
      if (v instanceof Error) return v.name + ': ' + v.message + (v.stack ? '\n' + v.stack : '');
      var s = JSON.stringify(v, replacer);
      return typeof s === 'string' ? s : String(v);
    } catch (e) {
      try { return String(v); } catch (e2) { return '[unprintable]'; }
    }
  }
  function post(level, args) {
    var parts = [];
    for (var i = 0; i < args.length; i++) parts.push(stringify(args[i]));
    var message = parts.join(' ');
    if (message.length > MAX) message = message.slice(0, MAX) + '...';
    try {
      if (window.chrome && window.chrome.webview) {
        window.chrome.webview.postMessage(JSON.stringify({ type: 'console', level: level, message: message, t: Date.now() }));
      }
    } catch (e) {}
  }
  function startsWithResizeLoop(v) {
    try { return String(v).indexOf('ResizeObserver loop') === 0; } catch (e) { return false; }
  }
  // The originals are taken before any is replaced, so a missing level falls back to the
  // page's own console.log and not to the bridge's.
  var levels = ['log', 'info', 'warn', 'error', 'debug'];
  var originals = levels.map(function (level) { return (console[level] || console.log).bind(console); });
  levels.forEach(function (level, index) {
    var original = originals[index];
    console[level] = function () {
      try { original.apply(null, arguments); } catch (e) {}
      var effective = level;
      if (level === 'error' && arguments.length > 0 && startsWithResizeLoop(arguments[0])) effective = 'debug';
      post(effective, arguments);
    };
  });
  window.addEventListener('error', function (event) {
    var message = (event && event.message) || 'error';
    if (startsWithResizeLoop(message)) {
      event.preventDefault();
      post('debug', ['[resize-observer]', message]);
      return;
    }
    if (event && event.filename) message += ' @ ' + event.filename + ':' + (event.lineno || 0);
    post('error', ['[uncaught]', message]);
  });
  window.addEventListener('unhandledrejection', function (event) {
    post('error', ['[unhandledrejection]', event ? event.reason : undefined]);
  });
})();
)JS";

}  // namespace

std::string BuildStartupScript(int wsPort, const std::string& token, const std::string& installationId,
                               const std::string& sessionHandle) {
  const std::string origin = JsString(kAppOrigin);
  std::string s;
  s += "(function () {\n";
  s += "  if (window.location.origin !== " + origin + ") return;\n";
  s += "  window.__NATIVE_WS_PORT = " + std::to_string(wsPort) + ";\n";
  s += "  window.__QVN_NATIVE_WS_TOKEN__ = " + JsString(token) + ";\n";
  s += "  window.__QVN_INSTALLATION_ID__ = " + JsString(installationId) + ";\n";
  s += "  window.__QVN_SESSION_HANDLE__ = " + JsString(sessionHandle) + ";\n";
  s += "  window.__QVN_NATIVE_PLATFORM__ = " + JsString(PluginPlatformName()) + ";\n";
  s += "  window.__QVN_NATIVE_WS_PROTOCOL__ = 2;\n";
  s += "  window.__QVN_NATIVE_DECODE_MODE__ = \"native-first\";\n";
  s += "  if (/[?&]popout=1(?:&|$)/.test(window.location.search)) window.__QVN_POPOUT_OS_CHROME__ = true;\n";
  s += "  window.__QVN_DIST_SOURCE__ = \"bundle\";\n";
  s += "})();\n";
  std::string bridge = kConsoleBridge;
  const std::string placeholder = "ORIGIN";
  bridge.replace(bridge.find(placeholder), placeholder.size(), origin);
  s += bridge;
  return s;
}
