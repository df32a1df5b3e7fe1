#include "bridge/plugin_sessions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "support/token_test_support.h"

using nlohmann::json;

namespace {

// A connection as the listener would hold it: sends are recorded until it is shut down.
class FakePeer : public WsPeer {
 public:
  bool SendText(const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (shutdown) return false;
    texts.push_back(text);
    return true;
  }
  void SendClose(const std::string& reason) override {
    std::lock_guard<std::mutex> lock(mutex);
    closes.push_back(reason);
  }
  void Shutdown() override {
    std::lock_guard<std::mutex> lock(mutex);
    shutdown = true;
  }
  std::string Last() {
    std::lock_guard<std::mutex> lock(mutex);
    return texts.empty() ? "" : texts.back();
  }
  std::string Close() {
    std::lock_guard<std::mutex> lock(mutex);
    return closes.empty() ? "" : closes.back();
  }
  size_t TextCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return texts.size();
  }

  std::mutex mutex;
  std::vector<std::string> texts;
  std::vector<std::string> closes;
  std::atomic<bool> shutdown{false};
};

struct Connection {
  std::shared_ptr<FakePeer> peer;
  std::unique_ptr<PluginConnectionHandler> handler;
};

std::string HelloText(const std::string& token, const std::string& role = "source") {
  return json{{"type", "hello"}, {"payload", {{"role", role}, {"token", token}}}}.dump();
}

struct StatusReport {
  std::string pluginId;
  std::string state;
  bool needsOnline = false;
};

}  // namespace

class PluginSessionsTest : public TokenTest {
 protected:
  void SetUp() override {
    TokenTest::SetUp();
    EnableTokens();
    // Plugins whose package the page has armed; the tokens under test are not the armed ones.
    for (const char* id : {"p1", "p2"}) ASSERT_EQ(registry->ArmPluginToken(id, kPkg, Mint(CapPayload(id)), kNow), "");
    PluginSessionHooks hooks;
    hooks.getPluginGeneration = [this](const std::string&) { return generation.load(); };
    hooks.publishPluginStatus = [this](const std::string& id, const std::string& state, int64_t, int64_t, bool online) {
      std::lock_guard<std::mutex> lock(reportMutex);
      reports.push_back({id, state, online});
    };
    hooks.setPluginTokenStamp = [this](const std::string& id, int64_t now) {
      std::lock_guard<std::mutex> lock(reportMutex);
      stamps.emplace_back(id, now);
    };
    if (hub) hooks.publish = hub;
    // Token time follows the same wall clock as the registry.
    sessions = std::make_shared<PluginSessions>(
        *registry, hooks, [this] { return wallMs.load() / 1000; }, [this] { return steadyNow; });
  }

  Connection Connect() {
    Connection c;
    c.peer = std::make_shared<FakePeer>();
    c.handler = sessions->Factory()(c.peer);
    return c;
  }

  // A connection whose hello with token was accepted.
  Connection Helloed(const std::string& token, const std::string& role = "source") {
    Connection c = Connect();
    EXPECT_TRUE(c.handler->OnText(HelloText(token, role))) << c.peer->Close();
    return c;
  }

  void Advance(int64_t seconds) { wallMs += seconds * 1000; }

  std::chrono::steady_clock::time_point steadyNow{std::chrono::hours(1)};

  std::atomic<uint64_t> generation{0};
  std::function<PublishResult(const CapabilityClaims&, bool, const json&, uint64_t)> hub;
  std::mutex reportMutex;
  std::vector<StatusReport> reports;
  std::vector<std::pair<std::string, int64_t>> stamps;
  std::shared_ptr<PluginSessions> sessions;
};

TEST_F(PluginSessionsTest, HelloOkListsScopesWithSortedKeys) {
  Connection c = Connect();
  EXPECT_FALSE(c.handler->HelloDone());
  const std::string token = Mint(With(CapPayload(), {{"scope", {"rt.publish:p1", "rt.publish:p1/speed"}}}));
  ASSERT_TRUE(c.handler->OnText(HelloText(token)));
  EXPECT_EQ(c.peer->Last(),
            R"({"payload":{"protocol":2,"role":"source","scopes":["rt.publish:p1","rt.publish:p1/speed"]},)"
            R"("type":"hello-ok"})");
  EXPECT_TRUE(c.handler->HelloDone());
  EXPECT_EQ(sessions->SessionCount(), 1u);
  c.handler->OnEnded();
  EXPECT_EQ(sessions->SessionCount(), 0u);
}

