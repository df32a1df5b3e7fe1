// The browser's command line, environment and desktop stand-ins, and the X11 window matching:
// the pure pieces of the browser layer.
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/browser.h"
#include "platform/browser_x11.h"
#include "platform/files.h"
#include "support/temp_folder.h"

namespace platform {
namespace {

bool Has(const std::vector<std::string>& argv, const std::string& arg) {
  return std::find(argv.begin(), argv.end(), arg) != argv.end();
}

std::vector<std::string> WithPrefix(const std::vector<std::string>& argv, const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& a : argv) {
    if (a.rfind(prefix, 0) == 0) out.push_back(a);
  }
  return out;
}

TEST(BrowserCommandLine, SwitchesFollowTheOptions) {
  struct Case {
    const char* name;
    BrowserLaunchOptions options;
    std::vector<std::string> present;
    std::vector<std::string> absent;
    std::string last;  // the page the browser opens first
  };
  const Case cases[] = {
      {"headful app window on X11",
       {"/opt/browser", "/data/profile", "", false, false, "", "Program"},
       {"/opt/browser", "--remote-debugging-pipe", "--user-data-dir=/data/profile", "--ozone-platform=x11",
        "--class=Program", "--no-first-run"},
       {"--headless=new", "--no-sandbox", "about:blank", "--app=about:blank"},
       "--app=data:text/html,"},
      {"headless as root",
       {"/opt/browser", "", "", true, true, "", "Program"},
       {"--headless=new", "--no-sandbox"},
       {"--ozone-platform=x11", "--app=data:text/html,", "--class=Program"},
       "about:blank"},
      {"caller switches kept, feature lists merged",
       {"/opt/browser", "", "--disable-features=OverlayScrollbar,Other --remote-debugging-port=9222 --enable-features=A \"--x=a b\"",
        false, false, "", ""},
       {"--enable-features=A", "--remote-debugging-port=9222", "--x=a b"},
       {"--disable-features=OverlayScrollbar,Other"},
       "--app=data:text/html,"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> argv = BrowserCommandLine(c.options);
    ASSERT_FALSE(argv.empty());
    EXPECT_EQ(argv.front(), "/opt/browser");
    for (const auto& p : c.present) EXPECT_TRUE(Has(argv, p)) << p;
    for (const auto& a : c.absent) EXPECT_FALSE(Has(argv, a)) << a;
    EXPECT_EQ(argv.back(), c.last);
    // The browser keeps only the last of each feature switch: there is one of each, holding
    // ours (the page may reach the loopback bridge; no omnibox pages of the browser's own) and
    // the caller's.
    const std::vector<std::string> disabled = WithPrefix(argv, "--disable-features=");
    ASSERT_EQ(disabled.size(), 1u);
    EXPECT_LE(WithPrefix(argv, "--enable-features=").size(), 1u);
    std::vector<std::string> features;
    std::stringstream list(disabled[0].substr(std::string("--disable-features=").size()));
    for (std::string f; std::getline(list, f, ',');) features.push_back(f);
    std::vector<std::string> expected = {"LocalNetworkAccessChecks", "WebUIOmniboxPopup", "PreloadTopChromeWebUI"};
    if (!c.options.additionalArguments.empty()) expected.insert(expected.end(), {"OverlayScrollbar", "Other"});
    for (const auto& f : expected) EXPECT_TRUE(Has(features, f)) << f;
  }
}

TEST(BrowserEnvironmentBlock, StandInsComeFirstOnPath) {
  struct Case {
    const char* name;
    std::vector<std::string> env;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"path prefixed, rest kept", {"HOME=/h", "PATH=/usr/bin:/bin", "DISPLAY=:1"},
       {"HOME=/h", "PATH=/s:/usr/bin:/bin", "DISPLAY=:1"}},
      {"no path", {"HOME=/h"}, {"HOME=/h", "PATH=/s:/usr/bin:/bin"}},
      {"empty path", {"PATH="}, {"PATH=/s"}},
      {"a second PATH is dropped", {"PATH=/a", "PATH=/b"}, {"PATH=/s:/a"}},
      {"a name that only starts like PATH", {"PATHX=1"}, {"PATHX=1", "PATH=/s:/usr/bin:/bin"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(BrowserEnvironmentBlock(c.env, "/s"), c.expected);
  }
}

TEST(DesktopStandIns, OpenNothingAndClaimEveryScheme) {
  testsupport::TempFolder temp;
  const std::string folder = temp / "stand-ins";
  std::string error;
  ASSERT_TRUE(WriteDesktopStandIns(folder, error)) << error;
  ASSERT_TRUE(WriteDesktopStandIns(folder, error)) << "a second start finds them in place: " << error;
  struct stat st {};
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  for (const char* name : {"xdg-open", "xdg-email", "xdg-settings", "gio"}) {
    SCOPED_TRACE(name);
    std::string cmd = "'" + folder + "/" + name + "' check default-url-scheme-handler mailto x.desktop";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char buf[64] = {0};
    size_t got = fread(buf, 1, sizeof buf - 1, p);
    int status = pclose(p);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // Only the default-handler check says anything: "yes", the browser itself handles it.
    EXPECT_EQ(std::string(buf, got), std::string(name) == "xdg-settings" ? "yes\n" : "");
  }
  EXPECT_FALSE(WriteDesktopStandIns(temp / "missing/parent", error));
  EXPECT_FALSE(error.empty());
}

TEST(DesktopStandIns, AStandInThatChangedIsWrittenAgain) {
  // What a crash, the user or another program may leave in place of a stand-in.
  struct Case {
    const char* name;
    const char* content;  // nullptr: removed
    unsigned mode;
    bool symlink;
  };
  const Case cases[] = {
      {"removed", nullptr, 0, false},
      {"torn by a crash", "", 0700, false},
      {"an opener that runs something", "#!/bin/sh\nexec /usr/bin/xdg-open \"$@\"\n", 0700, false},
      {"not runnable", nullptr, 0600, false},
      {"a link to the real opener", nullptr, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempFolder temp;
    const std::string folder = temp / "stand-ins";
    const std::string path = folder + "/xdg-open";
    std::string error;
    ASSERT_TRUE(WriteDesktopStandIns(folder, error)) << error;
    std::string original;
    ASSERT_TRUE(ReadFile(path, &original));
    if (c.symlink) {
      ASSERT_EQ(unlink(path.c_str()), 0);
      ASSERT_EQ(symlink((folder + "/xdg-email").c_str(), path.c_str()), 0);
    } else if (c.content) {
      ASSERT_TRUE(WriteFileAtomic(path, c.content, c.mode));
    } else if (c.mode) {
      ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
    } else {
      ASSERT_EQ(unlink(path.c_str()), 0);
    }
    ASSERT_TRUE(WriteDesktopStandIns(folder, error)) << error;
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    std::string now;
    ASSERT_TRUE(ReadFile(path, &now));
    EXPECT_EQ(now, original);
  }
}

TEST(X11Matching, OldestHandleGetsOldestWindow) {
  struct Case {
    const char* name;
    std::vector<uint64_t> handles;
    std::vector<unsigned long> windows;
    std::vector<std::pair<uint64_t, unsigned long>> expected;
  };
  const Case cases[] = {
      {"nothing to match", {}, {0x100}, {}},
      {"window not there yet", {7}, {}, {}},
      {"in id order whatever the listing order", {7, 9}, {0x300, 0x200}, {{7, 0x200}, {9, 0x300}}},
      {"more windows than handles", {9}, {0x500, 0x400}, {{9, 0x400}}},
      {"a window listed twice counts once", {7, 9}, {0x200, 0x200}, {{7, 0x200}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(x11::MatchInOrder(c.handles, c.windows), c.expected);
  }
}

}  // namespace
}  // namespace platform
