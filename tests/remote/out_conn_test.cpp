#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <thread>

#include "bridge/ws_handshake.h"
#include "platform/net.h"
#include "platform/unique_fd.h"
#include "remote/out_conn.h"
#include "remote/remote_control.h"
#include "remote/remote_listener.h"
#include "remote/remote_wire.h"
#include "remote_test_support.h"
#include "support/token_test_support.h"

using nlohmann::json;
namespace net = platform::net;

TEST(TargetAddressTest, AcceptsOnlyLanAndVpnHostsWithAPort) {
  struct Case {
    const char* address;
    const char* kind;  // null: refused
  } cases[] = {
      {"10.1.2.3:51515", "lan"},    {"172.16.0.1:1", "lan"},      {"172.31.255.255:65535", "lan"},
      {"192.168.1.9:80", "lan"},    {"100.64.0.1:51515", "vpn"},  {"100.127.255.255:9", "vpn"},
      {"[10.0.0.1]:5", "lan"},      {"8.8.8.8:51515", nullptr},   {"10.0.0.1:0", nullptr},
      {"10.0.0.1", nullptr},        {"10.0.0.1:", nullptr},       {"10.0.0.1:65536", nullptr},
      {"10.0.0.1:99999999999", nullptr}, {"10.0.0.1:5x", nullptr}, {"172.32.0.1:5", nullptr},
      {"100.128.0.1:5", nullptr},   {"127.0.0.1:5", nullptr},     {"[10.0.0.1]5", nullptr},
      {"[10.0.0.1]:", nullptr},     {"[10.0.0.1:5", nullptr},     {"010.0.0.1:5", nullptr},
      {"host.lan:5", nullptr},      {"", nullptr},                {"10.0.0.1:+5", nullptr},
  };
  for (const Case& c : cases) {
    auto target = remote::ParseTargetAddress(c.address);
    if (c.kind == nullptr) {
      EXPECT_FALSE(target) << c.address;
    } else {
      ASSERT_TRUE(target) << c.address;
      EXPECT_EQ(target->kind, c.kind) << c.address;
    }
  }
  EXPECT_EQ(remote::ParseTargetAddress("192.168.0.2:51515")->port, 51515);
}

TEST(TargetAddressTest, TokenAddrGivesTheFirstUsableEntry) {
  auto token = [](const json& payload) {
    std::string text = payload.dump(), b64;
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    size_t i = 0;
    for (; i + 2 < text.size(); i += 3) {
      uint32_t n = (uint8_t(text[i]) << 16) | (uint8_t(text[i + 1]) << 8) | uint8_t(text[i + 2]);
      for (int k = 18; k >= 0; k -= 6) b64 += alphabet[(n >> k) & 63];
    }
    if (i < text.size()) {
      uint32_t n = uint8_t(text[i]) << 16;
      if (i + 1 < text.size()) n |= uint8_t(text[i + 1]) << 8;
      b64 += alphabet[(n >> 18) & 63];
      b64 += alphabet[(n >> 12) & 63];
      if (i + 1 < text.size()) b64 += alphabet[(n >> 6) & 63];
    }
    return "h." + b64 + ".sig";
  };
  EXPECT_EQ(remote::TargetFromToken(token({{"addr", {7, "8.8.8.8:1", "10.1.2.3:51515", "10.9.9.9:1"}}})),
            "10.1.2.3:51515");
  EXPECT_EQ(remote::TargetFromToken(token({{"addr", "10.1.2.3:51515"}})), "");
  EXPECT_EQ(remote::TargetFromToken(token({{"sub", "x"}})), "");
  EXPECT_EQ(remote::TargetFromToken("no-dots"), "");
  EXPECT_EQ(remote::TargetFromToken("a.!!!.b"), "");
}

