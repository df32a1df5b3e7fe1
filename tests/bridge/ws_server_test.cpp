#include "bridge/ws_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <optional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/constants.h"
#include "bridge/ws_frames.h"
#include "bridge/ws_limits.h"
#include "platform/net.h"
#include "platform/unique_fd.h"

namespace net = platform::net;

namespace {

const std::string kToken(64, 'f');

// A minimal client: handshake, masked frames out, frames in.
class Client {
 public:
  Client(uint16_t port, const std::string& path, bool appOrigin) : fd_(net::ConnectLoopback(port)) {
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: "
                          "dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
    if (appOrigin) request += std::string("Origin: ") + kAppOrigin + "\r\n";
    request += "\r\n";
    net::SendAll(fd_, request.data(), request.size());
    std::string response;
    char c;
    while (response.find("\r\n\r\n") == std::string::npos && net::Receive(fd_, &c, 1) == 1) response += c;
    upgraded_ = response.rfind("HTTP/1.1 101", 0) == 0;
  }
  ~Client() { net::CloseSocket(fd_); }

  bool upgraded() const { return upgraded_; }

  // Raw bytes, for frames cut into pieces.
  bool SendRaw(const std::string& bytes) { return net::SendAll(fd_, bytes.data(), bytes.size()); }

  bool Send(uint8_t opcode, const std::string& payload, bool fin = true) {
    const uint8_t key[4] = {1, 2, 3, 4};
    std::string frame(1, static_cast<char>((fin ? 0x80 : 0) | opcode));
    if (payload.size() <= 125) {
      frame += static_cast<char>(0x80 | payload.size());
    } else {
      frame += static_cast<char>(0x80 | 127);
      for (int i = 7; i >= 0; --i) frame += static_cast<char>((uint64_t(payload.size()) >> (8 * i)) & 0xff);
    }
    frame.append(reinterpret_cast<const char*>(key), 4);
    for (size_t i = 0; i < payload.size(); ++i) frame += static_cast<char>(payload[i] ^ key[i % 4]);
    return net::SendAll(fd_, frame.data(), frame.size());
  }

  // The next frame, or nullopt when the connection ended (or nothing came within the wait).
  std::optional<WsFrame> Read(int timeoutMs = 10000) {
    WsFrame frame;
    for (;;) {
      if (reader_.Next(&frame) == WsFrameReader::Status::Frame) return frame;
      if (net::WaitReadable(fd_, -1, timeoutMs) != net::WaitResult::Ready) return std::nullopt;
      char chunk[65536];
      ssize_t n = net::Receive(fd_, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      reader_.Append(chunk, static_cast<size_t>(n));
    }
  }

  // True once the server has ended the connection (any frames still queued are skipped).
  bool Ended() {
    while (auto frame = Read()) {
      if (frame->opcode == kWsClose) continue;
    }
    char c;
    return net::Receive(fd_, &c, 1) <= 0;
  }

 private:
  int fd_;
  bool upgraded_ = false;
  WsFrameReader reader_;
};

std::string Hello(const std::string& token) {
  return R"({"type":"hello","payload":{"token":")" + token + R"("}})";
}

// Records what the handlers saw, in order.
class Events {
 public:
  void Add(const std::string& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
    changed_.notify_all();
  }
  std::vector<std::string> WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [&] { return events_.size() >= count; });
    return events_;
  }
  std::vector<std::string> Now() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
};

class WsServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = WsServer::Create();
    ASSERT_TRUE(server_->Start(kToken));
    server_->SetOnUiText([this](const std::string& text) {
      events_.Add("text " + text);
      if (text == "block") {
        std::unique_lock<std::mutex> lock(gateMutex_);
        gate_.wait(lock, [this] { return opened_; });
      }
    });
    server_->SetOnUiBinary([this](const uint8_t* bytes, size_t length) {
      events_.Add("binary " + std::string(reinterpret_cast<const char*>(bytes), length));
    });
    // The handlers send, as the real ones do: a send from here must not deadlock.
    server_->SetOnUiConnected([this] {
      events_.Add("connected");
      server_->SendTextToUi("welcome");
    });
    server_->SetOnUiClosed([this] { events_.Add("closed"); });
  }
  void TearDown() override {
    OpenGate();
    server_->Stop();
  }
  void OpenGate() {
    std::lock_guard<std::mutex> lock(gateMutex_);
    opened_ = true;
    gate_.notify_all();
  }
  uint16_t port() const { return server_->port(); }

  std::shared_ptr<WsServer> server_;
  Events events_;
  std::mutex gateMutex_;
  std::condition_variable gate_;
  bool opened_ = false;
};

TEST_F(WsServerTest, HelloReplacesThePageInOrder) {
  Client first(port(), "/?token=" + kToken, true);
  ASSERT_TRUE(first.upgraded());
  ASSERT_EQ(first.Read()->payload, "welcome");
  const uint64_t firstGeneration = server_->generation();

  Client second(port(), "/", true);
  ASSERT_TRUE(second.upgraded());
  ASSERT_TRUE(second.Send(kWsText, Hello(kToken)));
  EXPECT_EQ(events_.WaitFor(4), (std::vector<std::string>{"connected", "closed", "connected", "text " + Hello(kToken)}));
  EXPECT_EQ(second.Read()->payload, "welcome");
  EXPECT_TRUE(first.Ended());
  EXPECT_EQ(server_->generation(), firstGeneration + 2);

  ASSERT_TRUE(second.Send(kWsBinary, "\x01\x02"));
  EXPECT_EQ(events_.WaitFor(5).back(), "binary \x01\x02");
  EXPECT_TRUE(server_->SendTextToUi("to the page"));
  EXPECT_EQ(second.Read()->payload, "to the page");
}

// A connection that has not proved the token must not take the page's place.
TEST_F(WsServerTest, FailedHelloLeavesTheCurrentPageAlone) {
  Client page(port(), "/?token=" + kToken, true);
  ASSERT_EQ(page.Read()->payload, "welcome");
  const uint64_t generation = server_->generation();

  const std::string refused[] = {
      Hello(std::string(64, 'e')),
      Hello(kToken.substr(1)),
      R"({"type":"hello"})",
      R"({"type":"hello","payload":{"token":5}})",
      R"({"type":"hi","payload":{"token":")" + kToken + R"("}})",
      "not json",
  };
  for (const auto& text : refused) {
    Client intruder(port(), "/", true);
    ASSERT_TRUE(intruder.upgraded());
    ASSERT_TRUE(intruder.Send(kWsText, text));
    EXPECT_TRUE(intruder.Ended()) << text;
  }
  {
    Client binaryHello(port(), "/", true);
    ASSERT_TRUE(binaryHello.Send(kWsBinary, Hello(kToken)));
    EXPECT_TRUE(binaryHello.Ended());
  }
  {
    Client silent(port(), "/", true);  // says nothing: ends at its hello deadline
    ASSERT_TRUE(silent.upgraded());
    EXPECT_TRUE(silent.Ended());
  }
  EXPECT_EQ(events_.Now(), (std::vector<std::string>{"connected"}));
  EXPECT_EQ(server_->generation(), generation);
  EXPECT_TRUE(server_->SendTextToUi("still here"));
  EXPECT_EQ(page.Read()->payload, "still here");
}

// A page reconnecting during a long request is taken on only once that request returned.
TEST_F(WsServerTest, ReconnectWaitsForTheMessageInProgress) {
  Client first(port(), "/?token=" + kToken, true);
  ASSERT_EQ(first.Read()->payload, "welcome");
  ASSERT_TRUE(first.Send(kWsText, "block"));
  events_.WaitFor(2);

  Client second(port(), "/?token=" + kToken, true);
  ASSERT_TRUE(second.upgraded());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(events_.Now(), (std::vector<std::string>{"connected", "text block"}));
  OpenGate();
  EXPECT_EQ(events_.WaitFor(4), (std::vector<std::string>{"connected", "text block", "closed", "connected"}));
  EXPECT_EQ(second.Read()->payload, "welcome");
  EXPECT_TRUE(first.Ended());
  // The old connection's end does not run the closed handler a second time.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(events_.Now().size(), 4u);
}