TEST_F(PluginSessionsTest, RefusedFirstMessagesCloseWithTheirCode) {
  const std::string token = Mint(CapPayload());
  struct Case {
    const char* name;
    std::string text;
    std::string close;
  };
  const std::vector<Case> cases = {
      {"not json", "{oops", kTokenSignature},
      {"array", "[1,2]", kTokenSignature},
      {"number", "42", kTokenSignature},
      {"type not a string", R"({"type":7})", kTokenSignature},
      {"message before hello", json{{"type", "rt.publish"}, {"payload", json::object()}}.dump(), kTokenSignature},
      {"role viewer", HelloText(token, "viewer"), kRoleDenied},
      {"no role", json{{"type", "hello"}, {"payload", {{"token", token}}}}.dump(), kRoleDenied},
      {"role not a string", json{{"type", "hello"}, {"payload", {{"role", 1}, {"token", token}}}}.dump(),
       kTokenSignature},
      {"token not a string", json{{"type", "hello"}, {"payload", {{"role", "source"}, {"token", {1}}}}}.dump(),
       kTokenSignature},
      {"payload not an object", R"({"type":"hello","payload":"x"})", kRoleDenied},
      {"wrong role for the cap", HelloText(token, "plugin"), kRoleDenied},
      {"bad token", HelloText("a.b.c"), kTokenSignature},
  };
  for (const auto& tc : cases) {
    Connection c = Connect();
    EXPECT_FALSE(c.handler->OnText(tc.text)) << tc.name;
    EXPECT_EQ(c.peer->Close(), tc.close) << tc.name;
    EXPECT_EQ(c.peer->TextCount(), 0u) << tc.name;
    c.handler->OnEnded();
  }
  EXPECT_EQ(sessions->SessionCount(), 0u);
  // None of the refusals used the token up.
  Helloed(token);
}

TEST_F(PluginSessionsTest, ReplayedTokenIsClosed) {
  const std::string token = Mint(CapPayload());
  Connection first = Helloed(token);
  Connection second = Connect();
  EXPECT_FALSE(second.handler->OnText(HelloText(token)));
  EXPECT_EQ(second.peer->Close(), kTokenReplay);
}

TEST_F(PluginSessionsTest, MalformedMessagesAfterHelloCloseWithoutThrowing) {
  for (const std::string text : {"[]", "\"hello\"", R"({"type":null})", "{"}) {
    Connection c = Helloed(Mint(CapPayload()));
    EXPECT_FALSE(c.handler->OnText(text)) << text;
    EXPECT_EQ(c.peer->Close(), kTokenSignature) << text;
  }
}

class ArmedHelloTest : public PluginSessionsTest {
 protected:
  // An armed token that the plugin's first run presented; the plugin restarted and by its next
  // hello the token has expired.
  std::string ArmedExpiredToken() {
    registry->SetRpcPort(45123);
    const std::string token = Mint(With(CapPayload(), {{"exp", kNow + 60}}));
    EXPECT_EQ(registry->ArmPluginToken("p1", kPkg, token, kNow), "");
    EXPECT_EQ(registry->CheckLaunchToken("p1", kPkg, "realtime", "linux", kNow), "");
    Helloed(token).handler->OnEnded();
    registry->ReopenArmedGrant("p1");
    Advance(200);
    return token;
  }
};

TEST_F(ArmedHelloTest, ExpiredTokenArmedForARunningPluginIsAccepted) {
  const std::string token = ArmedExpiredToken();
  generation = 3;
  Connection c = Helloed(token);
  EXPECT_NE(c.peer->Last().find("hello-ok"), std::string::npos);
  // The hello used the grant up: the same token once more has no second chance left.
  EXPECT_TRUE(registry->FindArmedGrant("p1")->used);
  Connection again = Connect();
  EXPECT_FALSE(again.handler->OnText(HelloText(token)));
  EXPECT_EQ(again.peer->Close(), kTokenExpired);
}

TEST_F(ArmedHelloTest, PluginWithoutARunIsRefusedAndKeepsTheGrant) {
  const std::string token = ArmedExpiredToken();
  Connection c = Connect();
  EXPECT_FALSE(c.handler->OnText(HelloText(token)));
  EXPECT_EQ(c.peer->Close(), kTokenExpired);
  auto grant = registry->FindArmedGrant("p1");
  ASSERT_TRUE(grant);
  EXPECT_FALSE(grant->used);
  // Once the run has started the very same token still gets its second chance.
  generation = 1;
  Helloed(token);
}

