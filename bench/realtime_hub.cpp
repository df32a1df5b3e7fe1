// Realtime publishing: publishes per second through the body checks and the hub into a counting
// sink, with 1 and 8 publishing threads, beside the unavoidable work on the same messages in the
// same run (parse the message text, stamp it, dump it with the JSON library; no hub). Then the
// publish-to-sink latency at 1000 publishes per second (p50, p99), beside the flusher's bound.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/json.h"
#include "realtime/realtime_hub.h"

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kPerThread = 60000;

CapabilityClaims Claims(int publisher) {
  CapabilityClaims c;
  c.pluginId = "bench" + std::to_string(publisher);
  c.pkg = std::string(64, 'a');
  c.scopes = {"rt.publish:" + c.pluginId};
  return c;
}

// A frame of eight channels of four values each, as a plugin would send it.
std::string MessageText(int64_t seq) {
  json channels = json::array();
  for (int c = 0; c < 8; ++c) {
    channels.push_back({{"id", "ch" + std::to_string(c)}, {"values", {seq * 0.5, 1.25, -3.0, c}}});
  }
  return DumpCompact({{"type", "rt.publish"}, {"payload", {{"seq", seq}, {"frame", {{"t", seq}, {"channels", channels}}}}}});
}

std::vector<std::string> Texts() {
  std::vector<std::string> texts;
  texts.reserve(kPerThread);
  for (int i = 1; i <= kPerThread; ++i) texts.push_back(MessageText(i));
  return texts;
}

// Runs body(publisher) on each of threads threads at once; publishes per second in all.
template <typename Body>
double Rate(int threads, Body body) {
  std::vector<std::thread> workers;
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  Clock::time_point start;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      ready.fetch_add(1);
      while (!go.load()) std::this_thread::yield();
      body(t);
    });
  }
  while (ready.load() < threads) std::this_thread::yield();
  start = Clock::now();
  go.store(true);
  for (std::thread& w : workers) w.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return threads * static_cast<double>(kPerThread) / seconds;
}

void Throughput(const std::vector<std::string>& texts) {
  for (int threads : {1, 8}) {
    std::atomic<uint64_t> sunk{0};
    std::vector<CapabilityClaims> claims;
    for (int t = 0; t < threads; ++t) claims.push_back(Claims(t));
    double hubRate = 0;
    {
      realtime::RealtimeHub hub([&](const std::string& text) { sunk.fetch_add(text.size()); },
                                std::chrono::milliseconds(50));
      hubRate = Rate(threads, [&](int t) {
        for (const std::string& text : texts) {
          json message = json::parse(text);
          PublishResult r = hub.Publish(claims[t], true, message["payload"], 0);
          if (!r.code.empty()) std::fprintf(stderr, "refused: %s\n", r.code.c_str());
        }
      });
      hub.Stop();
    }
    std::atomic<uint64_t> dumped{0};
    const double referenceRate = Rate(threads, [&](int t) {
      const std::string source = claims[t].pluginId + "@" + claims[t].pkg;
      for (const std::string& text : texts) {
        json message = json::parse(text);
        json& payload = message["payload"];
        json out = {{"seq", payload["seq"]}, {"frame", std::move(payload["frame"])}, {"source", source},
                    {"provenance", "verified"}};
        dumped.fetch_add(DumpCompact(out).size());
      }
    });
    std::printf("%d thread(s): hub %.0f publishes/s, parse+stamp+dump reference %.0f/s, hub/reference %.2f "
                "(%llu bytes to the sink)\n",
                threads, hubRate, referenceRate, hubRate / referenceRate, static_cast<unsigned long long>(sunk.load()));
  }
}

void Latency() {
  constexpr int kCount = 3000;
  std::vector<Clock::time_point> sent(kCount + 1);
  std::vector<double> latencies;
  latencies.reserve(kCount);
  std::mutex mutex;
  realtime::RealtimeHub hub(
      [&](const std::string& text) {
        const Clock::time_point now = Clock::now();
        const json batch = json::parse(text);
        std::lock_guard<std::mutex> lock(mutex);
        for (const json& m : batch["frames"]) {
          latencies.push_back(std::chrono::duration<double, std::milli>(now - sent[m["seq"].get<int64_t>()]).count());
        }
      },
      std::chrono::milliseconds(50));
  const CapabilityClaims claims = Claims(0);
  Clock::time_point next = Clock::now();
  for (int seq = 1; seq <= kCount; ++seq) {
    next += std::chrono::microseconds(1000);
    std::this_thread::sleep_until(next);  // pacing of the benchmark's own publisher
    json message = json::parse(MessageText(seq));
    {
      std::lock_guard<std::mutex> lock(mutex);
      sent[seq] = Clock::now();
    }
    hub.Publish(claims, true, message["payload"], 0);
  }
  hub.FlushPublisher(claims.pluginId);
  hub.Stop();
  std::lock_guard<std::mutex> lock(mutex);
  std::sort(latencies.begin(), latencies.end());
  auto at = [&](double q) { return latencies.empty() ? 0.0 : latencies[static_cast<size_t>(q * (latencies.size() - 1))]; };
  std::printf("latency at 1000 publishes/s (%zu delivered): p50 %.2f ms, p99 %.2f ms, max %.2f ms; "
              "flusher bound 50 ms\n",
              latencies.size(), at(0.5), at(0.99), latencies.empty() ? 0.0 : latencies.back());
}

}  // namespace

int main() {
  const std::vector<std::string> texts = Texts();
  Throughput(texts);
  Latency();
  return 0;
}
