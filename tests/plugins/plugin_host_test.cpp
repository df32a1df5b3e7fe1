#include "plugins/plugin_host.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "package_signer.h"
#include "plugins/package_store.h"
#include "support/temp_folder.h"
#include "support/token_test_support.h"

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr const char* kPlugin = "com.test.plugin";

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> Lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Status events and stdio publishes as the page and the hub would see them.
class Recorder {
 public:
  void Add(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.push_back(text);
    changed_.notify_all();
  }
  // Waits (bounded) until pred holds for the items seen so far.
  bool WaitFor(const std::function<bool(const std::vector<std::string>&)>& pred,
               std::chrono::seconds timeout = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return pred(items_); });
  }
  std::vector<std::string> Items() {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.clear();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> items_;
};

// "state:pid-kind:restarts" for each rt.plugin event, e.g. "restarting:0:1".
std::vector<std::string> States(const std::vector<std::string>& events) {
  std::vector<std::string> out;
  for (const std::string& text : events) {
    const json event = json::parse(text);
    out.push_back(event.value("state", "") + ":" + std::to_string(event.value("restarts", -1)));
  }
  return out;
}

class PluginHostTest : public TokenTest {
 protected:
  void SetUp() override {
    TokenTest::SetUp();
    ASSERT_FALSE(data.path().empty());
    EnableTokens();
    registry->SetRpcPort(45678);  // a launch needs the bridge port it hands the child
    std::string error;
    ASSERT_TRUE(qvsign::LoadSigningKey(QV_TEST_FIXTURES "/keys/package-dev.seed", packageKey, error)) << error;

    plugins::PluginHostServices services;
    services.tokens = registry.get();
    services.endPublisher = [this](const std::string& id) { ended.Add(id); };
    services.wallClockMs = [this] { return wallMs.load(); };
    services.restartDelays = {std::chrono::milliseconds(10), std::chrono::milliseconds(20),
                              std::chrono::milliseconds(30), std::chrono::milliseconds(40)};
    services.pollInterval = std::chrono::milliseconds(20);
    plugins::InstallPluginHost(services);
    plugins::SetPluginStatusSink([this](const std::string& text) { statuses.Add(text); });
    plugins::SetStdioPublishHook([this](const std::string& id, const std::string&, const json& payload) {
      if (!plugins::IsPluginProcessAlive(id)) ++publishedAsEnded;
      std::this_thread::sleep_for(hookDelay.load());
      publishes.Add(id + " " + payload.dump());
      return plugins::StdioReply{R"({"type":"publish-ok","payload":{"seq":)" + std::to_string(payload.value("seq", 0)) +
                                 "}}"};
    });
    StagePackage({"realtime", "decode"});
  }

  void TearDown() override {
    plugins::StopAllPlugins();
    plugins::SetPluginStatusSink(nullptr);
    plugins::SetStdioPublishHook(nullptr);
    plugins::InstallPluginHost({});
  }

  void StagePackage(const std::vector<std::string>& capabilities) {
    const std::string folder = scratch / "pkg";
    fs::create_directories(folder + "/bin");
    fs::copy_file(QV_TEST_PLUGIN, folder + "/bin/plugin", fs::copy_options::overwrite_existing);
    json launch = json::object();
    for (const auto& cap : capabilities) launch[cap] = {{"executable", "bin/plugin"}, {"transport", "stdio"}};
    const json manifest = {{"id", kPlugin},          {"name", "Test plugin"}, {"version", "1.0.0"},
                           {"minAppVersion", "0.0.0"}, {"runtime", "native"},  {"entry", "bin/plugin"},
                           {"sandbox", "process"},        {"extensions", json::array()},
                           {"capabilities", capabilities}, {"platforms", {"linux"}},
                           {"launch", {{"linux", launch}}}};
    SignAndStage(folder, manifest, sha);
  }

