#include "app/webview/webview_policy.h"

#include <gtest/gtest.h>

#include <string>

#include "app/webview/startup_script.h"

namespace {

TEST(WebViewPolicy, AppOriginIgnoresCaseAndNeedsABoundary) {
  const struct {
    const char* uri;
    bool app;
  } cases[] = {
      {"https://app.quorvane.invalid", true},
      {"https://app.quorvane.invalid/", true},
      {"https://app.quorvane.invalid/index.html?x=1", true},
      {"https://app.quorvane.invalid?x", true},
      {"https://app.quorvane.invalid#top", true},
      {"HTTPS://APP.QUORVANE.INVALID/index.html", true},
      {"http://app.quorvane.invalid/index.html", false},
      {"https://app.quorvane.invalid.example.com/", false},
      {"https://app.quorvane.invalidx", false},
      {"https://app.quorvane.invalid:8443/", false},
      {"https://app.quorvane.inv", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsAppOrigin(c.uri), c.app) << c.uri;
}

TEST(WebViewPolicy, UrlToAssetPathKeepsTheRawPathWithoutQuery) {
  const struct {
    const char* uri;
    const char* path;
  } cases[] = {
      {"https://app.quorvane.invalid/index.html", "index.html"},
      {"https://app.quorvane.invalid/", ""},
      {"https://app.quorvane.invalid", ""},
      {"https://app.quorvane.invalid/assets/a.js?v=3&x", "assets/a.js"},
      {"https://app.quorvane.invalid/a%20b.png", "a%20b.png"},
      {"https://app.quorvane.invalid/page.html#frag", "page.html#frag"},
      {"https://app.quorvane.invalid/?q=1", ""},
      {"ab", ""},
      {"no-scheme/index.html", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(UrlToAssetPath(c.uri), c.path) << c.uri;
}

TEST(WebViewPolicy, NetworkPathsAreTheDirectoriesNotTheirPrefixes) {
  for (const char* p : {"api", "api/x", "api/", "v1", "v1/sessions/3", "__dvek_video__", "__dvek_video__/12"}) {
    EXPECT_TRUE(IsNetworkPath(p)) << p;
  }
  for (const char* p : {"apix", "api.js", "v10", "v1x/a", "__dvek_video__x", "assets/api/x", "", "index.html"}) {
    EXPECT_FALSE(IsNetworkPath(p)) << p;
  }
}

TEST(WebViewPolicy, NavigationStaysInTheAppAndHandsWebAddressesToTheDesktop) {
  const struct {
    const char* uri;
    NavigationDecision decision;
  } cases[] = {
      {"https://app.quorvane.invalid/index.html", NavigationDecision::kAllow},
      {"HTTPS://App.Quorvane.Invalid/x", NavigationDecision::kAllow},
      {"about:blank", NavigationDecision::kAllow},
      {"ABOUT:BLANK", NavigationDecision::kBlock},
      {"https://example.com/", NavigationDecision::kOpenExternal},
      {"HTTP://example.com/", NavigationDecision::kOpenExternal},
      {"http://app.quorvane.invalid/index.html", NavigationDecision::kOpenExternal},
      {"mailto:someone@example.com", NavigationDecision::kBlock},
      {"file:///etc/passwd", NavigationDecision::kBlock},
      {"javascript:alert(1)", NavigationDecision::kBlock},
      {"", NavigationDecision::kBlock},
  };
  for (const auto& c : cases) EXPECT_EQ(DecideNavigation(c.uri), c.decision) << c.uri;
}

TEST(WebViewPolicy, NewWindowsOfTheAppBecomePopouts) {
  const struct {
    const char* uri;
    NewWindowDecision decision;
  } cases[] = {
      {"", NewWindowDecision::kDefault},
      {"about:blank", NewWindowDecision::kDefault},
      {"https://app.quorvane.invalid/index.html?popout=1", NewWindowDecision::kPopout},
      {"https://APP.quorvane.invalid", NewWindowDecision::kPopout},
      {"https://example.com/docs", NewWindowDecision::kOpenExternal},
      {"http://app.quorvane.invalid/", NewWindowDecision::kOpenExternal},
      {"mailto:a@b.c", NewWindowDecision::kBlock},
      {"about:srcdoc", NewWindowDecision::kBlock},
  };
  for (const auto& c : cases) EXPECT_EQ(DecideNewWindow(c.uri), c.decision) << c.uri;
}

TEST(WebViewPolicy, DebugPortNeedsOneToSevenDigits) {
  const std::string base = "--disable-features=OverlayScrollbar,msOverlayScrollbarWinStyle";
  EXPECT_EQ(WebViewBrowserArguments(nullptr), base);
  EXPECT_EQ(WebViewBrowserArguments("9222"), base + " --remote-debugging-port=9222 --remote-allow-origins=*");
  EXPECT_EQ(WebViewBrowserArguments("1234567"), base + " --remote-debugging-port=1234567 --remote-allow-origins=*");
  for (const char* bad : {"", "12345678", "92a2", "-1", " 9222", "9222 "}) {
    EXPECT_EQ(WebViewBrowserArguments(bad), base) << "'" << bad << "'";
  }
}

TEST(WebViewPolicy, ConsoleMessagesAreCheckedFieldByField) {
  const struct {
    const char* text;
    bool ok;
    const char* level;
    const char* message;
  } cases[] = {
      {R"({"type":"console","level":"warn","message":"hi","t":1})", true, "warn", "hi"},
      {R"({"type":"console"})", true, "log", ""},
      {R"({"type":"console","level":3,"message":"x"})", false, "", ""},
      {R"({"type":"console","level":"log","message":{"a":1}})", false, "", ""},
      {R"({"type":"other","message":"x"})", false, "", ""},
      {R"({"message":"x"})", false, "", ""},
      {R"(["console"])", false, "", ""},
      {R"("console")", false, "", ""},
      {"not json", false, "", ""},
  };
  for (const auto& c : cases) {
    std::string level, message;
    EXPECT_EQ(ParseConsoleMessage(c.text, level, message), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(level, c.level);
      EXPECT_EQ(message, c.message);
    }
  }
}

TEST(StartupScript, ValuesAreWrittenAsJsonStringLiterals) {
  std::string script = BuildStartupScript(4321, "tok\"en</script>\\", "inst\nid", "sess\u2028ion");
  EXPECT_NE(script.find("window.__NATIVE_WS_PORT = 4321;"), std::string::npos);
  EXPECT_NE(script.find(R"(window.__QVN_NATIVE_WS_TOKEN__ = "tok\"en</script>\\";)"), std::string::npos);
  EXPECT_NE(script.find(R"(window.__QVN_INSTALLATION_ID__ = "inst\nid";)"), std::string::npos);
  EXPECT_NE(script.find("window.__QVN_NATIVE_WS_PROTOCOL__ = 2;"), std::string::npos);
  EXPECT_NE(script.find(std::string("window.location.origin !== \"") + kAppOrigin + "\""), std::string::npos);
}

}  // namespace