TEST(ServerMessageTest, ErrorsHelloOkBatchesAndSources) {
  struct ErrorCase {
    const char* code;
    int close;
  } errors[] = {{"E_TOKEN_REVOKED", 4403}, {"E_TOKEN_EXPIRED", 4401}, {"E_SCOPE_DENIED", 4401},
                {"E_ROLE_DENIED", 4401},   {"E_VIEWER_LIMIT", 4403}, {"E_PROTOCOL", 0}};
  for (const ErrorCase& e : errors) {
    remote::OutConn conn;
    remote::ClientSession session;
    auto a = remote::HandleServerMessage(conn, session, json{{"type", "error"}, {"code", e.code}}.dump());
    EXPECT_TRUE(a.end);
    EXPECT_EQ(a.code, e.close) << e.code;
    EXPECT_EQ(a.reason, e.code);
  }

  remote::OutConn conn;
  conn.connectionId = "c1";
  conn.maxHz = 7;
  conn.resume = {{"b", 4}, {"a", "x"}};
  remote::ClientSession session;
  EXPECT_FALSE(remote::HandleServerMessage(conn, session, "not json").end);
  auto ok = remote::HandleServerMessage(conn, session, R"({"type":"hello-ok","payload":{"shareId":"s1"}})");
  EXPECT_TRUE(ok.connected);
  EXPECT_EQ(ok.sends, (std::vector<std::string>{R"({"payload":{"maxHz":7,"source":"a"},"type":"live.subscribe"})",
                                                R"({"payload":{"fromSeq":4,"maxHz":7,"source":"b"},"type":"live.subscribe"})"}));
  EXPECT_TRUE(remote::HandleServerMessage(conn, session, R"({"type":"hello-ok"})").sends.empty());  // first only

  auto batch = remote::HandleServerMessage(
      conn, session,
      R"({"type":"rt.batch","frames":[{"source":"b","seq":9,"provenance":"verified"},)"
      R"({"source":"b","seq":3,"provenance":"verified"},{"source":"c","seq":2,"provenance":"unverified"},5]})");
  ASSERT_EQ(batch.events.size(), 1u);
  json event = json::parse(batch.events[0]);
  EXPECT_EQ(event["type"], "remote.batch");
  EXPECT_EQ(event["shareId"], "s1");
  EXPECT_EQ(event["frames"].size(), 2u);
  EXPECT_EQ(conn.resume["b"], 9);
  EXPECT_FALSE(conn.resume.contains("c"));
  EXPECT_TRUE(remote::HandleServerMessage(conn, session, R"({"type":"rt.batch","frames":[{"seq":1}]})").events.empty());

  auto source = remote::HandleServerMessage(conn, session,
                                            R"({"type":"rt.source","payload":{"source":"b","state":"ended"}})");
  ASSERT_EQ(source.events.size(), 1u);
  EXPECT_EQ(json::parse(source.events[0]),
            (json{{"type", "remote.source"}, {"source", "b"}, {"state", "ended"}, {"connectionId", "c1"}, {"shareId", "s1"}}));
  EXPECT_TRUE(remote::HandleServerMessage(conn, session, R"({"type":"rt.source","payload":{"source":"b"}})").events.empty());
  // The end starts the source's resume position again: the next run counts from seq 1, and a
  // reconnect must not skip its first frames as if already received.
  EXPECT_EQ(conn.resume["b"], 0);
  remote::HandleServerMessage(conn, session, R"({"type":"rt.batch","frames":[{"source":"b","seq":2,"provenance":"verified"}]})");
  EXPECT_EQ(conn.resume["b"], 2);

  EXPECT_EQ(remote::SubscribeMessages(20, json::object(), false),
            (std::vector<std::string>{R"({"payload":{"maxHz":20},"type":"live.subscribe"})"}));
  EXPECT_EQ(remote::SubscribeMessages(20, {{"a", 1}}, true),
            (std::vector<std::string>{R"({"payload":{"maxHz":20,"resume":{"a":1}},"type":"live.subscribe"})"}));
}

// Page events of a state, waited for with a bound.
struct EventLog {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<json> events;
  remote::UiTextSink Sink() {
    return [this](const std::string& text) {
      std::lock_guard<std::mutex> lock(mutex);
      events.push_back(json::parse(text));
      cv.notify_all();
    };
  }
  // The connection events of id, once one with state "closed" arrived (or 10 s passed).
  std::vector<json> UntilClosed(const std::string& id) { return Until(id, "closed"); }
  std::vector<json> Until(const std::string& id, const std::string& state, size_t count = 1) {
    std::unique_lock<std::mutex> lock(mutex);
    std::vector<json> out;
    cv.wait_for(lock, std::chrono::seconds(10), [&] {
      out.clear();
      size_t n = 0;
      for (const json& e : events) {
        if (e["type"] == "remote.connection" && e["connectionId"] == id) {
          out.push_back(e);
          if (e["state"] == state) ++n;
        }
      }
      return n >= count;
    });
    return out;
  }
  std::vector<json> OfType(const std::string& type) {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<json> out;
    for (const json& e : events) {
      if (e["type"] == type) out.push_back(e);
    }
    return out;
  }
};

