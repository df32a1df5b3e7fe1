#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cerrno>
#include <thread>

#include "platform/net.h"
#include "platform/unique_fd.h"
#include "remote/remote_control.h"
#include "remote/remote_listener.h"
#include "remote/remote_wire.h"
#include "platform/files.h"
#include "remote_test_support.h"
#include "support/temp_folder.h"

using nlohmann::json;

class PacingTest : public ::testing::Test {
 protected:
  FakeClock clock;
  std::unique_ptr<remote::State> state = MakeTestState(clock);
  remote::Viewer viewer;

  void Queue(size_t padding, int count) {
    std::lock_guard<std::mutex> lock(viewer.mutex);
    for (int i = 0; i < count; ++i) viewer.frameQueue.push_back({json{{"seq", i + 1}, {"pad", std::string(padding, 'x')}}, padding});
  }
  void Subscribe(int32_t rate) {
    viewer.subscribed = true;
    viewer.baseRate = viewer.rate = rate;
  }
};

TEST_F(PacingTest, RateSpacesTheMessages) {
  Subscribe(3);
  Queue(10, 3);
  ASSERT_TRUE(remote::PumpOutbound(*state, viewer));
  clock.Advance(332);
  EXPECT_FALSE(remote::PumpOutbound(*state, viewer));
  clock.Advance(1);
  EXPECT_TRUE(remote::PumpOutbound(*state, viewer));
}

TEST_F(PacingTest, ByteBudgetLetsTheFirstMessageOfAWindowThroughWhateverItsSize) {
  Subscribe(20);
  Queue(300000, 2);
  ASSERT_TRUE(remote::PumpOutbound(*state, viewer));
  clock.Advance(50);
  EXPECT_FALSE(remote::PumpOutbound(*state, viewer));  // over the window's budget: waits
  clock.Advance(949);
  EXPECT_FALSE(remote::PumpOutbound(*state, viewer));
  clock.Advance(1);
  EXPECT_TRUE(remote::PumpOutbound(*state, viewer));
  EXPECT_EQ(viewer.sentInWindow, 1);
}

TEST_F(PacingTest, NothingLeavesUnlessSubscribedAndControlGoesFirst) {
  Queue(10, 1);
  EXPECT_FALSE(remote::PumpOutbound(*state, viewer));
  Subscribe(20);
  {
    std::lock_guard<std::mutex> lock(viewer.mutex);
    viewer.controlQueue.push_back({json{{"seq", 99}}, 9});
  }
  auto first = remote::PumpOutbound(*state, viewer);
  ASSERT_TRUE(first);
  EXPECT_EQ((*first)["seq"], 99);
}

// The listener on loopback with the test's address list.
class ListenerTest : public ::testing::Test {
 protected:
  FakeClock clock;
  std::unique_ptr<remote::State> state = MakeTestState(clock);
  uint16_t port = 0;

  void SetUp() override {
    state->port = 0;
    ASSERT_EQ(remote::StartListener(*state), "");
    std::lock_guard<std::mutex> lock(state->mutex);
    port = static_cast<uint16_t>(state->boundPort);
  }
  void TearDown() override { remote::StopListener(*state); }

