#include <gtest/gtest.h>
#include <sys/socket.h>

#include <arpa/inet.h>
#include <netinet/in.h>

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

// A connection to the listener from another loopback address (127.0.0.n), as from another machine.
static platform::UniqueFd ConnectFrom(uint16_t port, int n) {
  platform::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in from{}, to{};
  from.sin_family = to.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(0x7f000000u | static_cast<uint32_t>(n));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  EXPECT_EQ(bind(fd.get(), reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
  EXPECT_EQ(connect(fd.get(), reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  return fd;
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
  size_t FailuresOf(const std::string& ip) {
    std::lock_guard<std::mutex> lock(state->mutex);
    for (const auto& r : state->guard.failuresByIp) {
      if (r.ip == ip) return r.times.size();
    }
    return 0;
  }
  size_t GlobalFailures() {
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->guard.recentFailures.size();
  }
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
  // Whether the host closes the connection (reads end) within a few seconds; what it sent first
  // (an upgrade answer) is read past.
  static bool ClosedByHost(int fd) {
    remote::SetSocketTimeouts(fd, 3000, -1);
    char c[256];
    ssize_t n;
    while ((n = recv(fd, c, sizeof c, 0)) > 0) {
    }
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
  }
};

// A peer that keeps its handshake alive with a byte every 100 ms, never finishing it: from
// 127.0.0.from, and with upgrade, after a whole upgrade request, in its first frame.
struct Trickler {
  platform::UniqueFd fd;
  std::thread thread;
  explicit Trickler(uint16_t port, int from = 1, bool upgrade = false) : fd(ConnectFrom(port, from)) {
    thread = std::thread([f = fd.get(), port, upgrade] {
      if (upgrade) {
        const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                    "\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n" +
                                    remote::EncodeFrame(1, std::string(200, ' '), true).substr(0, 6);
        if (!platform::net::SendAll(f, request.data(), request.size())) return;
      }
      for (int i = 0; i < 100; ++i) {
        if (send(f, upgrade ? " " : "G", 1, MSG_NOSIGNAL) != 1) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    });
  }
  ~Trickler() {
    platform::net::ShutdownSocket(fd.get());
    thread.join();
  }
};

TEST_F(ListenerTest, PendingHandshakesAreCappedOverallAndPerAddress) {
  std::vector<std::unique_ptr<Trickler>> pending;
  for (int i = 0; i < remote::kMaxPendingHandshakesPerAddress; ++i) pending.push_back(std::make_unique<Trickler>(port, 2));
  WaitForPending(remote::kMaxPendingHandshakesPerAddress);
  // One address cannot take more slots, however many connections it opens.
  Trickler sameAddress(port, 2);
  EXPECT_TRUE(ClosedByHost(sameAddress.fd.get()));
  for (int n = 3; static_cast<int>(pending.size()) < remote::kMaxPendingHandshakes; ++n) {
    pending.push_back(std::make_unique<Trickler>(port, n));
    WaitForPending(static_cast<int>(pending.size()));
  }
  // One more is closed at once, although it too keeps talking; the others stay.
  Trickler extra(port, 40);
  EXPECT_TRUE(ClosedByHost(extra.fd.get()));
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    EXPECT_EQ(state->pendingHandshakes, remote::kMaxPendingHandshakes);
  }
  EXPECT_EQ(GlobalFailures(), 0u);  // refused for a full table, not for a failure
}

// Trickled bytes never stretch the deadline, in the request head or in the first frame after
// the upgrade; the end counts against the address only, never toward the global pause.
TEST_F(ListenerTest, AHandshakeEndsAtItsOverallDeadlineHoweverAliveItKeepsItself) {
  for (bool upgrade : {false, true}) {
    SCOPED_TRACE(upgrade ? "first frame" : "request head");
    const int from = upgrade ? 3 : 2;
    const std::string ip = "127.0.0." + std::to_string(from);
    Trickler slow(port, from, upgrade);
    WaitForPending(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // well into its bytes
    clock.Advance(remote::kHandshakeDeadlineMs + 1);
    EXPECT_TRUE(ClosedByHost(slow.fd.get()));
    WaitForPending(0);
    EXPECT_EQ(FailuresOf(ip), 1u);
    EXPECT_EQ(GlobalFailures(), 0u);
  }
}

// Five handshakes that ran out of time lock their address: its next connection is closed at
// accept without taking a slot, while another address still gets one.
TEST_F(ListenerTest, AnAddressWhoseHandshakesRunOutOfTimeIsLockedOut) {
  for (int i = 0; i < 5; ++i) {
    Trickler slow(port, 5);
    WaitForPending(1);
    clock.Advance(remote::kHandshakeDeadlineMs + 1);
    EXPECT_TRUE(ClosedByHost(slow.fd.get()));
    WaitForPending(0);
  }
  EXPECT_EQ(FailuresOf("127.0.0.5"), 5u);
  Trickler locked(port, 5);
  EXPECT_TRUE(ClosedByHost(locked.fd.get()));
  Trickler other(port, 6);
  WaitForPending(1);
  std::lock_guard<std::mutex> lock(state->mutex);
  EXPECT_EQ(state->pendingHandshakes, 1);
  EXPECT_EQ(state->guard.pauseUntilMs, 0);
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