// A scripted server on loopback: answers the upgrade correctly, then runs script on each
// connection with the texts the client sent so far.
class FakeServer {
 public:
  using Script = std::function<void(int fd, int connection, FakeServer& self)>;
  // badAccept: the upgrade answer carries an accept key that does not match the client's key.
  explicit FakeServer(Script script, bool badAccept = false) : script_(std::move(script)), badAccept_(badAccept) {
    listen_.Reset(net::ListenAnyIpv4(0, 4, &port_));
    thread_ = std::thread([this] { Run(); });
  }
  ~FakeServer() {
    stop_ = true;
    net::ShutdownSocket(listen_.get());
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  uint16_t port() const { return port_; }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

  // The next client text, or "" when the connection ended.
  std::string Read(int fd) {
    std::string text;
    remote::SetSocketTimeouts(fd, 5000, -1);
    return remote::WsReadMessage(fd, buffer_, &text, true) == remote::ReadResult::Message ? text : "";
  }
  void Send(int fd, const json& message) { remote::WsSendText(fd, message.dump(), false); }
  void Record(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back(text);
    cv_.notify_all();
  }
  std::vector<std::string> Received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  bool WaitReceived(size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return received_.size() >= n; });
  }
  // The script may wait here until the test releases it.
  void WaitRelease() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::seconds(10), [&] { return released_; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    cv_.notify_all();
  }
  int connections() const { return connections_; }

 private:
  void Run() {
    for (int i = 0; i < 8 && !stop_; ++i) {
      platform::UniqueFd fd(accept(listen_.get(), nullptr, nullptr));
      if (fd.get() < 0) return;
      buffer_.clear();
      remote::SetSocketTimeouts(fd.get(), 5000, 5000);
      std::string head;
      char c;
      while (head.find("\r\n\r\n") == std::string::npos && recv(fd.get(), &c, 1, 0) == 1) head += c;
      const std::string key = remote::FindHeaderValue(head, "Sec-WebSocket-Key");
      const std::string response = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                   "Sec-WebSocket-Accept: " + WsAcceptKey(badAccept_ ? "dGhlIHNhbXBsZSBub25jZQ==" : key) +
                                   "\r\n\r\n";
      net::SendAll(fd.get(), response.data(), response.size());
      ++connections_;
      script_(fd.get(), connections_, *this);
    }
  }
  Script script_;
  bool badAccept_ = false;
  platform::UniqueFd listen_;
  uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::string buffer_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> received_;
  bool released_ = false;
};

std::optional<remote::TargetAddress> LoopbackTarget(const std::string& address) {
  const size_t colon = address.find(':');
  if (address.compare(0, colon, "127.0.0.1") != 0) return std::nullopt;
  return remote::TargetAddress{"127.0.0.1", "lan", static_cast<uint16_t>(std::stoi(address.substr(colon + 1)))};
}

class OutConnTest : public TokenTest {
 protected:
  FakeClock clock;
  EventLog log;
  std::unique_ptr<remote::State> state;

  void SetUp() override {
    TokenTest::SetUp();
    clock.wall = kNow * 1000;
    state = MakeTestState(clock, registry.get());
    state->eventSink = log.Sink();
  }
  void TearDown() override { state.reset(); }

  std::string Connect(const std::string& id, const std::vector<std::string>& addresses, int32_t maxHz = 20,
                      const std::string& token = "tok") {
    return remote::HandleConnect(*state, id, token, addresses, json::object(), maxHz, LoopbackTarget);
  }
  std::string ViewToken(const std::string& sub = "user:viewer1") {
    json claims = {{"sub", sub}, {"aud", OnlineAudience()}};
    qvsign::FillViewDefaults(claims, kIssuer, kNow);
    return Mint(claims);
  }
};