TEST_F(PluginSessionsTest, RenewReplacesTheSessionTokenOrCloses) {
  const json first = CapPayload();
  Connection c = Helloed(Mint(first));
  const json renewed = With(CapPayload(), {{"renewOf", first["jti"]}, {"scope", {"rt.publish:p1/a"}}});
  Advance(10);
  ASSERT_TRUE(c.handler->OnText(json{{"type", "renew"}, {"payload", {{"token", Mint(renewed)}}}}.dump()));
  EXPECT_EQ(c.peer->Last(), R"({"payload":{"scopes":["rt.publish:p1/a"]},"type":"renew-ok"})");
  ASSERT_EQ(stamps.size(), 1u);
  EXPECT_EQ(stamps[0], std::make_pair(std::string("p1"), kNow + 10));

  struct Case {
    const char* name;
    json token;  // a payload to mint, or a raw member value
    bool mint;
    std::string close;
  };
  const std::vector<Case> cases = {
      {"renews an older token", With(CapPayload(), {{"renewOf", first["jti"]}}), true, kTokenSignature},
      {"other plugin", With(CapPayload("p2"), {{"renewOf", renewed["jti"]}}), true, kTokenAudience},
      {"expired", With(CapPayload(), {{"renewOf", renewed["jti"]}, {"exp", kNow - 100}}), true, kTokenExpired},
      {"token not a string", 5, false, kTokenSignature},
  };
  for (const auto& tc : cases) {
    Connection s = Helloed(Mint(CapPayload()));
    // This connection holds the renewed token, so renewOf matches where it should.
    CapabilityClaims held;
    held.pluginId = "p1";
    held.pkg = kPkg;
    held.cap = "realtime";
    held.jti = renewed["jti"];
    sessions->RegisterSession(s.peer, held, "source", kNow + 10);
    const json value = tc.mint ? json(Mint(tc.token)) : tc.token;
    EXPECT_FALSE(s.handler->OnText(json{{"type", "renew"}, {"payload", {{"token", value}}}}.dump())) << tc.name;
    EXPECT_EQ(s.peer->Close(), tc.close) << tc.name;
  }
}

TEST_F(PluginSessionsTest, PublishWithoutAHubIsRefusedAndTheConnectionStays) {
  Connection c = Helloed(Mint(CapPayload()));
  ASSERT_TRUE(c.handler->OnText(R"({"type":"rt.publish","payload":{"seq":1,"frame":{"channels":[]}}})"));
  EXPECT_EQ(c.peer->Last(), R"({"code":"E_SCOPE_DENIED","type":"error"})");
  EXPECT_TRUE(c.peer->closes.empty());
}

TEST_F(PluginSessionsTest, PublishOfADecodePluginIsClosedWithThePermissionCode) {
  Connection c = Helloed(Mint(CapPayload("p1", "decode")), "plugin");
  EXPECT_FALSE(c.handler->OnText(R"({"type":"rt.publish","payload":{}})"));
  EXPECT_EQ(c.peer->Close(), kRoleDenied);
}

class HubTest : public PluginSessionsTest {
 protected:
  void SetUp() override {
    hub = [this](const CapabilityClaims& claims, bool verified, const json& payload, uint64_t gen) {
      seen = {claims.pluginId, verified, payload, gen};
      return next;
    };
    PluginSessionsTest::SetUp();
  }
  struct Seen {
    std::string pluginId;
    bool verified = true;
    json payload;
    uint64_t generation = 0;
  } seen;
  PublishResult next;
};

TEST_F(HubTest, PublishRepliesFollowTheHubResult) {
  generation = 9;
  Connection c = Helloed(Mint(CapPayload()));
  generation = 10;  // the session keeps the run it said hello in
  const std::string publish = R"({"type":"rt.publish","payload":{"seq":4}})";

  next.seq = 4;
  ASSERT_TRUE(c.handler->OnText(publish));
  EXPECT_EQ(c.peer->Last(), R"({"payload":{"seq":4},"type":"publish-ok"})");
  EXPECT_EQ(seen.pluginId, "p1");
  EXPECT_FALSE(seen.verified);  // no plugin registry: the process is not known to be alive
  EXPECT_EQ(seen.payload, json({{"seq", 4}}));
  EXPECT_EQ(seen.generation, 9u);

  next.rejectedChannels = json::array({{{"id", "x"}, {"reason", "duplicate-id"}}});
  ASSERT_TRUE(c.handler->OnText(publish));
  EXPECT_EQ(c.peer->Last(),
            R"({"payload":{"rejectedChannels":[{"id":"x","reason":"duplicate-id"}],"seq":4},"type":"publish-ok"})");

  next = PublishResult{};
  next.code = "E_FRAME_INVALID";
  ASSERT_TRUE(c.handler->OnText(publish));
  EXPECT_EQ(c.peer->Last(), R"({"code":"E_FRAME_INVALID","type":"error"})");

  next = PublishResult{};
  next.stale = true;
  EXPECT_FALSE(c.handler->OnText(publish));
  EXPECT_EQ(c.peer->Close(), "stale");
}

