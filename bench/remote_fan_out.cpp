// The remote fan-out under a publisher at full speed: publishes per second with 0, 1, 4, 16 and 64
// subscribed viewers whose queues are sent over loopback TCP and read by a client each, beside
// the publisher building and serialising the same messages with no fan-out (the hub's own work)
// in the same run; then publish-to-viewer latency for one viewer at maxHz 20.
//
// The viewers are attached to the state directly (past the listener's limit of four admitted
// viewers); each has a sender thread doing what a session does with its queue (pump, frame, send)
// and a reader on the other end of its loopback connection.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/json.h"
#include "platform/net.h"
#include "platform/unique_fd.h"
#include "remote/remote_listener.h"
#include "remote/remote_wire.h"

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
  return 0;
}