TEST_F(OutConnTest, RequestsWithoutIdTokenOrUsableAddressAreRefused) {
  EXPECT_EQ(remote::HandleConnect(*state, "", "t", {"10.0.0.1:5"}, json::object(), 20), "request_invalid");
  EXPECT_EQ(remote::HandleConnect(*state, "c", "", {"10.0.0.1:5"}, json::object(), 20), "request_invalid");
  EXPECT_EQ(remote::HandleConnect(*state, "c", "t", {"8.8.8.8:5", "10.0.0.1", "10.0.0.1:0"}, json::object(), 20),
            "E_REMOTE_UNREACHABLE");
  EXPECT_EQ(remote::HandleConnect(*state, "c", "no.addr.here", {}, json::object(), 20), "E_REMOTE_UNREACHABLE");
  EXPECT_EQ(remote::HandleRenew(*state, "nope", "t"), "E_SHARE_UNKNOWN");
  EXPECT_EQ(remote::HandleRenew(*state, "", "t"), "request_invalid");
  remote::HandleDisconnect(*state, "nope");
  EXPECT_TRUE(log.OfType("remote.connection").empty());
}

// A session that reaches hello-ok and is then dropped by the server is tried once more from the
// first address, with the token the page renewed (the admitted one would be a replay); the second
// drop ends it without code or reason.
TEST_F(OutConnTest, MaxHzClampingOneReconnectThenClosed) {
  struct Case {
    int32_t maxHz;
    int sent;
  } cases[] = {{0, 1}, {50, 20}, {20, 20}};
  for (const Case& c : cases) {
    FakeServer server([](int fd, int, FakeServer& s) {
      s.Record(s.Read(fd));
      s.Send(fd, {{"type", "hello-ok"}, {"payload", {{"capabilities", json::array()}}}});
      s.Record(s.Read(fd));
    });
    const std::string id = "c" + std::to_string(c.maxHz);
    ASSERT_EQ(Connect(id, {server.Address()}, c.maxHz), "");
    const std::vector<json> waiting = log.Until(id, "connecting", 3);
    ASSERT_EQ(waiting.size(), 4u);
    EXPECT_EQ(waiting[3], (json{{"type", "remote.connection"}, {"connectionId", id}, {"state", "connecting"},
                                {"addr", server.Address()}, {"reason", "E_TOKEN_REPLAY"}}));
    EXPECT_EQ(server.connections(), 1);  // nothing presented until the page renews
    ASSERT_EQ(remote::HandleRenew(*state, id, "tok2"), "");
    std::vector<json> events = log.UntilClosed(id);
    std::vector<std::string> states;
    for (const json& e : events) states.push_back(e["state"]);
    EXPECT_EQ(states, (std::vector<std::string>{"connecting", "connecting", "connected", "connecting", "connecting",
                                                "connected", "closed"}));
    EXPECT_FALSE(events.back().contains("code"));
    EXPECT_FALSE(events.back().contains("reason"));
    EXPECT_EQ(server.connections(), 2);
    std::vector<std::string> got = server.Received();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(json::parse(got[0])["payload"]["role"], "viewer");
    EXPECT_EQ(json::parse(got[0])["payload"]["token"], "tok");
    EXPECT_EQ(json::parse(got[2])["payload"]["token"], "tok2");
    EXPECT_EQ(json::parse(got[1]), (json{{"type", "live.subscribe"}, {"payload", {{"maxHz", c.sent}}}}));
    remote::HandleDisconnect(*state, id);
  }
}

TEST_F(OutConnTest, AnErrorCodeEndsTheConnectionWithoutRetry) {
  FakeServer server([](int fd, int, FakeServer& s) {
    s.Record(s.Read(fd));
    s.Send(fd, {{"type", "error"}, {"code", "E_TOKEN_REVOKED"}});
  });
  ASSERT_EQ(Connect("c", {server.Address(), server.Address()}), "");
  std::vector<json> events = log.UntilClosed("c");
  EXPECT_EQ(events.back(), (json{{"type", "remote.connection"}, {"connectionId", "c"}, {"state", "closed"},
                                 {"addr", server.Address()}, {"code", 4403}, {"reason", "E_TOKEN_REVOKED"}}));
  EXPECT_EQ(server.connections(), 1);
}

TEST_F(OutConnTest, AnUpgradeAnswerWithAnotherAcceptKeyIsNotAConnection) {
  FakeServer server(
      [](int fd, int, FakeServer& s) {
        s.Record(s.Read(fd));
        s.Send(fd, {{"type", "hello-ok"}, {"payload", json::object()}});
      },
      true);
  ASSERT_EQ(Connect("c", {server.Address()}), "");
  std::vector<json> events = log.UntilClosed("c");
  EXPECT_EQ(events.back()["reason"], "E_REMOTE_UNREACHABLE");
  for (const json& e : events) EXPECT_NE(e["state"], "connected");
  server.Release();
}