// Before its hello a connection may make the host hold one small message; once the page has
// proved the token the full limit applies.
TEST_F(WsServerTest, MessagesBeforeTheHelloAreHeldToTheSmallLimit) {
  const uint64_t small = kWsMaxPreHelloMessageBytes;
  struct Case {
    const char* name;
    std::function<bool(Client&)> send;
  };
  const std::vector<Case> cases = {
      // The announcement alone ends it: the payload is never sent.
      {"frame over the limit", [&](Client& c) { return c.SendRaw(std::string("\x81\xff\0\0\0\0\0\x01\0\x01", 10)); }},
      {"fragments over the limit",
       [&](Client& c) {
         return c.Send(kWsText, std::string(small / 2, '['), false) &&
                c.Send(kWsContinuation, std::string(small / 2 + 1, '['));
       }},
      {"ping over the limit", [&](Client& c) { return c.Send(kWsPing, std::string(small + 1, 'p')); }},
      // The largest allowed message is read, and refused for not being a hello.
      {"largest message, not a hello", [&](Client& c) { return c.Send(kWsText, std::string(small, '[')); }},
  };
  for (const auto& tc : cases) {
    Client stranger(port(), "/", true);
    ASSERT_TRUE(stranger.upgraded());
    EXPECT_TRUE(tc.send(stranger)) << tc.name;
    EXPECT_TRUE(stranger.Ended()) << tc.name;
  }
  EXPECT_TRUE(events_.Now().empty());

  Client page(port(), "/", true);
  const std::string big(small * 4, 'b');
  ASSERT_TRUE(page.Send(kWsText, Hello(kToken)));
  ASSERT_TRUE(page.Send(kWsBinary, big));
  EXPECT_EQ(events_.WaitFor(3).back(), "binary " + big);
}

// A frame header announcing length bytes of text, masked, without its payload.
std::string AnnounceText(uint64_t length) {
  std::string header("\x81\xff", 2);
  for (int i = 7; i >= 0; --i) header += static_cast<char>((length >> (8 * i)) & 0xff);
  return header + std::string(4, '\0');
}

// The page's connection admits the limit it was given, and what is over it is refused with close
// 1009 naming the limit. The page did not go away, so the closed handler (which stops the
// plugins) does not run, and the page is taken on again when it reconnects.
TEST_F(WsServerTest, MessagesOverThePageLimitAreRefusedWith1009) {
  const uint64_t limit = kWsMaxMessageBytes + 1000;
  server_->SetUiMessageLimit(limit);
  Client page(port(), "/?token=" + kToken, true);
  ASSERT_EQ(page.Read()->payload, "welcome");
  ASSERT_TRUE(page.SendRaw(AnnounceText(limit + 1)));
  const std::optional<WsFrame> close = page.Read();
  ASSERT_TRUE(close);
  EXPECT_EQ(close->opcode, kWsClose);
  EXPECT_EQ(close->payload, WsClosePayload(kWsCloseTooBig, "message exceeds 67109864 bytes"));
  EXPECT_TRUE(page.Ended());
  EXPECT_EQ(events_.Now(), (std::vector<std::string>{"connected"}));

  Client again(port(), "/?token=" + kToken, true);
  ASSERT_EQ(again.Read()->payload, "welcome");
  EXPECT_EQ(events_.Now(), (std::vector<std::string>{"connected", "connected"}));
  // A lower setting never goes below the limit of every other connection.
  server_->SetUiMessageLimit(1);
  Client third(port(), "/?token=" + kToken, true);
  ASSERT_EQ(third.Read()->payload, "welcome");
  ASSERT_TRUE(third.SendRaw(AnnounceText(kWsMaxMessageBytes + 1)));
  const std::optional<WsFrame> closeThird = third.Read();
  ASSERT_TRUE(closeThird);
  EXPECT_EQ(closeThird->payload, WsClosePayload(kWsCloseTooBig, "message exceeds 67108864 bytes"));
  // The second page was replaced by the third, which is what ran the closed handler.
  EXPECT_EQ(events_.Now(), (std::vector<std::string>{"connected", "connected", "closed", "connected"}));
}