  // Writes the manifest into folder, signs the folder as a package and stages it.
  void SignAndStage(const std::string& folder, const json& manifest, std::string& shaOut) {
    std::ofstream(folder + "/plugin.json") << manifest.dump();
    json payload;
    std::string zip, error;
    ASSERT_TRUE(qvsign::BuildStagePayload(packageKey, folder, payload, zip, error)) << error;
    ASSERT_EQ(StagePluginPackage(payload.dump()), "");
    shaOut = payload.value("packageSha256", payload.value("sha256", ""));
    ASSERT_EQ(shaOut.size(), 64u) << payload.dump();
  }

  void Arm(const std::string& cap = "realtime") { Arm(cap, kPlugin, sha); }
  void Arm(const std::string& cap, const std::string& pluginId, const std::string& packageSha) {
    json claims = CapPayload(pluginId, cap);
    claims["pkg"] = packageSha;
    ASSERT_EQ(registry->ArmPluginToken(pluginId, packageSha, Mint(claims), kNow), "");
  }

  json StartPayload(const json& settings, const std::string& cap = "realtime") {
    return {{"pluginId", kPlugin},
            {"packageSha256", sha},
            {"capability", cap},
            {"pluginSettings", settings},
            {"launch", {{"executable", "bin/plugin"}, {"transport", "stdio"}}}};
  }

  std::string Start(const json& settings, const std::string& cap = "realtime") {
    return plugins::StartRealtimePlugin(StartPayload(settings, cap).dump());
  }

  bool WaitForState(const std::string& state) {
    return statuses.WaitFor([&](const std::vector<std::string>& items) {
      for (const auto& s : States(items)) {
        if (s.rfind(state, 0) == 0) return true;
      }
      return false;
    });
  }

  testsupport::TempFolder data{"qv-plugin-data-"};
  testsupport::TempFolder scratchFolder{"qv-plugin-scratch-"};
  const testsupport::TempFolder& scratch = scratchFolder;
  testsupport::ScopedEnv xdg{"XDG_DATA_HOME", data.str()};
  qvsign::SigningKey packageKey;
  std::string sha;
  Recorder statuses, publishes, ended;
  std::atomic<int> publishedAsEnded{0};  // publishes made when the run no longer counted as alive
  std::atomic<std::chrono::milliseconds> hookDelay{std::chrono::milliseconds(0)};  // a slow hub
};

TEST_F(PluginHostTest, StdioPublishesReachTheHookAndRepliesComeBackInOrder) {
  Arm();
  const std::string replies = scratch / "replies";
  const std::string env = scratch / "env";
  ASSERT_EQ(Start({{"publish", 5}, {"replies", replies}, {"env", env}}), "");
  ASSERT_TRUE(WaitForState("stopped"));  // exits 0 once it read its five replies
  const auto seen = publishes.Items();
  ASSERT_EQ(seen.size(), 5u);
  for (int seq = 1; seq <= 5; ++seq) {
    EXPECT_EQ(json::parse(seen[seq - 1].substr(seen[seq - 1].find(' ') + 1))["seq"], seq);
  }
  const auto lines = Lines(replies);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[4], R"({"type":"publish-ok","payload":{"seq":5}})");
  EXPECT_EQ(States(statuses.Items()), (std::vector<std::string>{"running:0", "stopped:0"}));

  // The child's environment: the run's own variables, the token present, no optional ones unset.
  const std::string text = ReadText(env);
  EXPECT_NE(text.find("QVN_PLUGIN_MODE=realtime\n"), std::string::npos);
  EXPECT_NE(text.find("QVN_RPC_CAP_TOKEN=ey"), std::string::npos);
  EXPECT_NE(text.find("QVN_RPC_PORT=45678\n"), std::string::npos);
  EXPECT_NE(text.find("QVN_PLUGIN_SETTINGS={"), std::string::npos);
  EXPECT_EQ(text.find("QVN_GT7_HOST="), std::string::npos);
}

