#pragma once
// The web view's decisions as pure functions: which URLs belong to the app, which asset a URL
// names, what a navigation or a new window may do, and the browser's start-up switches.
#include <string>

#include "base/constants.h"

// The start page: the app origin followed by "/index.html".
std::string StartPageUrl();

// True when uri is the app origin (case-insensitive), alone or followed by "/", "?" or "#".
bool IsAppOrigin(const std::string& uri);

// The asset path of a URL: the text after the first "/" behind "://", cut before "?".
// Not percent-decoded; the fragment stays. "" when the URL has no path part.
std::string UrlToAssetPath(const std::string& uri);

// Paths below the origin that the host leaves to the network: "api", "v1", "__dvek_video__"
// and everything below them.
bool IsNetworkPath(const std::string& path);

enum class NavigationDecision { kAllow, kOpenExternal, kBlock };
NavigationDecision DecideNavigation(const std::string& uri);

enum class NewWindowDecision { kDefault, kOpenExternal, kBlock, kPopout };
NewWindowDecision DecideNewWindow(const std::string& uri);

// True when uri starts with "http://" or "https://", case-insensitively.
bool IsHttpUri(const std::string& uri);

// The browser's switches: the fixed feature switch, and the debugging port when debugPort (the
// value of QVN_WEBVIEW_DEBUG_PORT, null when unset) is 1 to 7 decimal digits.
std::string WebViewBrowserArguments(const char* debugPort);

// Reads a console message posted by the page; false for anything else (not JSON, not an
// object, another type, fields of the wrong type).
bool ParseConsoleMessage(const std::string& text, std::string& level, std::string& message);