// Upgrades run on their connections' threads: stalled clients delay no one, and past the cap the
// oldest stalled one is dropped to make room.
TEST_F(WsServerTest, StalledHandshakesHoldUpNoOne) {
  std::vector<platform::UniqueFd> stalled;
  const std::string partial = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port()) + "\r\n";
  for (size_t i = 0; i < kWsMaxPendingHandshakes + 2; ++i) {
    stalled.emplace_back(net::ConnectLoopback(port()));
    ASSERT_TRUE(net::SendAll(stalled.back().get(), partial.data(), partial.size()));
  }
  // The two oldest were pushed out at once, long before their deadline.
  for (size_t i = 0; i < 2; ++i) {
    ASSERT_EQ(net::WaitReadable(stalled[i].get(), -1, 10000), net::WaitResult::Ready);
    char c;
    EXPECT_EQ(net::Receive(stalled[i].get(), &c, 1), 0);
  }
  Client page(port(), "/?token=" + kToken, true);
  ASSERT_TRUE(page.upgraded());
  EXPECT_EQ(page.Read()->payload, "welcome");
}

// A page reconnecting while strangers wait for their hello deadline still gets in.
TEST_F(WsServerTest, ConnectionsWaitingForTheirHelloAreCapped) {
  std::vector<std::unique_ptr<Client>> waiting;
  for (size_t i = 0; i < kWsMaxUiAwaitingHello + 1; ++i) {
    waiting.push_back(std::make_unique<Client>(port(), "/", true));
    ASSERT_TRUE(waiting.back()->upgraded());
  }
  EXPECT_TRUE(waiting.front()->Ended());  // the oldest made room for the newest
  ASSERT_TRUE(waiting.back()->Send(kWsText, Hello(kToken)));
  EXPECT_EQ(events_.WaitFor(2), (std::vector<std::string>{"connected", "text " + Hello(kToken)}));
  EXPECT_EQ(waiting.back()->Read()->payload, "welcome");
}

TEST_F(WsServerTest, PageEndRunsTheClosedHandlerOnce) {
  {
    Client page(port(), "/?token=" + kToken, true);
    ASSERT_EQ(page.Read()->payload, "welcome");
    ASSERT_TRUE(page.Send(kWsClose, ""));
    auto answer = page.Read();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->opcode, kWsClose);
    EXPECT_EQ(answer->payload, "");
  }
  EXPECT_EQ(events_.WaitFor(2), (std::vector<std::string>{"connected", "closed"}));
  EXPECT_FALSE(server_->SendTextToUi("nobody"));
  server_->Stop();
  EXPECT_EQ(events_.Now().size(), 2u);
}

TEST_F(WsServerTest, StopClosesThePageAndASecondStopDoesNothing) {
  Client page(port(), "/?token=" + kToken, true);
  ASSERT_EQ(page.Read()->payload, "welcome");
  server_->Stop();
  EXPECT_EQ(events_.Now(), (std::vector<std::string>{"connected", "closed"}));
  EXPECT_TRUE(page.Ended());
  server_->Stop();
  EXPECT_EQ(events_.Now().size(), 2u);
  EXPECT_FALSE(server_->SendTextToUi("after stop"));
}