// A script package of the older kind: no launch table and no platforms, so its ".py" entry runs
// under the system's python3.
TEST_F(PluginHostTest, ScriptRunsUnderTheSystemInterpreterOverStdio) {
  if (plugins::FindPythonInterpreter().empty()) GTEST_SKIP() << "no python3 on this machine";
  constexpr const char* kScriptPlugin = "com.test.script";
  const std::string folder = scratch / "script-pkg";
  fs::create_directories(folder);
  fs::copy_file(QV_TEST_PLUGIN_SCRIPT, folder + "/plugin.py");
  const json manifest = {{"id", kScriptPlugin},     {"name", "Script plugin"}, {"version", "1.0.0"},
                         {"minAppVersion", "0.0.0"}, {"runtime", "native"},     {"entry", "plugin.py"},
                         {"sandbox", "process"},     {"extensions", json::array()}, {"capabilities", {"decode"}}};
  std::string scriptSha;
  SignAndStage(folder, manifest, scriptSha);
  Arm("decode", kScriptPlugin, scriptSha);

  const std::string replies = scratch / "script-replies";
  const std::string env = scratch / "script-env";
  const json start = {{"pluginId", kScriptPlugin},
                      {"packageSha256", scriptSha},
                      {"capability", "decode"},
                      {"pluginSettings", {{"publish", 3}, {"replies", replies}, {"env", env}}},
                      {"launch", {{"legacySystemInterpreter", "python"}, {"script", "plugin.py"}}}};
  ASSERT_EQ(plugins::StartRealtimePlugin(start.dump()), "");
  ASSERT_TRUE(WaitForState("stopped"));  // exits 0 once it read its three replies
  const auto seen = publishes.Items();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[2], std::string(kScriptPlugin) + R"( {"frame":{"channels":[{"id":"speed","values":[3]}]},"seq":3})");
  EXPECT_EQ(Lines(replies), (std::vector<std::string>{R"({"type":"publish-ok","payload":{"seq":1}})",
                                                      R"({"type":"publish-ok","payload":{"seq":2}})",
                                                      R"({"type":"publish-ok","payload":{"seq":3}})"}));
  EXPECT_NE(ReadText(env).find("QVN_PLUGIN_MODE=decode\n"), std::string::npos);
}

TEST_F(PluginHostTest, StartRefusalsComeBeforeAnythingRuns) {
  json withExecutable = StartPayload(json::object());
  withExecutable["executable"] = "/bin/sh";
  EXPECT_EQ(plugins::StartRealtimePlugin(withExecutable.dump()), "path rejected");
  EXPECT_EQ(plugins::StartRealtimePlugin("{not json"), "plugin launch invalid: start payload is not valid JSON");
  json wrongType = StartPayload(json::object());
  wrongType["pluginId"] = 7;
  EXPECT_NE(plugins::StartRealtimePlugin(wrongType.dump()), "");
  json badConsole = StartPayload(json::object());
  badConsole["gt7Host"] = "224.0.0.1";
  EXPECT_EQ(plugins::StartRealtimePlugin(badConsole.dump()), "E_GT7_CONSOLE_IP");
  json badBms = StartPayload(json::object());
  badBms["bmsTelemetryUrl"] = "\\\\.\\Telemetry\\host\\chan";  // well formed, but not the BMS plugin
  EXPECT_EQ(plugins::StartRealtimePlugin(badBms.dump()), "E_BMS_TELEMETRY_URL");
  json otherPackage = StartPayload(json::object());
  otherPackage["packageSha256"] = std::string(64, 'f');
  EXPECT_EQ(plugins::StartRealtimePlugin(otherPackage.dump()), "package missing");
  // Not armed: the launch token check refuses it.
  EXPECT_NE(Start(json::object()), "");
  EXPECT_TRUE(statuses.Items().empty());
}

