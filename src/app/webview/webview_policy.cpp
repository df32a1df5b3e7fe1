#include "app/webview/webview_policy.h"

#include <cstring>

#include <nlohmann/json.hpp>

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(const std::string& s, const char* prefix) {
  size_t n = std::strlen(prefix);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (Lower(s[i]) != Lower(prefix[i])) return false;
  }
  return true;
}

bool IsPathOrBelow(const std::string& path, const char* name) {
  size_t n = std::strlen(name);
  return path.compare(0, n, name) == 0 && (path.size() == n || path[n] == '/');
}

}  // namespace

std::string StartPageUrl() { return std::string(kAppOrigin) + "/index.html"; }

bool IsAppOrigin(const std::string& uri) {
  constexpr size_t n = sizeof(kAppOrigin) - 1;
  if (!StartsWithNoCase(uri, kAppOrigin)) return false;
  return uri.size() == n || uri[n] == '/' || uri[n] == '?' || uri[n] == '#';
}

std::string UrlToAssetPath(const std::string& uri) {
  if (uri.size() < 3) return {};
  size_t scheme = uri.find("://");
  if (scheme == std::string::npos) return {};
  size_t slash = uri.find('/', scheme + 3);
  if (slash == std::string::npos) return {};
  std::string path = uri.substr(slash + 1);
  size_t query = path.find('?');
  if (query != std::string::npos) path.resize(query);
  return path;
}

bool IsNetworkPath(const std::string& path) {
  return IsPathOrBelow(path, "api") || IsPathOrBelow(path, "v1") || IsPathOrBelow(path, "__dvek_video__");
}

bool IsHttpUri(const std::string& uri) {
  return StartsWithNoCase(uri, "https://") || StartsWithNoCase(uri, "http://");
}

NavigationDecision DecideNavigation(const std::string& uri) {
  if (IsAppOrigin(uri) || uri == "about:blank") return NavigationDecision::kAllow;
  return IsHttpUri(uri) ? NavigationDecision::kOpenExternal : NavigationDecision::kBlock;
}

NewWindowDecision DecideNewWindow(const std::string& uri) {
  if (uri.empty() || uri == "about:blank") return NewWindowDecision::kDefault;
  if (IsAppOrigin(uri)) return NewWindowDecision::kPopout;
  return IsHttpUri(uri) ? NewWindowDecision::kOpenExternal : NewWindowDecision::kBlock;
}

std::string WebViewBrowserArguments(const char* debugPort) {
  std::string args = "--disable-features=OverlayScrollbar,msOverlayScrollbarWinStyle";
  if (!debugPort) return args;
  size_t n = std::strlen(debugPort);
  if (n < 1 || n > 7) return args;
  for (size_t i = 0; i < n; ++i) {
    if (debugPort[i] < '0' || debugPort[i] > '9') return args;
  }
  args += " --remote-debugging-port=";
  args += debugPort;
  args += " --remote-allow-origins=*";
  return args;
}

bool ParseConsoleMessage(const std::string& text, std::string& level, std::string& message) {
  nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return false;
  auto type = j.find("type");
  if (type == j.end() || !type->is_string() || *type != "console") return false;
  auto l = j.find("level");
  auto m = j.find("message");
  if ((l != j.end() && !l->is_string()) || (m != j.end() && !m->is_string())) return false;
  level = l != j.end() ? l->get<std::string>() : "log";
  message = m != j.end() ? m->get<std::string>() : "";
  return true;
}
