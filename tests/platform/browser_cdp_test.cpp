// The browser's connection against stand-in browsers (shell scripts reading fd 3 and writing
// fd 4): its run is the process facility's job, and its standard error is kept as a tail.
#include "platform/browser_cdp.h"

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/process_state.h"

namespace {

using nlohmann::json;
using testsupport::IsGone;

// What the handlers saw, for the test thread to wait on.
struct Seen {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<json> messages;
  bool exited = false;
  int status = -1;
  std::string tailAtExit;

  template <typename Pred>
  bool WaitFor(Pred pred) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::seconds(20), pred);
  }
};

std::unique_ptr<platform::CdpConnection> Launch(const std::string& script, Seen& seen, std::string& error) {
  return platform::CdpConnection::Launch(
      {"/bin/sh", "-c", script}, {},
      [&seen](json message) {
        std::lock_guard<std::mutex> lock(seen.mu);
        seen.messages.push_back(std::move(message));
        seen.cv.notify_all();
      },
      [&seen](int status) {
        std::lock_guard<std::mutex> lock(seen.mu);
        seen.exited = true;
        seen.status = status;
        seen.cv.notify_all();
      },
      error);
}

TEST(CdpConnection, ABrowserThatFailsLeavesItsLastStderrLines) {
  Seen seen;
  std::string error;
  // Speaks once, says why it fails in more lines than the tail keeps, and exits 3.
  auto c = Launch(
      "printf '{\"method\":\"Hello\",\"params\":{}}\\0' >&4; "
      "i=1; while [ $i -le 30 ]; do echo \"reason line $i\" >&2; i=$((i+1)); done; "
      "printf 'no newline at the end' >&2; exit 3",
      seen, error);
  ASSERT_TRUE(c) << error;
  ASSERT_TRUE(seen.WaitFor([&] { return seen.exited; }));
  // Once the exit is reported, the tail holds all the browser wrote.
  std::string expected;
  for (int i = 12; i <= 30; ++i) expected += "reason line " + std::to_string(i) + "\n";
  expected += "no newline at the end";
  EXPECT_EQ(c->StderrTail()->Text(), expected);
  EXPECT_TRUE(WIFEXITED(seen.status) && WEXITSTATUS(seen.status) == 3) << seen.status;
  {
    std::lock_guard<std::mutex> lock(seen.mu);
    ASSERT_EQ(seen.messages.size(), 1u);
    EXPECT_EQ(seen.messages[0]["method"], "Hello");
  }
  c->Close();
  EXPECT_EQ(c->StderrTail()->Text(), expected);  // still there after Close
}

TEST(CdpConnection, CloseEndsEverythingTheBrowserStarted) {
  Seen seen;
  std::string error;
  // A helper that leaves the browser's session and group, as a zygote might; the browser itself
  // never answers Browser.close.
  auto c = Launch("setsid sleep 60 >/dev/null 2>&1 & echo \"helper $!\" >&2; exec sleep 60", seen, error);
  ASSERT_TRUE(c) << error;
  auto tail = c->StderrTail();
  std::string text;
  for (int i = 0; i < 200 && text.find('\n') == std::string::npos; ++i) {  // bounded: 10 s
    text = tail->Text();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(text.rfind("helper ", 0), 0u) << text;
  pid_t helper = static_cast<pid_t>(std::stoi(text.substr(7)));
  pid_t browser = c->Pid();
  ASSERT_GT(browser, 0);
  EXPECT_FALSE(IsGone(helper));
  c->Close();
  EXPECT_TRUE(IsGone(browser));
  EXPECT_TRUE(IsGone(helper));
  EXPECT_FALSE(seen.exited);  // no handler runs for a close the host made
}

TEST(CdpConnection, AMissingBrowserIsAnError) {
  std::string error;
  auto c = platform::CdpConnection::Launch({"/nonexistent/browser"}, {}, nullptr, nullptr, error);
  EXPECT_FALSE(c);
  EXPECT_EQ(error, "browser executable not found");
}

}  // namespace