TEST_F(PluginHostTest, CrashingRealtimeRunRestartsThreeTimesThenCrashes) {
  Arm();
  const std::string marker = scratch / "runs";
  ASSERT_EQ(Start({{"crash", true}, {"marker", marker}}), "");
  ASSERT_TRUE(WaitForState("crashed"));
  EXPECT_EQ(States(statuses.Items()),
            (std::vector<std::string>{"running:0", "restarting:1", "running:1", "restarting:2", "running:2",
                                      "restarting:3", "running:3", "crashed:3"}));
  EXPECT_EQ(Lines(marker).size(), 4u);
  // The end of the run told the hub, and disarmed the token.
  EXPECT_FALSE(ended.Items().empty());
  EXPECT_EQ(registry->GetPluginLaunchCredentials(kPlugin).token, "");
}

TEST_F(PluginHostTest, DecodeRunIsNeverRestarted) {
  Arm("decode");
  const std::string marker = scratch / "runs";
  ASSERT_EQ(Start({{"crash", true}, {"marker", marker}}, "decode"), "");
  ASSERT_TRUE(WaitForState("crashed"));
  EXPECT_EQ(States(statuses.Items()), (std::vector<std::string>{"running:0", "crashed:0"}));
  EXPECT_EQ(Lines(marker).size(), 1u);
}

bool ProcessIsGone(pid_t pid) {
  // A killed process whose parent has not reaped it yet is a zombie: gone all the same.
  const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
  if (stat.empty()) return true;
  const size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

TEST_F(PluginHostTest, StopEndsTheRunAndItsGrandchild) {
  Arm();
  const std::string grandchild = scratch / "grandchild";
  ASSERT_EQ(Start({{"hang", true}, {"grandchild", grandchild}}), "");
  pid_t pid = 0;
  for (int i = 0; i < 400 && pid == 0; ++i) {
    std::istringstream(ReadText(grandchild)) >> pid;
    if (pid == 0) usleep(10000);
  }
  ASSERT_GT(pid, 0);
  EXPECT_FALSE(ProcessIsGone(pid));
  EXPECT_TRUE(plugins::IsPluginProcessAlive(kPlugin));

  EXPECT_EQ(plugins::StopRealtimePlugin(kPlugin), "");
  EXPECT_TRUE(ProcessIsGone(pid));
  EXPECT_FALSE(plugins::IsPluginProcessAlive(kPlugin));
  EXPECT_EQ(States(statuses.Items()), (std::vector<std::string>{"running:0", "stopped:0"}));
  // Stopping what does not run still answers, tells the hub, and publishes nothing.
  EXPECT_EQ(plugins::StopRealtimePlugin(kPlugin), "");
  EXPECT_EQ(statuses.Items().size(), 2u);
}

TEST_F(PluginHostTest, FailedRestartKeepsTheRunAndAValidOneReplacesIt) {
  Arm();
  ASSERT_EQ(Start({{"hang", true}}), "");
  json bad = StartPayload({{"hang", true}});
  bad["launch"]["args"] = {"--extra"};  // not the signed launch
  EXPECT_EQ(plugins::StartRealtimePlugin(bad.dump()), "signed launch mismatch");
  EXPECT_TRUE(plugins::IsPluginProcessAlive(kPlugin));
  ASSERT_EQ(Start({{"hang", true}}), "");
  EXPECT_EQ(States(statuses.Items()), (std::vector<std::string>{"running:0", "stopped:0", "running:0"}));
}

TEST_F(PluginHostTest, ChildThatNeverReadsStdinDoesNotStallTheHost) {
  Arm();
  // Far more replies than a pipe holds; the child reads none of them.
  ASSERT_EQ(Start({{"publish", 20000}, {"ignoreStdin", true}, {"hang", true}}), "");
  ASSERT_TRUE(publishes.WaitFor([](const std::vector<std::string>& items) { return items.size() == 20000; },
                                std::chrono::seconds(60)));
  // Every registry query still answers while the child's stdin is full.
  EXPECT_TRUE(plugins::IsPluginProcessAlive(kPlugin));
  EXPECT_NE(plugins::GetPluginGeneration(kPlugin), 0u);
  EXPECT_EQ(plugins::StopRealtimePlugin(kPlugin), "");
}

// A child that publishes a burst far larger than its stdin pipe holds and only then reads its
// replies gets every one of them, in order, and so ends on its own.
// A run that writes its lines and ends at once, without reading a reply, while the host is still
// handling them: every line is handled, as the run's own (the run still counts as alive for its
// hub), before the run is concluded, whether it stops or crashes and is restarted.
TEST_F(PluginHostTest, EveryLineOfARunThatEndsAtOnceIsHandledAsItsOwn) {
  constexpr int kLines = 40;
  hookDelay = std::chrono::milliseconds(2);  // slower than the supervisor's look at the child
  struct Case {
    const char* what;
    json settings;
    int runs;
    const char* last;
  } cases[] = {
      {"stops", {{"exit", 0}}, 1, "stopped"},
      {"crashes", {{"crash", true}}, 4, "crashed"},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    Arm();
    publishes.Clear();
    publishedAsEnded = 0;
    c.settings["publish"] = kLines;
    c.settings["ignoreStdin"] = true;
    ASSERT_EQ(Start(c.settings), "");
    ASSERT_TRUE(WaitForState(c.last));
    const auto seen = publishes.Items();
    ASSERT_EQ(seen.size(), static_cast<size_t>(kLines * c.runs));
    for (size_t i = 0; i < seen.size(); ++i) {
      EXPECT_EQ(json::parse(seen[i].substr(seen[i].find(' ') + 1))["seq"], static_cast<int>(i % kLines) + 1) << i;
    }
    EXPECT_EQ(publishedAsEnded, 0);
    plugins::StopAllPlugins();
    statuses.Clear();
  }
}

TEST_F(PluginHostTest, ChildThatReadsAfterABurstGetsEveryReply) {
  Arm();
  constexpr int kBurst = 6000;  // about 270 KB of replies against a 64 KiB pipe
  const std::string replies = scratch / "burst-replies";
  testing::internal::CaptureStdout();
  ASSERT_EQ(Start({{"publish", kBurst}, {"replies", replies}}), "");
  const bool stopped = WaitForState("stopped");
  const std::string logged = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(stopped) << "the child is still waiting for replies";
  const auto lines = Lines(replies);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kBurst));
  for (int seq = 1; seq <= kBurst; seq += 997) {
    EXPECT_EQ(lines[seq - 1], R"({"type":"publish-ok","payload":{"seq":)" + std::to_string(seq) + "}}");
  }
  EXPECT_EQ(logged.find("reply dropped"), std::string::npos);
}

