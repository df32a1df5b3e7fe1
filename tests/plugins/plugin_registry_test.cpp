#include "plugins/plugin_registry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/token_test_support.h"

using nlohmann::json;
namespace proc = platform::process;

namespace {

// The registry is process-wide: each test starts and ends with an empty table and no hooks.
class PluginRegistryTest : public TokenTest {
 protected:
  void SetUp() override {
    TokenTest::SetUp();
    Clear();
    plugins::SetPluginStatusSink([this](const std::string& text) { events.push_back(text); });
  }
  void TearDown() override { Clear(); }

  static void Clear() {
    {
      std::lock_guard<std::mutex> lock(plugins::PluginRegistryMutex());
      plugins::PluginRegistry().clear();
    }
    plugins::SetPluginStatusSink(nullptr);
    plugins::SetKickPluginSessionsHook(nullptr);
    plugins::SetStdioPublishHook(nullptr);
    plugins::SetStdioGenerationHook(nullptr);
  }

  // A record as the launch would leave it; no threads (the tests own no supervisor).
  static void Register(const std::string& id, uint32_t pid, std::unique_ptr<proc::Child> child = nullptr,
                       bool stopped = false) {
    plugins::PluginProcess run;
    run.pluginId = id;
    run.pid = pid;
    run.restarts = 2;
    run.generation = plugins::TakePluginGeneration();
    run.process = std::move(child);
    run.stopped = stopped;
    std::lock_guard<std::mutex> lock(plugins::PluginRegistryMutex());
    plugins::PluginRegistry()[id] = std::move(run);
  }

  template <typename F>
  static auto WithRecord(const std::string& id, F f) {
    std::lock_guard<std::mutex> lock(plugins::PluginRegistryMutex());
    return f(plugins::PluginRegistry().at(id));
  }

  static std::unique_ptr<proc::Child> Sleeper() {
    proc::SpawnOptions options;
    options.argv = {"/bin/sleep", "30"};
    proc::SpawnResult r = proc::Spawn(options);
    EXPECT_TRUE(r.child) << r.what << " " << r.error;
    return std::move(r.child);
  }

  std::vector<std::string> events;
};

}  // namespace

TEST_F(PluginRegistryTest, StatusEventKeys) {
  struct Case {
    std::string state;
    int32_t pid, restarts;
    bool needsOnline;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"running", 4242, 0, false,
       R"({"pid":4242,"pluginId":"gt7","provenance":"verified","restarts":0,"state":"running","type":"rt.plugin"})"},
      {"crashed", -1, 3, false,
       R"({"pid":-1,"pluginId":"gt7","provenance":"verified","restarts":3,"state":"crashed","type":"rt.plugin"})"},
      {"stopped", 0, 1, true,
       R"({"detail":"needs to be online to continue","needsOnline":true,"pid":0,"pluginId":"gt7",)"
       R"("provenance":"verified","restarts":1,"state":"stopped","type":"rt.plugin"})"},
  };
  for (const Case& c : cases) {
    events.clear();
    plugins::PublishPluginStatus("gt7", c.state, c.pid, c.restarts, c.needsOnline);
    EXPECT_EQ(events, std::vector<std::string>{c.text}) << c.state;
  }
  // Without a sink the event is dropped; nothing else happens.
  plugins::SetPluginStatusSink(nullptr);
  plugins::PublishPluginStatus("gt7", "running", 1, 0, false);
}

TEST_F(PluginRegistryTest, StoppedRecordsCountAsAbsent) {
  auto child = Sleeper();
  ASSERT_TRUE(child);
  proc::Child* raw = child.get();
  Register("live", 100, std::move(child));
  Register("gone", 101, Sleeper(), /*stopped=*/true);
  Register("noproc", 102);

  EXPECT_TRUE(plugins::IsPluginProcessAlive("live"));
  EXPECT_NE(plugins::GetPluginGeneration("live"), 0u);
  EXPECT_FALSE(plugins::IsPluginProcessAlive("gone"));
  EXPECT_EQ(plugins::GetPluginGeneration("gone"), 0u);
  EXPECT_FALSE(plugins::MarkPluginNeedsOnline("gone"));
  EXPECT_FALSE(plugins::IsPluginProcessAlive("noproc"));
  EXPECT_FALSE(plugins::IsPluginProcessAlive("unknown"));
  EXPECT_EQ(plugins::GetPluginGeneration("unknown"), 0u);
  EXPECT_FALSE(plugins::MarkPluginNeedsOnline("unknown"));
  EXPECT_TRUE(events.empty());

  // An ended child is no longer alive, though its record is still there.
  raw->End();
  ASSERT_TRUE(raw->Wait(std::chrono::seconds(10)));
  EXPECT_FALSE(plugins::IsPluginProcessAlive("live"));
  EXPECT_NE(plugins::GetPluginGeneration("live"), 0u);
}