TEST_F(WsServerTest, OutletTargetReachesThePageWithoutKeepingTheServer) {
  RpcOutlet::Target target = server_->OutletTarget();
  EXPECT_FALSE(target.sendText("nobody yet"));
  Client page(port(), "/?token=" + kToken, true);
  ASSERT_EQ(page.Read()->payload, "welcome");
  EXPECT_EQ(target.generation(), server_->generation());
  EXPECT_TRUE(target.sendBinary(reinterpret_cast<const uint8_t*>("\x05"), 1));
  auto frame = page.Read();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->opcode, kWsBinary);
  EXPECT_EQ(frame->payload, "\x05");
  // A reply and its bytes: two frames, in order.
  const std::string bytes(70000, 'b');
  EXPECT_TRUE(target.sendTextThenBinary("reply", reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  auto text = page.Read();
  ASSERT_TRUE(text);
  EXPECT_EQ(text->opcode, kWsText);
  EXPECT_EQ(text->payload, "reply");
  auto binary = page.Read();
  ASSERT_TRUE(binary);
  EXPECT_EQ(binary->opcode, kWsBinary);
  EXPECT_EQ(binary->payload, bytes);

  server_->Stop();
  server_.reset();
  EXPECT_FALSE(target.sendText("gone"));
  server_ = WsServer::Create();  // for TearDown
}

// Plugin connections: the handler seam, the limit of three, and the end reported once.
class RecordingHandler : public PluginConnectionHandler {
 public:
  RecordingHandler(WsPeerPtr peer, Events* events, std::atomic<int>* ended)
      : peer_(std::move(peer)), events_(events), ended_(ended) {}
  bool OnText(const std::string& text) override {
    events_->Add("plugin " + text);
    if (text == "refuse") {
      peer_->SendClose("E_TOKEN_SIGNATURE");
      return false;
    }
    if (text == "stuck") std::this_thread::sleep_for(std::chrono::seconds(7));
    if (text == "flood") {
      const std::string big(4 << 20, 'x');
      for (int i = 0; i < 64; ++i) {
        if (!peer_->SendText(big)) return false;
      }
    }
    return peer_->SendText("ok " + text);
  }
  void OnNonTextMessage() override { events_->Add("plugin non-text"); }
  bool OnCheckDue() override {
    events_->Add("plugin idle");
    lastCheck_ = std::chrono::steady_clock::now();
    return idleKeeps_;
  }
  TimePoint NextCheckTime() const override { return lastCheck_ + std::chrono::milliseconds(300); }
  bool HelloDone() const override { return helloDone_; }
  void OnEnded() override { ++*ended_; }

  bool idleKeeps_ = true;
  bool helloDone_ = true;

 private:
  TimePoint lastCheck_ = std::chrono::steady_clock::now();
  WsPeerPtr peer_;
  Events* events_;
  std::atomic<int>* ended_;
};

class WsPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = WsServer::Create();
    ASSERT_TRUE(server_->Start(kToken));
    server_->SetPluginConnectionFactory([this](WsPeerPtr peer) {
      auto handler = std::make_unique<RecordingHandler>(std::move(peer), &events_, &ended_);
      handler->idleKeeps_ = idleKeeps_;
      handler->helloDone_ = helloDone_;
      ++made_;
      return handler;
    });
  }
  void TearDown() override { server_->Stop(); }
  void WaitEnded(int count) {
    for (int i = 0; i < 500 && ended_.load() < count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  std::shared_ptr<WsServer> server_;
  Events events_;
  std::atomic<int> ended_{0};
  std::atomic<int> made_{0};
  std::atomic<bool> idleKeeps_{true};
  std::atomic<bool> helloDone_{true};
};

TEST_F(WsPluginTest, TextsReachTheHandlerAndRefusalsEndWithClose) {
  Client plugin(server_->port(), "/?protocol=2", false);
  ASSERT_TRUE(plugin.upgraded());
  ASSERT_TRUE(plugin.Send(kWsText, "one"));
  EXPECT_EQ(plugin.Read()->payload, "ok one");
  ASSERT_TRUE(plugin.Send(kWsPing, "pp"));
  auto pong = plugin.Read();
  EXPECT_EQ(pong->opcode, kWsPong);
  EXPECT_EQ(pong->payload, "pp");
  ASSERT_TRUE(plugin.Send(kWsText, "refuse"));
  auto close = plugin.Read();
  ASSERT_TRUE(close);
  EXPECT_EQ(close->opcode, kWsClose);
  EXPECT_EQ(close->payload, "\x11\x31" "E_TOKEN_SIGNATURE");
  EXPECT_TRUE(plugin.Ended());
  WaitEnded(1);
  EXPECT_EQ(ended_.load(), 1);
}

TEST_F(WsPluginTest, NonTextMessageEndsTheConnection) {
  Client plugin(server_->port(), "/", false);
  ASSERT_TRUE(plugin.Send(kWsBinary, "bin"));
  EXPECT_TRUE(plugin.Ended());
  WaitEnded(1);
  EXPECT_EQ(events_.Now(), (std::vector<std::string>{"plugin non-text"}));
  EXPECT_EQ(ended_.load(), 1);
}

TEST_F(WsPluginTest, IdleRefusalEndsTheConnection) {
  idleKeeps_ = false;
  Client plugin(server_->port(), "/", false);
  ASSERT_TRUE(plugin.upgraded());
  EXPECT_TRUE(plugin.Ended());
  WaitEnded(1);
  EXPECT_EQ(events_.Now(), (std::vector<std::string>{"plugin idle"}));
  EXPECT_EQ(ended_.load(), 1);
}

// The check comes on its own schedule: a peer that keeps dribbling bytes of a frame that never
// completes does not put it off.
TEST_F(WsPluginTest, DribblingDoesNotPutTheCheckOff) {
  idleKeeps_ = false;
  Client plugin(server_->port(), "/", false);
  ASSERT_TRUE(plugin.upgraded());
  ASSERT_TRUE(plugin.SendRaw("\x81\xfe\x01\x01"));  // a 256-byte text announced, then a byte at a time
  bool open = true;
  for (int i = 0; i < 100 && open; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    open = plugin.SendRaw("x");
  }
  EXPECT_TRUE(plugin.Ended());
  WaitEnded(1);
  EXPECT_EQ(events_.Now(), (std::vector<std::string>{"plugin idle"}));
}

TEST_F(WsPluginTest, MessageLimitFollowsTheHello) {
  const std::string largest(kWsMaxPreHelloMessageBytes, 'a');
  {
    helloDone_ = false;
    Client plugin(server_->port(), "/", false);
    ASSERT_TRUE(plugin.Send(kWsText, largest));
    EXPECT_EQ(plugin.Read()->payload.size(), largest.size() + 3);
    plugin.Send(kWsText, largest + "a");
    EXPECT_TRUE(plugin.Ended());
  }
  helloDone_ = true;
  Client plugin(server_->port(), "/", false);
  ASSERT_TRUE(plugin.Send(kWsText, largest + largest));
  EXPECT_EQ(plugin.Read()->payload, "ok " + largest + largest);
}

TEST_F(WsPluginTest, AtMostThreePluginConnections) {
  std::vector<std::unique_ptr<Client>> plugins;
  for (int i = 0; i < 3; ++i) {
    plugins.push_back(std::make_unique<Client>(server_->port(), "/", false));
    ASSERT_TRUE(plugins.back()->Send(kWsText, "hi"));
    ASSERT_EQ(plugins.back()->Read()->payload, "ok hi");
  }
  Client fourth(server_->port(), "/", false);
  EXPECT_TRUE(fourth.upgraded());  // the handshake succeeds, then the socket is closed
  EXPECT_TRUE(fourth.Ended());
  EXPECT_EQ(made_.load(), 3);

  plugins.pop_back();  // a slot frees once a connection has ended
  WaitEnded(1);
  Client again(server_->port(), "/", false);
  ASSERT_TRUE(again.Send(kWsText, "back"));
  EXPECT_EQ(again.Read()->payload, "ok back");
}

TEST_F(WsPluginTest, PeerThatStopsReadingEndsInsteadOfBlockingTheSender) {
  Client plugin(server_->port(), "/", false);
  ASSERT_TRUE(plugin.Send(kWsText, "flood"));  // and never read what comes back
  for (int i = 0; i < 3000 && ended_.load() < 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(ended_.load(), 1);
}

TEST_F(WsPluginTest, StopIsBoundedWithAStuckHandler) {
  Client stuck(server_->port(), "/", false);
  ASSERT_TRUE(stuck.Send(kWsText, "stuck"));
  Client live(server_->port(), "/", false);
  ASSERT_TRUE(live.Send(kWsText, "x"));
  ASSERT_EQ(live.Read()->payload, "ok x");
  events_.WaitFor(2);
  auto stopped = std::async(std::launch::async, [this] { server_->Stop(); });
  // Bounded: Stop gives up waiting for the stuck thread, which still holds the server alive.
  EXPECT_EQ(stopped.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_TRUE(live.Ended());
  server_.reset();
  WaitEnded(2);
  for (int i = 0; i < 300 && ended_.load() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(ended_.load(), 2);
  server_ = WsServer::Create();
}

TEST(WsServerPlain, WithoutFactoryPluginsCloseAfterHandshake) {
  auto server = WsServer::Create();
  ASSERT_TRUE(server->Start(kToken));
  Client plugin(server->port(), "/", false);
  EXPECT_TRUE(plugin.upgraded());
  EXPECT_TRUE(plugin.Ended());
  server->Stop();
}

TEST(WsServerPlain, CheckUiHello) {
  auto server = WsServer::Create();
  ASSERT_TRUE(server->Start(kToken));
  const std::string token = R"("token":")" + kToken + R"(")";
  const std::string deep = std::string(1000, '[') + std::string(1000, ']');
  // Read as the parsed document would be: a repeated member counts with its last value.
  const std::vector<std::pair<std::string, bool>> cases = {
      {Hello(kToken), true},
      {R"({"type":"hello","protocol":2,"payload":{)" + token + R"(,"x":1}})", true},
      {R"({"type":"hello","payload":{"token":"x"},"payload":{)" + token + "}}", true},
      {R"({"type":"hi","payload":{)" + token + R"(},"type":"hello"})", true},
      {R"({"type":"hello","payload":{)" + token + R"(,"x":{"token":5},"y":)" + deep + "}}", true},
      {R"({"type":"hello","payload":{)" + token + R"(},"payload":5})", false},
      {R"({"type":"hello","payload":{)" + token + R"(,"token":["x"]}})", false},
      {R"({"type":{"type":"hello"},"payload":{)" + token + "}}", false},
      {R"({"payload":{)" + token + "}}", false},
      {Hello(kToken) + " x", false},
      {Hello(""), false},
      {Hello(kToken + "f"), false},
      {R"({"type":"hello","payload":"x"})", false},
      {R"(["hello"])", false},
      {R"({"type":1})", false},
      {std::string(65536, '['), false},
      {"", false},
  };
  for (const auto& [text, accepted] : cases) EXPECT_EQ(server->CheckUiHello(text), accepted) << text.substr(0, 200);
  server->Stop();
}

}  // namespace

namespace {

TEST(WsServerPlain, FailedListenIsAFailedStart) {
  platform::net::SetListenForTesting([](int, uint16_t*) { return -1; });
  auto server = WsServer::Create();
  EXPECT_FALSE(server->Start(kToken));
  platform::net::SetListenForTesting(nullptr);
  EXPECT_EQ(server->port(), 0);
  server->Stop();
  server->Stop();
}

}  // namespace