TEST_F(OutConnTest, AddressesThatNeverAnswerEndAsUnreachable) {
  uint16_t port;
  { platform::UniqueFd closed(net::ListenAnyIpv4(0, 1, &port)); }  // nothing listens there any more
  ASSERT_EQ(Connect("c", {"127.0.0.1:" + std::to_string(port)}), "");
  EXPECT_EQ(log.UntilClosed("c").back()["reason"], "E_REMOTE_UNREACHABLE");
}

TEST_F(OutConnTest, RenewBeforeHelloOkIsNotSentButTheNextHelloCarriesIt) {
  FakeServer server([](int fd, int connection, FakeServer& s) {
    s.Record(s.Read(fd));
    if (connection == 1) {
      s.WaitRelease();
      return;  // drop before hello-ok
    }
    s.Send(fd, {{"type", "hello-ok"}, {"payload", json::object()}});
    s.Record(s.Read(fd));  // the subscription; a renew would come after it
    s.Record(s.Read(fd));
  });
  ASSERT_EQ(Connect("c", {server.Address(), server.Address()}, 20, "old"), "");
  ASSERT_TRUE(server.WaitReceived(1));
  EXPECT_EQ(remote::HandleRenew(*state, "c", "new"), "");
  server.Release();
  log.Until("c", "connected");
  ASSERT_TRUE(server.WaitReceived(3));
  remote::HandleDisconnect(*state, "c");
  server.WaitReceived(4);
  std::vector<std::string> got = server.Received();
  ASSERT_GE(got.size(), 3u);
  EXPECT_EQ(json::parse(got[0])["payload"]["token"], "old");
  EXPECT_EQ(json::parse(got[1])["payload"]["token"], "new");
  EXPECT_EQ(json::parse(got[2])["type"], "live.subscribe");
  for (const std::string& t : got) EXPECT_EQ(t.find("\"renew\""), std::string::npos) << t;
}

TEST_F(OutConnTest, ASecondConnectReplacesTheFirst) {
  FakeServer server([](int fd, int, FakeServer& s) {
    s.Read(fd);
    s.Send(fd, {{"type", "hello-ok"}, {"payload", json::object()}});
    s.Read(fd);
    s.WaitRelease();
  });
  ASSERT_EQ(Connect("c", {server.Address()}), "");
  log.Until("c", "connected");
  ASSERT_EQ(Connect("c", {server.Address()}), "");
  EXPECT_EQ(log.UntilClosed("c").back()["state"], "closed");  // the first one's end
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    EXPECT_EQ(state->outConns.size(), 1u);
  }
  server.Release();
}

// A target that drops every packet: a loopback listener whose accept queue is full. Disconnect
// must not wait for the connect's time-out.
TEST_F(OutConnTest, DisconnectInterruptsAConnectThatHangs) {
  uint16_t port;
  platform::UniqueFd full(net::ListenAnyIpv4(0, 0, &port));
  std::vector<platform::UniqueFd> fillers;
  fillers.emplace_back(net::ConnectLoopback(port));  // fills a queue of length 0
  ASSERT_EQ(Connect("c", {"127.0.0.1:" + std::to_string(port)}), "");
  log.Until("c", "connecting", 2);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the SYN go out
  const auto start = std::chrono::steady_clock::now();
  remote::HandleDisconnect(*state, "c");
  const auto took = std::chrono::steady_clock::now() - start;
  // The bound is far below the connect's own 3 s so only an interrupted connect passes.
  EXPECT_LT(took, std::chrono::milliseconds(1500));
  EXPECT_EQ(log.UntilClosed("c").back()["state"], "closed");
}