  platform::UniqueFd Connect() { return platform::UniqueFd(platform::net::ConnectLoopback(port)); }
  // Bounded: until the accept thread has handed n connections to their threads.
  void WaitForPending(int n) {
    for (int i = 0; i < 300; ++i) {
      {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (state->pendingHandshakes == n) return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  // Whether the host closes the connection (reads end) within a few seconds.
  static bool ClosedByHost(int fd) {
    remote::SetSocketTimeouts(fd, 3000, -1);
    char c;
    ssize_t n = recv(fd, &c, 1, 0);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
  }
};

// A peer that keeps its handshake alive with a byte every 100 ms, never finishing it.
struct Trickler {
  platform::UniqueFd fd;
  std::thread thread;
  explicit Trickler(uint16_t port) : fd(platform::net::ConnectLoopback(port)) {
    thread = std::thread([f = fd.get()] {
      for (int i = 0; i < 100; ++i) {
        if (send(f, "G", 1, MSG_NOSIGNAL) != 1) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    });
  }
  ~Trickler() {
    platform::net::ShutdownSocket(fd.get());
    thread.join();
  }
};

TEST_F(ListenerTest, PendingHandshakesAreCappedAndEachHasADeadline) {
  std::vector<std::unique_ptr<Trickler>> pending;
  for (int i = 0; i < remote::kMaxPendingHandshakes; ++i) pending.push_back(std::make_unique<Trickler>(port));
  WaitForPending(remote::kMaxPendingHandshakes);
  // One more is closed at once, although it too keeps talking; the others stay.
  Trickler extra(port);
  EXPECT_TRUE(ClosedByHost(extra.fd.get()));
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    EXPECT_EQ(state->pendingHandshakes, remote::kMaxPendingHandshakes);
  }
}

TEST_F(ListenerTest, AHandshakeEndsAtItsOverallDeadlineHoweverAliveItKeepsItself) {
  Trickler slow(port);
  WaitForPending(1);
  clock.Advance(remote::kHandshakeDeadlineMs + 1);
  EXPECT_TRUE(ClosedByHost(slow.fd.get()));
}

TEST_F(ListenerTest, StopWakesConnectionsInTheirHandshake) {
  Trickler silent(port);
  WaitForPending(1);
  remote::StopListener(*state);  // returns: the connection's thread was woken and joined
  EXPECT_TRUE(ClosedByHost(silent.fd.get()));
  std::lock_guard<std::mutex> lock(state->mutex);
  EXPECT_EQ(state->pendingHandshakes, 0);
  EXPECT_TRUE(state->viewerThreads.empty());
}

TEST_F(ListenerTest, BytesAfterTheHeaderBlockBelongToTheFirstFrame) {
  platform::UniqueFd fd = Connect();
  // The request and a first message in one send: the hello must still be read (and refused here
  // for its protocol, which shows it was parsed).
  const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                              "\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n" +
                              remote::EncodeFrame(1, R"({"type":"hello","payload":{"protocol":1}})", true);
  ASSERT_TRUE(platform::net::SendAll(fd.get(), request.data(), request.size()));
  remote::SetSocketTimeouts(fd.get(), 3000, -1);
  std::string data;
  char buffer[4096];
  for (;;) {
    ssize_t n = recv(fd.get(), buffer, sizeof buffer, 0);
    if (n <= 0) break;
    data.append(buffer, size_t(n));
  }
  const size_t end = data.find("\r\n\r\n");
  ASSERT_NE(end, std::string::npos) << data;
  std::string rest = data.substr(end + 4), text;
  remote::WireFrame frame;
  ASSERT_EQ(remote::TakeFrame(rest, false, &frame), remote::FrameStatus::Frame);
  EXPECT_EQ(json::parse(frame.payload), json::parse(R"({"type":"error","code":"E_ROLE_DENIED"})"));
  ASSERT_EQ(remote::TakeFrame(rest, false, &frame), remote::FrameStatus::Frame);
  EXPECT_EQ(frame.opcode, 8);
  EXPECT_EQ(frame.payload, std::string("\x11\x31") + "E_ROLE_DENIED");  // 4401
}

TEST(RemoteStart, StoredPortIsRewrittenAndDisabledStaysSilent) {
  testsupport::TempFolder folder;
  FakeClock clock;
  auto state = MakeTestState(clock);
  state->settingsPath = folder / "remote-access.json";
  ASSERT_TRUE(platform::WriteFileAtomic(state->settingsPath, R"({"enabled":false,"port":1234,"v":1})"));
  int statusEvents = 0;
  state->listenerStatusHook = [&] { ++statusEvents; };
  remote::Start(*state);
  std::string text;
  ASSERT_TRUE(platform::ReadFile(state->settingsPath, &text));
  EXPECT_EQ(text, R"({"enabled":false,"port":51515,"v":1})");
  EXPECT_FALSE(state->listening);
  EXPECT_EQ(state->port, remote::kRemotePort);
  EXPECT_EQ(statusEvents, 0);
  // A page that connects is still told, so it shows "off" without asking.
  remote::OnPageConnected(*state);
  EXPECT_EQ(statusEvents, 1);
}