TEST_F(PluginSessionsTest, OtherMethodsGetAnErrorAndTheConnectionStays) {
  Connection decode = Helloed(Mint(CapPayload("p1", "decode")), "plugin");
  Connection realtime = Helloed(Mint(CapPayload("p2")));
  struct Case {
    Connection* c;
    const char* type;
    std::string code;
  };
  const std::vector<Case> cases = {
      {&decode, "plugin.job.next", "E_UNKNOWN_METHOD"},
      {&realtime, "plugin.job.next", kRoleDenied},
      {&realtime, "hello", kScopeDenied},
      {&realtime, "setAlwaysOnTop", kScopeDenied},
      {&realtime, "no.such.method", kScopeDenied},
  };
  for (const auto& tc : cases) {
    ASSERT_TRUE(tc.c->handler->OnText(json{{"type", tc.type}}.dump())) << tc.type;
    EXPECT_EQ(tc.c->peer->Last(), json({{"code", tc.code}, {"type", "error"}}).dump()) << tc.type;
  }
}

TEST_F(PluginSessionsTest, ExpiredSessionIsReportedOnceAndStaysConnected) {
  Connection c = Helloed(Mint(With(CapPayload(), {{"exp", kNow + 5000}})));
  Advance(899);
  EXPECT_TRUE(c.handler->OnCheckDue());
  EXPECT_TRUE(reports.empty());
  Advance(1);
  EXPECT_TRUE(c.handler->OnCheckDue());
  EXPECT_TRUE(c.handler->OnText(R"({"type":"nope"})"));
  EXPECT_TRUE(c.handler->OnCheckDue());
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].pluginId, "p1");
  EXPECT_EQ(reports[0].state, "stopped");
  EXPECT_TRUE(reports[0].needsOnline);
  EXPECT_TRUE(c.peer->closes.empty());
  // Another connection of the plugin reports again.
  Connection other = Helloed(Mint(With(CapPayload(), {{"exp", kNow + 5000}})));
  Advance(900);
  EXPECT_TRUE(other.handler->OnCheckDue());
  EXPECT_EQ(reports.size(), 2u);
}

// The hello deadline counts from the connection's start and the re-checks keep their own
// schedule: neither moves for what the peer sends.
TEST_F(PluginSessionsTest, CheckScheduleIgnoresTraffic) {
  using std::chrono::milliseconds;
  const auto start = steadyNow;
  Connection c = Connect();
  EXPECT_EQ(c.handler->NextCheckTime(), start + milliseconds(1000));
  steadyNow += milliseconds(600);
  EXPECT_EQ(c.handler->NextCheckTime(), start + milliseconds(1000));

  const auto hello = steadyNow;
  ASSERT_TRUE(c.handler->OnText(HelloText(Mint(CapPayload()))));
  EXPECT_EQ(c.handler->NextCheckTime(), hello + milliseconds(5000));
  for (int i = 0; i < 3; ++i) {
    steadyNow += milliseconds(1000);
    ASSERT_TRUE(c.handler->OnText(R"({"type":"nope"})"));
  }
  EXPECT_EQ(c.handler->NextCheckTime(), hello + milliseconds(5000));
  steadyNow = hello + milliseconds(5100);
  EXPECT_TRUE(c.handler->OnCheckDue());
  EXPECT_EQ(c.handler->NextCheckTime(), steadyNow + milliseconds(5000));
}

TEST_F(PluginSessionsTest, IdleRecheckClosesSilentAndRevokedConnections) {
  Connection silent = Connect();
  EXPECT_FALSE(silent.handler->OnCheckDue());
  EXPECT_EQ(silent.peer->Close(), kTokenSignature);

  const json claims = CapPayload();
  Connection c = Helloed(Mint(claims));
  EXPECT_TRUE(c.handler->OnCheckDue());
  ASSERT_EQ(ApplyList({{"rev", 2}, {"jtis", {claims["jti"]}}}), "");
  EXPECT_FALSE(c.handler->OnCheckDue());
  EXPECT_EQ(c.peer->Close(), kTokenRevoked);
}