// Against this host's own listener: verified frames arrive as "remote.batch", an ended source as
// "remote.source"; a revoked token stays connected until kicked, and its reconnect is refused.
TEST_F(OutConnTest, ViewerOfOurOwnListener) {
  state->port = 0;
  ASSERT_EQ(remote::StartListener(*state), "");
  std::string address;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    address = "127.0.0.1:" + std::to_string(state->boundPort);
  }
  const std::string source = "p1@" + std::string(64, 'a');
  auto publish = [&](int seq) {
    remote::FanOutVerified(*state, {{"source", source}, {"seq", seq}, {"provenance", "verified"},
                                    {"frame", {{"v", seq}}}});
  };
  remote::FanOutVerified(*state, {{"source", source}, {"seq", 1}, {"provenance", "verified"},
                                  {"declare", {{"kind", "stream"}, {"channels", json::array()}}}});
  EnableTokens();
  const std::string token = ViewToken();
  ASSERT_EQ(Connect("c", {address}, 20, token), "");
  log.Until("c", "connected");
  // Both ends of the session send without waiting to fill a packet.
  auto noDelay = [](int fd) {
    int value = 0;
    socklen_t length = sizeof value;
    return getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &length) == 0 && value != 0;
  };
  remote::OutConnPtr client;
  remote::ViewerPtr served;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    ASSERT_EQ(state->outConns.size(), 1u);
    ASSERT_EQ(state->viewers.size(), 1u);
    client = state->outConns[0];
    served = state->viewers[0];
  }
  {
    std::lock_guard<std::mutex> lock(client->stateMutex);
    EXPECT_TRUE(noDelay(client->socket));
  }
  {
    std::lock_guard<std::mutex> lock(served->writeLock);
    EXPECT_TRUE(noDelay(served->socket));
  }
  publish(2);
  std::vector<int64_t> seqs;
  for (int i = 0; i < 100 && seqs.size() < 2; ++i) {
    seqs.clear();
    for (const json& b : log.OfType("remote.batch")) {
      for (const json& f : b["frames"]) seqs.push_back(f["seq"]);
    }
    clock.Advance(100);  // the listener paces on the state's clock
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(seqs, (std::vector<int64_t>{1, 2}));
  remote::FanOutSourceEnded(*state, "p1");
  for (int i = 0; i < 100 && log.OfType("remote.source").empty(); ++i) {
    clock.Advance(100);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(log.OfType("remote.source").size(), 1u);
  EXPECT_EQ(log.OfType("remote.source")[0]["source"], source);

  std::string jti, viewerId;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    ASSERT_EQ(state->viewers.size(), 1u);
    jti = state->viewers[0]->jti;
    viewerId = state->viewers[0]->connId;
  }
  EXPECT_EQ(remote::HandleRevoke(*state, {{"jtis", {jti}}})["closed"], 0);
  remote::HandleKick(*state, viewerId);
  // The kicked session would be tried once more, but its token was admitted: the page is asked
  // for a renewal, and nothing is presented that the listener would count as a replay.
  std::vector<json> events = log.Until("c", "connecting", 3);
  EXPECT_EQ(events.back()["reason"], "E_TOKEN_REPLAY");
  remote::HandleDisconnect(*state, "c");  // ends the wait at once
  EXPECT_EQ(log.UntilClosed("c").back()["state"], "closed");
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    EXPECT_TRUE(state->guard.failuresByIp.empty());
  }
  remote::StopListener(*state);
}

// A watch that receives nothing stays admitted past the listener's idle bound: the client's pings
// count as the viewer's activity. (Intervals on the real steady clock, the token clock fixed.)
TEST_F(OutConnTest, AQuietWatchOutlastsTheIdleBound) {
  const remote::Clock system = remote::Clock::System();
  state = std::make_unique<remote::State>(
      remote::Clock{[] { return kNow * 1000; }, system.steadyMs},
      [] { return std::vector<remote::LanAddress>{{"127.0.0.1", "lan"}}; }, registry.get());
  state->eventSink = log.Sink();
  // Long enough that a loaded machine's scheduling stalls stay well inside one bound: the
  // client pings every quarter of it, so only a stall of three quarters would end the viewer.
  state->idleLimitMs = 2000;
  state->port = 0;
  ASSERT_EQ(remote::StartListener(*state), "");
  std::string address;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    address = "127.0.0.1:" + std::to_string(state->boundPort);
  }
  EnableTokens();
  ASSERT_EQ(Connect("c", {address}, 20, ViewToken()), "");
  log.Until("c", "connected");
  std::string first;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    ASSERT_EQ(state->viewers.size(), 1u);
    first = state->viewers[0]->connId;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(6000));  // three idle bounds
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    ASSERT_EQ(state->viewers.size(), 1u);
    EXPECT_EQ(state->viewers[0]->connId, first);
  }
  std::vector<std::string> states;
  for (const json& e : log.Until("c", "connected")) states.push_back(e["state"]);
  EXPECT_EQ(states, (std::vector<std::string>{"connecting", "connecting", "connected"}));
  remote::HandleDisconnect(*state, "c");
  remote::StopListener(*state);
}