TEST(PluginStderr, LoggedAsOneLineAndKeptWholeInTheTail) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
  platform::UniqueFd writeEnd(fds[1]);
  plugins::PluginProcess record;
  record.pluginId = "noisy";
  record.stderrRead.Reset(fds[0]);
  const std::string text("oops\n[main] WsServer listening on 127.0.0.1:1\n\0after\r", 53);
  ASSERT_EQ(write(writeEnd.get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
  testing::internal::CaptureStdout();
  plugins::PumpPluginStderr(record);
  const std::string logged = testing::internal::GetCapturedStdout();
  EXPECT_EQ(logged,
            "[plugin] stderr plugin=noisy pid=0 oops\\x0a[main] WsServer listening on 127.0.0.1:1\\x0a\\x00after"
            "\\x0d\n");
  EXPECT_EQ(record.stderrTail, text);
}

TEST(PluginStderr, AFloodIsLoggedUpToTheBudgetThenCounted) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
  platform::UniqueFd writeEnd(fds[1]);
  ASSERT_GE(fcntl(fds[1], F_SETPIPE_SZ, 256 * 1024), 256 * 1024);
  plugins::PluginProcess record;
  record.pluginId = "noisy";
  record.stderrRead.Reset(fds[0]);
  std::string flood(200000, 'y');
  for (size_t i = 0; i < flood.size(); i += 100) flood[i] = '\n';
  ASSERT_EQ(write(writeEnd.get(), flood.data(), flood.size()), static_cast<ssize_t>(flood.size()));
  writeEnd.Reset();
  testing::internal::CaptureStdout();
  for (int i = 0; i < 4; ++i) plugins::PumpPluginStderr(record);
  const std::string pumped = testing::internal::GetCapturedStdout();
  testing::internal::CaptureStdout();
  plugins::FinishPluginStderr(record);
  const std::string finished = testing::internal::GetCapturedStdout();

  // What the lines show (prefixes aside) is the budget, escapes counted as written.
  size_t shown = 0;
  size_t shownRaw = 0;
  const std::string prefix = "[plugin] stderr plugin=noisy pid=0 ";
  for (size_t at = 0, end; (end = pumped.find('\n', at)) != std::string::npos; at = end + 1) {
    ASSERT_EQ(pumped.compare(at, prefix.size(), prefix), 0) << pumped.substr(at, 80);
    const std::string line = pumped.substr(at + prefix.size(), end - at - prefix.size());
    shown += line.size();
    for (size_t i = 0; i < line.size(); ++i, ++shownRaw) {
      if (line.compare(i, 4, "\\x0a") == 0) i += 3;
    }
  }
  EXPECT_LE(shown, plugins::kStderrLogBytesPerWindow);
  EXPECT_GT(shown, plugins::kStderrLogBytesPerWindow - 4);
  EXPECT_EQ(finished, "[plugin] stderr plugin=noisy pid=0: " + std::to_string(flood.size() - shownRaw) +
                          " bytes left out of the log (at most 65536 logged per 10 s)\n");
  // Error texts quote the tail: it holds the last bytes whatever the log left out.
  EXPECT_EQ(record.stderrTail, flood.substr(flood.size() - plugins::kPluginStderrTailBytes));
  EXPECT_FALSE(record.stderrRead);
}