TEST_F(PluginSessionsTest, KickEndsOnlyThatPluginsConnections) {
  Connection a = Helloed(Mint(CapPayload("p1")));
  Connection b = Helloed(Mint(CapPayload("p1")));
  Connection other = Helloed(Mint(CapPayload("p2")));
  // Each connection thread ends once its peer is shut down, as the listener's would.
  auto serve = [](Connection& c) {
    return std::thread([&c] {
      for (int i = 0; i < 3000 && !c.peer->shutdown; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      c.handler->OnEnded();
    });
  };
  std::thread ta = serve(a);
  std::thread tb = serve(b);
  sessions->KickPluginSessions("p1");
  // The kick returned after both handlers saw the end.
  EXPECT_EQ(sessions->SessionCount(), 1u);
  EXPECT_TRUE(a.peer->shutdown && b.peer->shutdown);
  EXPECT_FALSE(other.peer->shutdown);
  ta.join();
  tb.join();
  sessions->KickPluginSessions("nobody");
}

class DeliverTokenTest : public PluginSessionsTest {
 protected:
  void SetUp() override {
    PluginSessionsTest::SetUp();
    first = CapPayload();
    c = Helloed(Mint(first));
  }
  PluginTokenDelivery Deliver(const json& payload, const std::string& pluginId = "p1") {
    return sessions->DeliverPluginToken(Mint(payload), kNow + 20, pluginId, kPkg);
  }
  json first;
  Connection c;
};

TEST_F(DeliverTokenTest, PushedTokenReachesTheSessionAndItsConnection) {
  const json next = With(CapPayload(), {{"renewOf", first["jti"]}, {"exp", kNow + 700}, {"scope", {"rt.publish:p1/x"}}});
  const std::string token = Mint(next);
  PluginTokenDelivery d = sessions->DeliverPluginToken(token, kNow + 20, "p1", kPkg);
  EXPECT_TRUE(d.delivered);
  EXPECT_EQ(d.code, "");
  EXPECT_EQ(c.peer->Last(), json({{"payload", {{"exp", kNow + 700}, {"jti", next["jti"]}, {"token", token}}},
                                  {"type", "rt.token"}})
                                .dump());
  ASSERT_EQ(stamps.size(), 1u);
  EXPECT_EQ(stamps[0].second, kNow + 20);
  // The connection takes the pushed token at its next message: its time counts from the push.
  Advance(910);
  EXPECT_TRUE(c.handler->OnCheckDue());
  EXPECT_TRUE(reports.empty());
  // A renewal now has to name the pushed token.
  const json renewal = With(CapPayload(), {{"renewOf", next["jti"]}, {"nbf", kNow + 900}, {"exp", kNow + 1500}});
  EXPECT_TRUE(c.handler->OnText(json{{"type", "renew"}, {"payload", {{"token", Mint(renewal)}}}}.dump()))
      << c.peer->Close();
}

TEST_F(DeliverTokenTest, UndeliveredCases) {
  struct Case {
    const char* name;
    json payload;
    std::string pluginId;
    bool delivered;
    std::string code;
  };
  const std::vector<Case> cases = {
      {"no renewOf", CapPayload(), "p1", false, ""},
      {"renewOf matches no session", With(CapPayload(), {{"renewOf", "0123"}}), "p1", false, ""},
      {"other package than expected", With(CapPayload(), {{"renewOf", first["jti"]}, {"pkg", kOtherPkg}}), "p1",
       false, kTokenAudience},
      {"session of another plugin", With(CapPayload("p2"), {{"renewOf", first["jti"]}}), "p2", true,
       kTokenAudience},
      {"other cap", With(CapPayload("p1", "decode"), {{"renewOf", first["jti"]}}), "p1", true, kTokenAudience},
      {"expired", With(CapPayload(), {{"renewOf", first["jti"]}, {"exp", kNow - 100}}), "p1", false, kTokenExpired},
  };
  for (const auto& tc : cases) {
    PluginTokenDelivery d = Deliver(tc.payload, tc.pluginId);
    EXPECT_EQ(d.delivered, tc.delivered) << tc.name;
    EXPECT_EQ(d.code, tc.code) << tc.name;
  }
  EXPECT_EQ(c.peer->TextCount(), 1u);  // only the hello-ok
  EXPECT_TRUE(stamps.empty());
}

TEST_F(DeliverTokenTest, NothingGoesToAKickedOrEndedConnection) {
  const json next = With(CapPayload(), {{"renewOf", first["jti"]}});
  sessions->KickPluginSessions("p1");  // the handler never ends: the kick gives up after about 2 s
  PluginTokenDelivery d = Deliver(next);
  EXPECT_FALSE(d.delivered);
  c.handler->OnEnded();
  EXPECT_FALSE(Deliver(next).delivered);
  EXPECT_EQ(c.peer->TextCount(), 1u);
}
