#include <gtest/gtest.h>

#include <string>

#include "bridge/rpc_routes.h"
#include "remote/remote_control.h"
#include "remote/remote_listener.h"
#include "remote_test_support.h"

using nlohmann::json;

// A state with viewers that have no socket: closing one only marks it.
class RemoteControlTest : public ::testing::Test {
 protected:
  FakeClock clock;
  std::unique_ptr<remote::State> state = MakeTestState(clock);

  remote::ViewerPtr AddViewer(const std::string& connId, const std::string& shareId = "",
                              const std::string& subject = "user:ann") {
    auto v = std::make_shared<remote::Viewer>();
    v->connId = connId;
    v->shareId = shareId;
    v->subject = subject;
    v->name = "n-" + connId;
    v->ip = "127.0.0.1";
    std::lock_guard<std::mutex> lock(state->mutex);
    state->viewers.push_back(v);
    return v;
  }
  static bool Closed(const remote::ViewerPtr& v) {
    std::lock_guard<std::mutex> lock(v->mutex);
    return v->closed;
  }
  json Share(const std::string& id, json sources) {
    return remote::HandleShareSources(*state, {{"shareId", id}, {"sources", std::move(sources)}});
  }
};

TEST_F(RemoteControlTest, ShareDefinitionsAreCheckedAndLocked) {
  const json ok = {{"ok", true}};
  auto err = [](const char* code) { return json{{"ok", false}, {"error", code}}; };
  EXPECT_EQ(Share("s1", {"b", "a@x", "c#1.d"}), ok);
  EXPECT_EQ(Share("s1", {"c#1.d", "a@x", "b", "b"}), ok);  // same set in another order, with a duplicate
  EXPECT_EQ(Share("s1", {"a@x", "b", "c#1.d", "e"}), err("E_SHARE_SOURCES_LOCKED"));
  json thirtyThree = json::array();
  for (int i = 0; i < 33; ++i) thirtyThree.push_back("same");
  struct Case {
    json payload;
  } invalid[] = {
      {json::array()},
      {{{"shareId", "s2"}}},
      {{{"shareId", std::string(65, 'a')}, {"sources", {"a"}}}},
      {{{"shareId", "s.2"}, {"sources", {"a"}}}},
      {{{"shareId", ""}, {"sources", {"a"}}}},
      {{{"shareId", "s2"}, {"sources", json::array()}}},
      {{{"shareId", "s2"}, {"sources", thirtyThree}}},
      {{{"shareId", "s2"}, {"sources", {"a", 3}}}},
      {{{"shareId", "s2"}, {"sources", {"a b"}}}},
      {{{"shareId", "s2"}, {"sources", {std::string(257, 'a')}}}},
      {{{"shareId", 7}, {"sources", {"a"}}}},
  };
  for (const Case& c : invalid) {
    EXPECT_EQ(remote::HandleShareSources(*state, c.payload), err("E_SHARE_SOURCES_INVALID")) << c.payload.dump();
  }
  std::lock_guard<std::recursive_mutex> cache(state->cacheMutex);
  ASSERT_EQ(state->shares.size(), 1u);
  EXPECT_EQ(state->shares["s1"].size(), 3u);
  EXPECT_EQ(state->shares["s1"][0].requestedSource, "a@x");  // byte order
}

TEST_F(RemoteControlTest, ShareLimit) {
  for (size_t i = 0; i < remote::kMaxShares; ++i) ASSERT_EQ(Share("s" + std::to_string(i), {"a"})["ok"], true);
  EXPECT_EQ(Share("one-more", {"a"})["error"], "E_SHARE_LIMIT");
  EXPECT_EQ(Share("s0", {"a"})["ok"], true);  // redefining an existing one is still fine
}

TEST_F(RemoteControlTest, RevokingAShareClosesItsViewersAndForbidsItsRedefinition) {
  ASSERT_EQ(Share("s1", {"a"})["ok"], true);
  ASSERT_EQ(Share("s2", {"a"})["ok"], true);
  auto inS1 = AddViewer("rv1", "s1"), inS2 = AddViewer("rv2", "s2"), plain = AddViewer("rv3");
  EXPECT_EQ(remote::HandleRevoke(*state, {{"shareIds", {"s1", "", 5}}, {"jtis", {"j1", 2, ""}}}),
            (json{{"ok", true}, {"closed", 1}}));
  EXPECT_TRUE(Closed(inS1));
  EXPECT_FALSE(Closed(inS2));
  EXPECT_FALSE(Closed(plain));
  EXPECT_EQ(Share("s1", {"a"})["error"], "E_TOKEN_REVOKED");
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    EXPECT_EQ(state->revokedJtis, (std::vector<std::string>{"j1", ""}));
    EXPECT_EQ(state->revokedShareIds, (std::vector<std::string>{"s1"}));
  }
  std::lock_guard<std::recursive_mutex> cache(state->cacheMutex);
  EXPECT_EQ(state->shares.count("s1"), 0u);
  EXPECT_EQ(state->shares.count("s2"), 1u);
}