TEST(PluginStderr, BudgetWindows) {
  using Clock = plugins::StderrLogBudget::Clock;
  const Clock::time_point t0{};
  const auto s = [&](int seconds) { return t0 + std::chrono::seconds(seconds); };
  plugins::StderrLogBudget budget;
  EXPECT_EQ(budget.TakeLeftOut(s(0), true), 0u);  // nothing left out: nothing to report
  EXPECT_EQ(budget.Room(s(0)), plugins::kStderrLogBytesPerWindow);
  budget.Logged(plugins::kStderrLogBytesPerWindow - 10);
  EXPECT_EQ(budget.Room(s(5)), 10u);
  budget.Logged(10);
  budget.LeftOut(700);
  EXPECT_EQ(budget.Room(s(9)), 0u);
  EXPECT_EQ(budget.TakeLeftOut(s(9), false), 0u);  // its window is not over yet
  EXPECT_EQ(budget.TakeLeftOut(s(10), false), 700u);
  EXPECT_EQ(budget.TakeLeftOut(s(11), false), 0u);  // reported once
  // A new window starts with the first call after the old one ended, with all its room.
  EXPECT_EQ(budget.Room(s(12)), plugins::kStderrLogBytesPerWindow);
  budget.LeftOut(5);
  EXPECT_EQ(budget.TakeLeftOut(s(13), false), 0u);
  EXPECT_EQ(budget.TakeLeftOut(s(13), true), 5u);  // the run's end reports at once
}

