#include "app/subsystem_hooks.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "plugins/plugin_registry.h"
#include "realtime/realtime_hub.h"

using nlohmann::json;

// The wiring start-up makes between the bridge, the realtime hub and the plugin host, in the
// linked host: the stdio slots are filled at start-up, plugin sessions publish into the hub, and
// after the page sinks are detached a late publish reaches nothing.
TEST(SubsystemHooks, HubWiringFromStartToShutdown) {
  std::mutex mutex;
  std::vector<std::string> page;
  StartRealtimeHub([&](const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    page.push_back(text);
  });

  // The stdio path answers through the hub's checks: no grant is armed for this plugin.
  EXPECT_EQ(plugins::InvokeStdioPublishHook("wired", std::string(64, 'a'), {{"seq", 1}}).line,
            R"({"code":"E_TOKEN_AUDIENCE","type":"error"})");

  CapabilityClaims claims;
  claims.pluginId = "wired";
  claims.pkg = std::string(64, 'a');
  claims.scopes = {"rt.publish:wired"};
  const json frame = {{"seq", 1}, {"frame", {{"channels", json::array()}}}};
  PluginSessionHooks hooks = MakePluginSessionHooks();
  EXPECT_FALSE(hooks.isPluginProcessAlive("wired"));
  EXPECT_EQ(hooks.getPluginGeneration("wired"), 0u);
  PublishResult r = hooks.publish(claims, false, frame, 0);
  EXPECT_EQ(r.code, "");
  realtime::RealtimeHub::Instance().FlushPublisher("wired");
  {
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(page.size(), 1u);
    EXPECT_EQ(json::parse(page[0])["frames"][0]["source"], "wired@" + std::string(64, 'a'));
  }

  DetachPageSinks();
  EXPECT_EQ(hooks.publish(claims, false, json{{"seq", 2}, {"frame", frame["frame"]}}, 0).code, "");
  realtime::RealtimeHub::Instance().FlushPublisher("wired");
  StopRealtimeHub();
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(page.size(), 1u);
}
