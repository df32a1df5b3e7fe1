// The remote fan-out under a publisher at full speed: publishes per second with 0, 1, 4, 16 and 64
// subscribed viewers whose queues are sent over loopback TCP and read by a client each, beside
// the publisher building and serialising the same messages with no fan-out (the hub's own work)
// in the same run; then publish-to-viewer latency for one viewer at maxHz 20.
//
// Then the outgoing client as the viewer: instance A's real listener on loopback, instance B's
// outgoing connection to it, and B's page connection (a loopback WebSocket carrying B's events);
// publish on A to "remote.batch" read on B's page, p50/p99, printed beside a direct viewer of the
// same listener (our own client speaking the viewer protocol) timing the same frames.
//
// Last, late viewers of a 1 kHz source: the time from subscribe to the first live frame for a
// viewer subscribing from seq 0 a few seconds into the run, beside a viewer subscribing at the
// head at the same moment (alternating rounds, medians).
//
// The viewers of the first part are attached to the state directly (past the listener's limit of four admitted
// viewers); each has a sender thread doing what a session does with its queue (pump, frame, send)
// and a reader on the other end of its loopback connection.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/json.h"
#include "bridge/tokens/capability_token_registry.h"
#include "bridge/ws_handshake.h"
#include "platform/net.h"
#include "platform/unique_fd.h"
#include "remote/out_conn.h"
#include "remote/remote_listener.h"
#include "remote/remote_wire.h"
#include "token_minter.h"

namespace net = platform::net;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

