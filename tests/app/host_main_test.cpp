#include "app/host_main.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <optional>
#include <mutex>
#include <vector>

#include "platform/crypto.h"
#include "support/temp_folder.h"
#include "platform/net.h"
#include "platform/ui.h"

namespace ui = platform::ui;

namespace {

class HostMainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = folder_.str();
    dataHome_.emplace("XDG_DATA_HOME", root_);
    ui::ResetForTesting();
  }
  void TearDown() override {
    platform::SetRandomSourceForTesting(nullptr);
    platform::net::SetListenForTesting(nullptr);
    ui::ResetForTesting();
    dataHome_.reset();
  }
  // Runs the host and closes its main window as soon as the loop runs.
  int RunAndClose(std::vector<std::string>* steps, bool fatal = false) {
    HostOptions options;
    options.setupLogFile = false;
    options.onStep = [&, fatal](const std::string& s) {
      steps->push_back(s);
      if (s != "loop") return;
      ui::PostTask([fatal] {
        if (fatal) ui::MarkFatal();
        for (ui::HWND w : ui::EnumWindows()) ui::PostMessage(w, ui::WM_CLOSE, 0, 0);
      });
    };
    return RunHost(options);
  }
  testsupport::TempFolder folder_{"qv-host-"};
  std::optional<testsupport::ScopedEnv> dataHome_;
  std::string root_;
};

TEST_F(HostMainTest, StartsAndStopsInOrderAndExitsZero) {
  std::vector<std::string> steps;
  EXPECT_EQ(RunAndClose(&steps), 0);
  const std::vector<std::string> expected = {
      "log", "crash-filter", "warm-up", "package-identity", "native-media", "main-window", "bridge-token",
      "bridge-listener", "kick-hook", "installation-id", "session-handle", "token-registry", "dispatcher",
      "ui-handlers", "realtime-hub", "remote-access", "plugin-status-sink", "ui-closed-handler", "webview",
      "loop",
      "stop-plugins", "close-remote-out-conns", "stop-remote-listener", "stop-bridge-listener",
      "stop-realtime-hub", "shutdown-native-media", "destroy-webview", "delete-dispatcher",
      "delete-bridge-listener"};
  EXPECT_EQ(steps, expected);
  EXPECT_TRUE(std::filesystem::exists(root_ + "/Quorvane/installation-id.bin"));
}

TEST_F(HostMainTest, FatalCloseExitsOne) {
  std::vector<std::string> steps;
  EXPECT_EQ(RunAndClose(&steps, /*fatal=*/true), 1);
  EXPECT_EQ(steps.back(), "delete-bridge-listener");  // still an orderly shutdown
}

TEST_F(HostMainTest, EmptyBridgeTokenEndsStartUpWithOne) {
  platform::SetRandomSourceForTesting([](void*, size_t) { return false; });
  std::vector<std::string> steps;
  EXPECT_EQ(RunAndClose(&steps), 1);
  EXPECT_EQ(steps.back(), "bridge-token");
}

TEST_F(HostMainTest, BridgeListenerThatCannotListenEndsStartUpWithOne) {
  platform::net::SetListenForTesting([](int, uint16_t*) { return -1; });
  std::vector<std::string> steps;
  testing::internal::CaptureStdout();
  EXPECT_EQ(RunAndClose(&steps), 1);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(steps.back(), "bridge-listener");
  EXPECT_NE(out.find("[main] FATAL: WsServer failed to start\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Unable to initialize the native media bridge."), std::string::npos) << out;
  EXPECT_EQ(out.find("WsServer listening"), std::string::npos) << out;
}

}  // namespace

namespace {

TEST(StartOtaCheck, OneCheckAtATime) {
  std::mutex m;
  std::condition_variable cv;
  int started = 0;
  int total = 0;
  bool release = false;
  std::function<void()> finish;
  SetOtaCheckWorkerForTesting([&](unsigned long long window, std::function<void()> done) {
    EXPECT_EQ(window, 7u);
    std::unique_lock<std::mutex> lock(m);
    ++started;
    ++total;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
    lock.unlock();
    done();
    std::lock_guard<std::mutex> relock(m);
    --started;
    cv.notify_all();
  });
  StartOtaCheck(7, "https://x.invalid/index.html");
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return started == 1; });
  }
  StartOtaCheck(7, "https://x.invalid/index.html");  // refused while the first runs
  {
    std::unique_lock<std::mutex> lock(m);
    EXPECT_EQ(started, 1);
    release = true;
    cv.notify_all();
    cv.wait(lock, [&] { return started == 0; });
  }
  release = false;
  StartOtaCheck(7, "https://x.invalid/index.html");  // the flag was reset: a new check runs
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return started == 1; });
    release = true;
    cv.notify_all();
    cv.wait(lock, [&] { return started == 0; });
  }
  EXPECT_EQ(total, 2);  // the refused start never ran a worker
  SetOtaCheckWorkerForTesting(nullptr);
}

}  // namespace