TEST(PluginStdoutLines, OnlyPublishObjectsAreAnswered) {
  {
    std::lock_guard<std::mutex> lock(plugins::PluginRegistryMutex());
    plugins::PluginProcess& record = plugins::PluginRegistry()["lines"];
    record.pluginId = "lines";
  }
  std::vector<json> seen;
  plugins::SetStdioPublishHook([&](const std::string&, const std::string&, const json& payload) {
    seen.push_back(payload);
    return plugins::StdioReply{payload.value("empty", false) ? "" : R"({"ok":1})"};
  });
  plugins::PluginReplyOutbox outbox;
  for (const char* line : {"42", R"({"type":7})", R"({"type":"other"})", "not json", R"({"type":"rt.publish"})",
                           "{\"type\":\"rt.publish\",\"payload\":[1]}\r", R"({"type":"rt.publish","payload":{"empty":true}})"}) {
    plugins::HandlePluginStdoutLine("lines", line, outbox);
  }
  plugins::HandlePluginStdoutLine("absent", R"({"type":"rt.publish"})", outbox);
  plugins::SetStdioPublishHook(nullptr);
  plugins::HandlePluginStdoutLine("lines", R"({"type":"rt.publish"})", outbox);
  {
    std::lock_guard<std::mutex> lock(plugins::PluginRegistryMutex());
    plugins::PluginRegistry().erase("lines");
  }
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], json::object());  // no payload: an empty object
  EXPECT_EQ(seen[1], json::object());  // a payload that is not an object: the same
  EXPECT_EQ(outbox.bytes,
            "{\"ok\":1}\n{\"ok\":1}\n"
            "{\"type\":\"error\",\"code\":\"E_SCOPE_DENIED\"}\n"   // the hook gave no reply
            "{\"type\":\"error\",\"code\":\"E_SCOPE_DENIED\"}\n");  // no hook installed
  EXPECT_EQ(outbox.dropped, 0u);
}

// Replies go out as far as the child's stdin takes them and the rest waits, in order; a full
// backlog refuses new replies; a closed stdin is reported.
TEST(PluginStdoutLines, RepliesWaitForTheChildsStdinUpToTheBacklog) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
  platform::UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
  const int capacity = fcntl(writeEnd.get(), F_GETPIPE_SZ);
  ASSERT_GT(capacity, 0);
  plugins::PluginReplyOutbox outbox;
  outbox.bytes = std::string(static_cast<size_t>(capacity) + 100, 'r');
  EXPECT_TRUE(plugins::WritePluginReplies(writeEnd.get(), outbox));
  EXPECT_EQ(outbox.bytes.size(), 100u);  // the pipe is full: the rest waits
  std::string drained(static_cast<size_t>(capacity), '\0');
  ASSERT_EQ(read(readEnd.get(), drained.data(), drained.size()), capacity);
  EXPECT_TRUE(plugins::WritePluginReplies(writeEnd.get(), outbox));
  EXPECT_TRUE(outbox.bytes.empty());

  {
    std::lock_guard<std::mutex> lock(plugins::PluginRegistryMutex());
    plugins::PluginRegistry()["full"].pluginId = "full";
  }
  plugins::SetStdioPublishHook([](const std::string&, const std::string&, const json&) {
    return plugins::StdioReply{R"({"ok":1})"};
  });
  outbox.bytes = std::string(plugins::kPluginReplyBacklogBytes - 4, 'r');
  testing::internal::CaptureStdout();
  plugins::HandlePluginStdoutLine("full", R"({"type":"rt.publish"})", outbox);
  plugins::HandlePluginStdoutLine("full", R"({"type":"rt.publish"})", outbox);
  const std::string logged = testing::internal::GetCapturedStdout();
  plugins::SetStdioPublishHook(nullptr);
  {
    std::lock_guard<std::mutex> lock(plugins::PluginRegistryMutex());
    plugins::PluginRegistry().erase("full");
  }
  EXPECT_EQ(outbox.bytes.size(), plugins::kPluginReplyBacklogBytes - 4);
  EXPECT_EQ(outbox.dropped, 2u);
  EXPECT_EQ(logged, "[plugin] reply dropped plugin=full bytes=9 dropped=1\n");  // once for the run of drops

  readEnd.Reset();
  sigset_t pipeSignal, old;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &old);
  outbox.bytes = "{\"ok\":1}\n";
  EXPECT_FALSE(plugins::WritePluginReplies(writeEnd.get(), outbox));
  int pending = 0;
  const timespec none{0, 0};
  while (sigtimedwait(&pipeSignal, nullptr, &none) == SIGPIPE) ++pending;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  EXPECT_EQ(pending, 1);
}

}  // namespace