namespace {

const std::string kSource = "bench@" + std::string(64, 'b');

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

json MakeFrame(int64_t seq) {
  return {{"source", kSource}, {"seq", seq}, {"provenance", "verified"},
          {"frame", {{"t", NowUs()}, {"values", {1.5, 2.5, 3.5, 4.5}}}}};
}

struct LoopbackPair {
  platform::UniqueFd sender, reader;
  bool Open() {
    uint16_t port = 0;
    platform::UniqueFd listener(net::ListenLoopback(1, &port));
    if (!listener) return false;
    reader.Reset(net::ConnectLoopback(port));
    if (net::WaitReadable(listener.get(), -1, 2000) != net::WaitResult::Ready) return false;
    sender.Reset(net::AcceptConnection(listener.get()));
    return sender && reader;
  }
};

struct BenchViewer {
  remote::ViewerPtr viewer = std::make_shared<remote::Viewer>();
  LoopbackPair pair;
  std::atomic<uint64_t> delivered{0};
  std::vector<int64_t> latencyUs;
  std::thread sender, reader;
};

void StartViewer(remote::State& state, BenchViewer& v, int32_t rate, std::atomic<bool>& stop) {
  v.viewer->subscribed = true;
  v.viewer->allSources = true;
  v.viewer->baseRate = v.viewer->rate = rate;
  v.viewer->socket = v.pair.sender.get();
  v.sender = std::thread([&state, &v, &stop] {
    while (!stop) {
      if (auto m = remote::PumpOutbound(state, *v.viewer)) {
        json out = {{"type", "rt.batch"}, {"frames", json::array({std::move(*m)})}};
        if (!remote::WsSendText(v.pair.sender.get(), DumpCompact(out), false)) return;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  });
  v.reader = std::thread([&v] {
    remote::SetSocketTimeouts(v.pair.reader.get(), 200, -1);
    std::string buffer, text;
    for (;;) {
      remote::ReadResult r = remote::WsReadMessage(v.pair.reader.get(), buffer, &text, false);
      if (r == remote::ReadResult::Closed) return;
      if (r == remote::ReadResult::Timeout) continue;
      const json m = json::parse(text, nullptr, false);
      if (m.is_object() && m.contains("frames")) {
        const json& f = m["frames"][0];
        if (f.contains("frame") && f["frame"].contains("t")) v.latencyUs.push_back(NowUs() - f["frame"]["t"].get<int64_t>());
      }
      ++v.delivered;
    }
  });
}

void StopViewers(std::vector<std::unique_ptr<BenchViewer>>& viewers, std::atomic<bool>& stop) {
  stop = true;
  for (auto& v : viewers) v->sender.join();
  for (auto& v : viewers) net::ShutdownSocket(v->pair.sender.get());
  for (auto& v : viewers) v->reader.join();
}

// Publishes for the given time; returns publishes per second.
double Publish(remote::State* state, double seconds) {
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  int64_t seq = 1;
  size_t sink = 0;
  auto start = Clock::now();
  while (Clock::now() < end) {
    for (int i = 0; i < 64; ++i) {
      json m = MakeFrame(seq++);
      if (state) {
        remote::FanOutVerified(*state, m);
      } else {
        sink += DumpCompact(m).size();  // the hub's own cost: build and serialise
      }
    }
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  if (sink == 1) std::puts("");
  return double(seq - 1) / elapsed;
}

// The bench's own issuer: a fixed seed (this key signs nothing but the bench's tokens) and a
// registry that trusts it, as the host's does the real issuer.
constexpr const char* kIssuer = "https://issuer.bench.invalid";
constexpr const char* kInstall = "0123456789abcdef0123456789abcdef";
constexpr const char* kSession = "fedcba9876543210fedcba9876543210";

struct BenchIssuer {
  qvsign::SigningKey key;
  std::unique_ptr<CapabilityTokenRegistry> registry;
  bool Init() {
    if (!qvsign::SigningKeyFromSeedHex(std::string(64, '7'), key)) return false;
    registry = std::make_unique<CapabilityTokenRegistry>(key.publicKey, kIssuer);
    registry->SetInstallation(kInstall, kSession);
    return registry->ApplyRevocations(qvsign::SignRevocationList(key, {{"kid", "rpc-cap"}}).dump()).code.empty();
  }
  std::string ViewToken() const {
    json claims = {{"sub", "user:bench"}, {"aud", std::string("qvn-install:") + kInstall + "/" + kSession}};
    const int64_t now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    qvsign::FillViewDefaults(claims, kIssuer, now);
    return qvsign::MintToken(key, claims);
  }
};

// The publish time of every frame of an "rt.batch" or "remote.batch" text, as latency samples.
void TimeFrames(const std::string& text, const char* type, std::vector<int64_t>& latencyUs) {
  const int64_t now = NowUs();
  const json m = json::parse(text, nullptr, false);
  if (!m.is_object() || m.value("type", "") != type || !m.contains("frames") || !m["frames"].is_array()) return;
  for (const json& f : m["frames"]) {
    if (f.contains("frame") && f["frame"].is_object() && f["frame"].contains("t")) {
      latencyUs.push_back(now - f["frame"]["t"].get<int64_t>());
    }
  }
}

// Our own viewer of a listener on loopback, up to its "hello-ok"; fd invalid on any failure.
struct ViewerConn {
  platform::UniqueFd fd;
  std::string buffer;
};
ViewerConn OpenViewer(uint16_t port, const std::string& token) {
  ViewerConn conn;
  platform::UniqueFd& fd = conn.fd;
  std::string& buffer = conn.buffer;
  fd.Reset(net::ConnectLoopback(port));
  if (!fd) return conn;
  net::SetNoDelay(fd.get());
  remote::SetSocketTimeouts(fd.get(), 3000, 3000);
  const std::string key = "dGhlIHNhbXBsZSBub25jZQ==";
  const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                              "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key +
                              "\r\nSec-WebSocket-Version: 13\r\n\r\n";
  auto fail = [&] {
    fd.Reset();
    return std::move(conn);
  };
  if (!net::SendAll(fd.get(), request.data(), request.size())) return fail();
  size_t end;
  while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
    char chunk[1024];
    const ssize_t n = net::Receive(fd.get(), chunk, sizeof chunk);
    if (n <= 0 || buffer.size() > 8192) return fail();
    buffer.append(chunk, static_cast<size_t>(n));
  }
  if (buffer.compare(0, 13, "HTTP/1.1 101 ") != 0 ||
      remote::FindHeaderValue(buffer.substr(0, end), "Sec-WebSocket-Accept") != WsAcceptKey(key)) {
    return fail();
  }
  buffer.erase(0, end + 4);
  const json hello = {{"type", "hello"}, {"payload", {{"protocol", 2}, {"role", "viewer"}, {"token", token}}}};
  if (!remote::WsSendText(fd.get(), DumpCompact(hello), true)) return fail();
  std::string text;
  if (remote::WsReadMessage(fd.get(), buffer, &text, false) != remote::ReadResult::Message ||
      json::parse(text, nullptr, false).value("type", "") != "hello-ok") {
    return fail();
  }
  return conn;
}

// Our own viewer of a listener on loopback: upgrade, hello, subscribe at maxHz 20, then every
// "rt.batch" timed until stop. ready is set once subscribed; false on any failure before that.
bool DirectViewer(uint16_t port, const std::string& token, std::atomic<bool>& ready, std::atomic<bool>& stop,
                  std::vector<int64_t>& latencyUs) {
  ViewerConn conn = OpenViewer(port, token);
  platform::UniqueFd& fd = conn.fd;
  std::string& buffer = conn.buffer;
  std::string text;
  if (!fd) return false;
  const json subscribe = {{"type", "live.subscribe"}, {"payload", {{"maxHz", 20}}}};
  if (!remote::WsSendText(fd.get(), DumpCompact(subscribe), true)) return false;
  ready = true;
  remote::SetSocketTimeouts(fd.get(), 200, -1);
  while (!stop) {
    const remote::ReadResult r = remote::WsReadMessage(fd.get(), buffer, &text, false);
    if (r == remote::ReadResult::Closed) break;
    if (r == remote::ReadResult::Message) TimeFrames(text, "rt.batch", latencyUs);
  }
  return true;
}

std::optional<remote::TargetAddress> LoopbackTarget(const std::string& address) {
  const size_t colon = address.find(':');
  if (colon == std::string::npos || address.compare(0, colon, "127.0.0.1") != 0) return std::nullopt;
  return remote::TargetAddress{"127.0.0.1", "lan", static_cast<uint16_t>(std::stoi(address.substr(colon + 1)))};
}

void PrintLatency(const char* what, std::vector<int64_t> lat) {
  std::sort(lat.begin(), lat.end());
  if (lat.empty()) {
    std::printf("%s: no messages arrived\n", what);
    return;
  }
  auto pct = [&](double p) { return lat[std::min(lat.size() - 1, size_t(p * double(lat.size())))] / 1000.0; };
  std::printf("%s, %zu samples: p50 %.2f ms, p99 %.2f ms\n", what, lat.size(), pct(0.50), pct(0.99));
}

// A publishes at 10 Hz (under maxHz 20, so nothing merges); B's outgoing connection and a direct
// viewer of A both watch, and each frame is timed where it arrives: B's page and the direct viewer.
int OutgoingClientLatency() {
  BenchIssuer issuer;
  if (!issuer.Init()) {
    std::printf("bench issuer failed\n");
    return 1;
  }
  remote::State a(remote::Clock::System(), [] { return std::vector<remote::LanAddress>{{"127.0.0.1", "lan"}}; },
                  issuer.registry.get());
  a.port = 0;
  if (!remote::StartListener(a).empty()) {
    std::printf("listener failed\n");
    return 1;
  }
  uint16_t port;
  {
    std::lock_guard<std::mutex> lock(a.mutex);
    port = static_cast<uint16_t>(a.boundPort);
  }
  remote::FanOutVerified(a, {{"source", kSource}, {"seq", 1}, {"provenance", "verified"},
                             {"declare", {{"kind", "stream"}, {"channels", json::array()}}}});

  // B's page connection: B's events go out as server text frames, as the bridge sends them.
  LoopbackPair page;
  if (!page.Open()) return 1;
  net::SetNoDelay(page.sender.get());
  std::atomic<bool> bConnected{false};
  std::vector<int64_t> pageLatency;
  remote::State b(remote::Clock::System(), [] { return std::vector<remote::LanAddress>{}; });
  std::mutex pageMutex;
  b.eventSink = [&](const std::string& text) { remote::WsSendText(page.sender.get(), text, false, &pageMutex); };
  std::thread pageReader([&] {
    remote::SetSocketTimeouts(page.reader.get(), 200, -1);
    std::string buffer, text;
    for (;;) {
      const remote::ReadResult r = remote::WsReadMessage(page.reader.get(), buffer, &text, false);
      if (r == remote::ReadResult::Closed) return;
      if (r != remote::ReadResult::Message) continue;
      if (text.find("\"state\":\"connected\"") != std::string::npos) bConnected = true;
      TimeFrames(text, "remote.batch", pageLatency);
    }
  });
  std::atomic<bool> directReady{false}, stop{false};
  std::vector<int64_t> directLatency;
  std::thread direct([&] { DirectViewer(port, issuer.ViewToken(), directReady, stop, directLatency); });
  const std::string error = remote::HandleConnect(b, "bench", issuer.ViewToken(),
                                                  {"127.0.0.1:" + std::to_string(port)}, json::object(), 20,
                                                  LoopbackTarget);
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while ((!bConnected || !directReady) && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  int result = 0;
  if (!error.empty() || !bConnected || !directReady) {
    std::printf("outgoing client or direct viewer did not connect (%s)\n", error.c_str());
    result = 1;
  } else {
    auto next = Clock::now();
    for (int seq = 2; seq <= 101; ++seq) {
      remote::FanOutVerified(a, MakeFrame(seq));
      next += std::chrono::milliseconds(100);
      std::this_thread::sleep_until(next);
    }
  }
  remote::CloseAllOutConns(b);
  stop = true;
  direct.join();
  net::ShutdownSocket(page.sender.get());
  pageReader.join();
  remote::StopListener(a);
  if (result == 0) {
    PrintLatency("publish on A to \"remote.batch\" on B's page via B's outgoing client, maxHz 20", pageLatency);
    PrintLatency("publish on A to a direct viewer of A (our own client), maxHz 20, same frames", directLatency);
  }
  return result;
}

// A late viewer of a 1 kHz source: two viewers of A's real listener subscribe at the same moment,
// 3 s into the run (and again in each later round), one from the start of the backlog (fromSeq 0)
// and one at its head; each is timed from its subscribe to the first frame published after it.
int LateSubscribeLatency() {
  BenchIssuer issuer;
  if (!issuer.Init()) return 1;
  remote::State a(remote::Clock::System(), [] { return std::vector<remote::LanAddress>{{"127.0.0.1", "lan"}}; },
                  issuer.registry.get());
  a.port = 0;
  if (!remote::StartListener(a).empty()) return 1;
  uint16_t port;
  {
    std::lock_guard<std::mutex> lock(a.mutex);
    port = static_cast<uint16_t>(a.boundPort);
  }
  std::atomic<int64_t> head{0};
  std::atomic<bool> stop{false};
  std::thread publisher([&] {
    remote::FanOutVerified(a, {{"source", kSource}, {"seq", 1}, {"provenance", "verified"},
                               {"declare", {{"streamId", "s"}, {"epoch", 0}, {"clock", "wall"},
                                            {"channels", json::array()}}}});
    head = 1;
    auto next = Clock::now();
    for (int64_t seq = 2; !stop; ++seq) {
      remote::FanOutVerified(a, MakeFrame(seq));
      head = seq;
      next += std::chrono::microseconds(1000);
      std::this_thread::sleep_until(next);
    }
  });
  // Milliseconds from subscribe to the first frame above the head at subscribe; -1 when none
  // came within 30 s.
  auto timeToLive = [&](ViewerConn& conn, int64_t headAtSubscribe, Clock::time_point subscribedAt) {
    remote::SetSocketTimeouts(conn.fd.get(), 100, -1);
    std::string text;
    while (Clock::now() - subscribedAt < std::chrono::seconds(30)) {
      if (remote::WsReadMessage(conn.fd.get(), conn.buffer, &text, false) != remote::ReadResult::Message) continue;
      const json m = json::parse(text, nullptr, false);
      if (!m.is_object() || m.value("type", "") != "rt.batch") continue;
      const json& f = m["frames"][0];
      if (f.contains("frame") && f.value("seq", int64_t(0)) > headAtSubscribe) {
        return std::chrono::duration<double, std::milli>(Clock::now() - subscribedAt).count();
      }
    }
    return -1.0;
  };
  std::this_thread::sleep_for(std::chrono::seconds(3));
  std::vector<double> late, atHead;
  int result = 0;
  for (int round = 0; round < 5 && result == 0; ++round) {
    ViewerConn fromStart = OpenViewer(port, issuer.ViewToken());
    ViewerConn fromHead = OpenViewer(port, issuer.ViewToken());
    if (!fromStart.fd || !fromHead.fd) {
      std::printf("late viewers could not connect\n");
      result = 1;
      break;
    }
    const int64_t h = head;
    // Alternating which one asks first, so neither always has the head start.
    const json subscribeStart = {{"type", "live.subscribe"}, {"payload", {{"maxHz", 20}, {"fromSeq", 0}}}};
    const json subscribeHead = {{"type", "live.subscribe"}, {"payload", {{"maxHz", 20}, {"fromSeq", h}}}};
    const auto at = Clock::now();
    for (int i = 0; i < 2; ++i) {
      const bool start = (i + round) % 2 == 0;
      remote::WsSendText((start ? fromStart : fromHead).fd.get(), DumpCompact(start ? subscribeStart : subscribeHead),
                         true);
    }
    double lateMs = -1, headMs = -1;
    std::thread t([&] { lateMs = timeToLive(fromStart, h, at); });
    headMs = timeToLive(fromHead, h, at);
    t.join();
    if (lateMs < 0 || headMs < 0) {
      std::printf("a late viewer got no live frame within 30 s (from 0: %.0f ms, at head: %.0f ms)\n", lateMs, headMs);
      result = 1;
    }
    late.push_back(lateMs);
    atHead.push_back(headMs);
    // Closed before the next round: the listener admits four viewers, two per subject.
    fromStart.fd.Reset();
    fromHead.fd.Reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  stop = true;
  publisher.join();
  remote::StopListener(a);
  if (result == 0) {
    auto median = [](std::vector<double> v) {
      std::sort(v.begin(), v.end());
      return v[v.size() / 2];
    };
    const double l = median(late), h = median(atHead);
    std::printf("subscribe to first live frame, 1 kHz source, 5 rounds: late viewer from seq 0 %.0f ms (median), "
                "viewer at the head %.0f ms; %.2fx\n",
                l, h, l / std::max(1.0, h));
  }
  return result;
}

}  // namespace

int main() {
  net::IgnoreSigpipe();
  const double kSeconds = 1.0;
  const double alone = Publish(nullptr, kSeconds);
  std::printf("publisher alone (build + serialise, no fan-out): %.0f publishes/s\n", alone);
  for (int n : {0, 1, 4, 16, 64}) {
    remote::State state(remote::Clock::System(), [] { return std::vector<remote::LanAddress>{}; });
    std::vector<std::unique_ptr<BenchViewer>> viewers;
    std::atomic<bool> stop{false};
    for (int i = 0; i < n; ++i) {
      viewers.push_back(std::make_unique<BenchViewer>());
      if (!viewers.back()->pair.Open()) {
        std::printf("loopback connection failed\n");
        return 1;
      }
    }
    {
      std::lock_guard<std::mutex> lock(state.mutex);
      for (auto& v : viewers) state.viewers.push_back(v->viewer);
    }
    for (auto& v : viewers) StartViewer(state, *v, 20, stop);
    const double rate = Publish(&state, kSeconds);
    StopViewers(viewers, stop);
    uint64_t delivered = 0;
    for (auto& v : viewers) delivered += v->delivered;
    std::printf("%2d viewers: %9.0f publishes/s (%.2fx the publisher alone), %.1f messages/s delivered per viewer\n",
                n, rate, alone / rate, n ? double(delivered) / n / kSeconds : 0.0);
    for (auto& v : viewers) v->viewer->socket = -1;
  }

  // Latency: one viewer at maxHz 20, frames published at 10 Hz (under its rate, so nothing merges).
  remote::State state(remote::Clock::System(), [] { return std::vector<remote::LanAddress>{}; });
  std::vector<std::unique_ptr<BenchViewer>> viewers;
  viewers.push_back(std::make_unique<BenchViewer>());
  if (!viewers[0]->pair.Open()) return 1;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.viewers.push_back(viewers[0]->viewer);
  }
  std::atomic<bool> stop{false};
  StartViewer(state, *viewers[0], 20, stop);
  auto next = Clock::now();
  for (int seq = 1; seq <= 50; ++seq) {
    remote::FanOutVerified(state, MakeFrame(seq));
    next += std::chrono::milliseconds(100);
    std::this_thread::sleep_until(next);
  }
  StopViewers(viewers, stop);
  viewers[0]->viewer->socket = -1;
  std::vector<int64_t> lat = viewers[0]->latencyUs;
  std::sort(lat.begin(), lat.end());
  if (lat.empty()) {
    std::printf("latency: no messages arrived\n");
    return 1;
  }
  auto pct = [&](double p) { return lat[std::min(lat.size() - 1, size_t(p * double(lat.size())))] / 1000.0; };
  std::printf("publish-to-viewer latency, 1 viewer at maxHz 20, %zu samples: p50 %.2f ms, p99 %.2f ms\n", lat.size(),
              pct(0.50), pct(0.99));
  if (OutgoingClientLatency() != 0) return 1;
  return LateSubscribeLatency();
}