TEST_F(RemoteControlTest, RevokeAllClosesEveryoneAndNeverMovesTheCutBack) {
  ASSERT_EQ(Share("s1", {"a"})["ok"], true);
  auto a = AddViewer("rv1", "s1"), b = AddViewer("rv2");
  EXPECT_EQ(remote::HandleRevoke(*state, {{"all", true}, {"revokedAtMs", 0}})["closed"], 2);
  EXPECT_TRUE(Closed(a) && Closed(b));
  int64_t cut;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    cut = state->revokedBeforeSec;
  }
  EXPECT_EQ(cut, remote::ServerNowSec(*state));
  remote::HandleRevoke(*state, {{"all", true}, {"revokedAtMs", 1000}});
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    EXPECT_EQ(state->revokedBeforeSec, cut);
  }
  std::lock_guard<std::recursive_mutex> cache(state->cacheMutex);
  EXPECT_TRUE(state->shares.empty());
}

TEST_F(RemoteControlTest, KickClosesOnlyThatViewer) {
  auto a = AddViewer("rv1"), b = AddViewer("rv2");
  remote::HandleKick(*state, "rv9");
  EXPECT_FALSE(Closed(a) || Closed(b));
  remote::HandleKick(*state, "rv2");
  EXPECT_FALSE(Closed(a));
  EXPECT_TRUE(Closed(b));
}

TEST_F(RemoteControlTest, StatusDescribesListenerAndViewers) {
  AddViewer("rv1", "s1", "user:");
  auto b = AddViewer("rv2", "", "device:x");
  {
    std::lock_guard<std::mutex> lock(b->mutex);
    b->windowStarted = true;
    b->sentInWindow = 4;
    b->bytesSent = 99;
  }
  json status = remote::HandleStatus(*state);
  EXPECT_EQ(status["enabled"], false);
  EXPECT_TRUE(status["port"].is_null());
  EXPECT_FALSE(status.contains("error"));
  ASSERT_EQ(status["viewers"].size(), 2u);
  EXPECT_EQ(status["viewers"][0]["account"], "");
  EXPECT_FALSE(status["viewers"][0].contains("hz"));
  EXPECT_EQ(status["viewers"][1]["account"], "device:x");
  EXPECT_EQ(status["viewers"][1]["hz"], 4);
  EXPECT_EQ(status["viewers"][1]["bytes"], 99);

  state->port = 0;
  ASSERT_EQ(remote::StartListener(*state), "");
  status = remote::HandleStatus(*state);
  EXPECT_EQ(status["enabled"], true);
  EXPECT_TRUE(status["port"].is_number_integer());
  EXPECT_EQ(status["addresses"], (json{{{"ip", "127.0.0.1"}, {"kind", "lan"}}}));
  remote::StopListener(*state);
}

// Every row answers a request whose members have the wrong types with an error, never a crash.
TEST_F(RemoteControlTest, RowsRefuseWrongMemberTypes) {
  RpcRouteTable routes;
  remote::RegisterRemoteRows(routes, *state);
  std::vector<std::string> events;
  state->eventSink = [&](const std::string& text) { events.push_back(text); };
  struct Case {
    const char* type;
    json payload;
  } cases[] = {
      {"remote.setEnabled", {{"enabled", "yes"}}},
      {"remote.setEnabled", {{"port", "80"}}},
      {"remote.revoke", {{"all", 1}}},
      {"remote.revoke", {{"revokedAtMs", "0"}}},
      {"remote.revoke", json::array()},
      {"remote.kick", {{"viewerId", 3}}},
      {"remote.shareSources", {{"shareId", 3}}},
      {"remote.shareSources", "text"},
      {"remote.setEnabled", json::array({true})},
      {"remote.kick", "rv1"},
      // The outgoing client's rows: a wrong member never starts, renews or stops a connection.
      {"remote.connect", {{"connectionId", 5}, {"token", "t"}}},
      {"remote.connect", {{"connectionId", "c"}, {"token", json::array()}}},
      {"remote.connect", {{"connectionId", "c"}, {"token", "t"}, {"maxHz", "20"}}},
      {"remote.connect", {{"connectionId", "c"}, {"token", "t"}, {"maxHz", true}}},
      {"remote.connect", json::array({"c", "t"})},
      {"remote.renew", {{"connectionId", "c"}, {"token", 1}}},
      {"remote.renew", {{"connectionId", false}, {"token", "t"}}},
      {"remote.renew", 7},
      {"remote.disconnect", {{"connectionId", json::object()}}},
      {"remote.disconnect", "c"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> replies;
    RpcOutletPtr outlet = std::make_shared<RpcOutlet>(RpcOutlet::Target{
        [&](const std::string& text) {
          replies.push_back(text);
          return true;
        },
        nullptr, [] { return uint64_t{1}; }});
    json id = 1;
    std::string type = c.type;
    routes.Find(type)->operator()(RpcRequest{id, type, c.payload, outlet});
    ASSERT_EQ(replies.size(), 1u) << c.type;
    // The type error itself, not a later refusal such as an unusable address.
    const std::string expected = type == "remote.shareSources" ? "E_SHARE_SOURCES_INVALID" : "invalid parameter";
    const json reply = json::parse(replies[0]);
    ASSERT_TRUE(reply.contains("error")) << c.type << " " << c.payload.dump();
    EXPECT_EQ(reply["error"].get<std::string>().rfind(expected, 0), 0u) << reply.dump();
  }
  EXPECT_TRUE(events.empty());
  std::lock_guard<std::mutex> lock(state->mutex);
  EXPECT_TRUE(state->outConns.empty());
  EXPECT_FALSE(state->enabled);
}