TEST_F(PluginRegistryTest, GenerationsGrowAcrossPlugins) {
  Register("a", 1);
  Register("b", 2);
  Register("a", 3);  // a restart of a takes a new value
  const uint64_t a = plugins::GetPluginGeneration("a");
  const uint64_t b = plugins::GetPluginGeneration("b");
  EXPECT_GT(a, b);
  EXPECT_GT(b, 0u);
  const uint64_t taken = plugins::TakePluginGeneration();
  EXPECT_GT(taken, a);
  EXPECT_EQ(plugins::PluginGenerationCounter().load(), taken + 1);
}

TEST_F(PluginRegistryTest, NeedsOnlineIsPublishedOncePerMark) {
  Register("p1", 321);
  const std::string marked =
      R"({"detail":"needs to be online to continue","needsOnline":true,"pid":321,"pluginId":"p1",)"
      R"("provenance":"verified","restarts":2,"state":"running","type":"rt.plugin"})";
  EXPECT_TRUE(plugins::MarkPluginNeedsOnline("p1"));
  EXPECT_TRUE(plugins::MarkPluginNeedsOnline("p1"));
  EXPECT_EQ(events, std::vector<std::string>{marked});

  plugins::SetPluginTokenStamp("p1", 77);
  EXPECT_EQ(WithRecord("p1", [](plugins::PluginProcess& r) { return r.tokenStamp; }), 77);
  EXPECT_TRUE(plugins::MarkPluginNeedsOnline("p1"));
  EXPECT_EQ(events.size(), 2u);

  // Arming stores the armed token and clears the mark too.
  EnableTokens();
  const std::string token = Mint(CapPayload());
  ASSERT_EQ(registry->ArmPluginToken("p1", kPkg, token, kNow), "");
  plugins::ArmPluginRpc(*registry, "p1", 99);
  WithRecord("p1", [&](plugins::PluginProcess& r) {
    EXPECT_EQ(r.token, token);
    EXPECT_EQ(r.tokenStamp, 99);
    EXPECT_FALSE(r.needsOnline);
    return 0;
  });
  EXPECT_TRUE(plugins::MarkPluginNeedsOnline("p1"));
  EXPECT_EQ(events.size(), 3u);

  // A plugin that is not running: nothing is made here.
  plugins::ArmPluginRpc(*registry, "other", 5);
  plugins::SetPluginTokenStamp("other", 5);
  std::lock_guard<std::mutex> lock(plugins::PluginRegistryMutex());
  EXPECT_EQ(plugins::PluginRegistry().count("other"), 0u);
}

TEST_F(PluginRegistryTest, HooksRunOutsideTheRegistryMutex) {
  Register("p1", 5);
  // Each hook asks the registry again: were the (non-recursive) mutex held, this would hang.
  std::vector<std::string> calls;
  plugins::SetPluginStatusSink([&](const std::string&) { calls.push_back("status " + std::to_string(plugins::GetPluginGeneration("p1") != 0)); });
  plugins::SetKickPluginSessionsHook([&](const std::string& id) { calls.push_back("kick " + id + " " + std::to_string(plugins::IsPluginProcessAlive(id))); });
  plugins::SetStdioGenerationHook([&](const std::string& id, uint64_t g) {
    calls.push_back("generation " + id + " " + std::to_string(g));
    plugins::SetPluginTokenStamp(id, 1);
  });
  plugins::SetStdioPublishHook([&](const std::string& id, const std::string& pkg, const json& payload) {
    return plugins::StdioReply{id + "|" + pkg + "|" + payload.dump() + "|" + std::to_string(plugins::GetPluginGeneration(id) != 0)};
  });
  EXPECT_TRUE(plugins::MarkPluginNeedsOnline("p1"));
  plugins::InvokeKickPluginSessionsHook("p1");
  plugins::InvokeStdioGenerationHook("p1", 12);
  EXPECT_EQ(plugins::InvokeStdioPublishHook("p1", "h", {{"seq", 1}}).line, R"(p1|h|{"seq":1}|1)");
  EXPECT_EQ(calls, (std::vector<std::string>{"status 1", "kick p1 0", "generation p1 12"}));

  // Empty slots: the calls do nothing, and the stdio bridge gets no reply line.
  Clear();
  plugins::InvokeKickPluginSessionsHook("p1");
  plugins::InvokeStdioGenerationHook("p1", 1);
  EXPECT_EQ(plugins::InvokeStdioPublishHook("p1", "h", json::object()).line, "");
}
