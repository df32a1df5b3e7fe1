// Stdio publishing: lines per second from the test plugin child through the plugin host's stdout
// reader (line split, parse, reply written back to the child's stdin) and the realtime hub into a
// counting sink, beside the same child writing the same lines into a pipe that a plain reader
// loop only splits into lines, in the same run. Each side runs three times; the medians are
// printed with their ratio.
//
// The token check of the stdio hook is left out (its hook stands in with the hub's own publish and
// the stdio hook's reply text): it is the same look-up for every line and is measured by the
// token benchmarks.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/process.h"
#include "platform/unique_fd.h"
#include "plugins/plugin_host.h"
#include "plugins/plugin_registry.h"
#include "realtime/realtime_hub.h"

using nlohmann::json;
using Clock = std::chrono::steady_clock;
namespace proc = platform::process;

namespace {

constexpr int kLines = 200000;
constexpr int kRuns = 3;
const char kPluginId[] = "bench.stdio";

// The test plugin writing kLines publish lines, never reading its stdin, then exiting.
proc::SpawnResult StartChild(bool withStdin) {
  proc::SpawnOptions options;
  options.argv = {QV_TEST_PLUGIN};
  options.env = {"QVN_PLUGIN_SETTINGS={\"publish\":" + std::to_string(kLines) + ",\"ignoreStdin\":true}"};
  options.stdinMode = withStdin ? proc::Stream::Pipe : proc::Stream::Null;
  options.stdoutMode = proc::Stream::Pipe;
  options.stderrMode = proc::Stream::Null;
  return proc::Spawn(options);
}

// Lines per second read by a loop that only splits the pipe's bytes into lines.
double PlainReader() {
  const Clock::time_point start = Clock::now();
  proc::SpawnResult spawned = StartChild(false);
  if (!spawned.child) return 0;
  char chunk[4096];
  std::string buffer;
  long lines = 0;
  for (;;) {
    const ssize_t n = read(spawned.child->stdoutRead().get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    buffer.append(chunk, static_cast<size_t>(n));
    size_t at = 0;
    for (size_t end; (end = buffer.find('\n', at)) != std::string::npos; at = end + 1) {
      std::string line = buffer.substr(at, end - at);
      lines += !line.empty();
    }
    buffer.erase(0, at);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  spawned.child->Wait(std::chrono::seconds(10));
  if (lines != kLines) std::fprintf(stderr, "plain reader saw %ld lines\n", lines);
  return lines / seconds;
}

// Lines per second through the plugin host's reader and the hub, counted at the hub's sink.
double ThroughTheHost() {
  std::mutex mutex;
  std::condition_variable allSunk;
  long sunk = 0;
  realtime::RealtimeHub hub(
      [&](const std::string& text) {
        // Counted without parsing, so the sink costs next to nothing: each frame carries one source.
        long frames = 0;
        for (size_t at = text.find("\"source\":"); at != std::string::npos; at = text.find("\"source\":", at + 1)) {
          ++frames;
        }
        std::lock_guard<std::mutex> lock(mutex);
        sunk += frames;
        if (sunk >= kLines) allSunk.notify_all();
      },
      std::chrono::milliseconds(5));
  CapabilityClaims claims;
  claims.pluginId = kPluginId;
  claims.pkg = std::string(64, 'b');
  claims.scopes = {std::string("rt.publish:") + kPluginId};
  plugins::SetStdioPublishHook([&](const std::string&, const std::string&, const json& payload) {
    return plugins::StdioReply{realtime::PublishReplyText(hub.Publish(claims, true, payload, 0))};
  });

  const Clock::time_point start = Clock::now();
  proc::SpawnResult spawned = StartChild(true);
  if (!spawned.child) return 0;
  // The child never reads its stdin; a drain stands in for one that does, so every reply is written.
  int drainPipe[2];
  if (pipe2(drainPipe, O_CLOEXEC) != 0) return 0;
  platform::UniqueFd drainRead(drainPipe[0]);
  {
    std::lock_guard<std::mutex> lock(plugins::PluginRegistryMutex());
    plugins::PluginProcess& record = plugins::PluginRegistry()[kPluginId];
    record.pluginId = kPluginId;
    record.packageSha256 = claims.pkg;
    record.transport = "stdio";
    record.stdoutRead = std::move(spawned.child->stdoutRead());
    record.stdinWrite.Reset(drainPipe[1]);
    fcntl(drainPipe[1], F_SETFL, fcntl(drainPipe[1], F_GETFL) | O_NONBLOCK);
  }
  std::thread drain([&] {
    char sink[65536];
    while (read(drainRead.get(), sink, sizeof sink) > 0) {
    }
  });
  std::thread reader([] { plugins::PluginStdoutReader(kPluginId); });
  {
    std::unique_lock<std::mutex> lock(mutex);
    allSunk.wait_for(lock, std::chrono::seconds(120), [&] { return sunk >= kLines; });
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  reader.join();  // ends at the child's end of file
  {
    std::lock_guard<std::mutex> lock(plugins::PluginRegistryMutex());
    plugins::PluginRegistry().erase(kPluginId);  // closes the reply pipe: the drain ends
  }
  drain.join();
  plugins::SetStdioPublishHook(nullptr);
  hub.Stop();
  spawned.child->Wait(std::chrono::seconds(10));
  std::lock_guard<std::mutex> lock(mutex);
  if (sunk != kLines) std::fprintf(stderr, "the sink saw %ld frames\n", sunk);
  return sunk / seconds;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main() {
  std::vector<double> host, plain;
  for (int run = 0; run < kRuns; ++run) {
    host.push_back(ThroughTheHost());
    plain.push_back(PlainReader());
  }
  const double h = Median(host), p = Median(plain);
  auto lo = [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); };
  auto hi = [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); };
  std::printf("%d stdio publish lines, median of %d runs: reader+hub %.0f lines/s (%.0f..%.0f), "
              "plain pipe reader %.0f lines/s (%.0f..%.0f), reader+hub/plain %.2f\n",
              kLines, kRuns, h, lo(host), hi(host), p, lo(plain), hi(plain), h / p);
  return 0;
}
