// Start-up: the host's exec → "WsServer listening" and exec → page connected ("WS client
// connected"), each run in fresh folders with no display (the browser headless), beside two
// references started and watched the same way in the same run, in alternating rounds:
//   - a small program's exec → its first log line: /bin/sh appending one line to its log file;
//   - Chromium alone, started with the host's own switches (BrowserCommandLine, the same fresh
//     profile folder and the DevTools pipe on descriptors 3 and 4) on a blank page whose only
//     script opens a WebSocket to this program and sends a message once it is open, as the host's
//     page says hello: exec → that message received, after the same upgrade the bridge answers.
// Log lines are seen through inotify on the log's folder (the host flushes every line). Prints
// the medians and the ratios the start-up is judged by, and where the host's time goes: until its
// view is set up and the page's navigation issued, and from there until the page is connected.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bridge/ws_handshake.h"
#include "platform/browser.h"
#include "platform/net.h"
#include "platform/process.h"
#include "platform/unique_fd.h"

namespace fs = std::filesystem;
namespace proc = platform::process;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRounds = 9;
constexpr auto kRunLimit = std::chrono::seconds(30);

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Fresh folders for one run; removed with it.
struct Scratch {
  fs::path root;
  Scratch() {
    char pattern[] = "/tmp/qv-startup-XXXXXX";
    root = mkdtemp(pattern);
    for (const char* sub : {"bin", "data", "home", "tmp"}) fs::create_directories(root / sub);
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }
  std::vector<std::string> Env() const {
    std::vector<std::string> env;
    for (const std::string& entry : proc::CurrentEnvironment()) {
      if (entry.rfind("DISPLAY=", 0) == 0 || entry.rfind("WAYLAND_DISPLAY=", 0) == 0) continue;
      if (entry.rfind("HOME=", 0) == 0 || entry.rfind("XDG_", 0) == 0 || entry.rfind("TMPDIR=", 0) == 0) continue;
      env.push_back(entry);
    }
    env.push_back("HOME=" + (root / "home").string());
    env.push_back("XDG_DATA_HOME=" + (root / "data").string());
    env.push_back("TMPDIR=" + (root / "tmp").string());
    return env;
  }
};

// Waits until the log file holds each marker in turn; the times since start, or -1 for those
// that did not come within the limit.
std::vector<double> WatchLog(const fs::path& log, const std::vector<std::string>& markers, Clock::time_point start,
                             int inotifyFd) {
  std::vector<double> seen(markers.size(), -1);
  size_t next = 0;
  std::string text;
  while (next < markers.size() && Clock::now() - start < kRunLimit) {
    std::ifstream in(log, std::ios::binary);
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    const Clock::time_point now = Clock::now();
    while (next < markers.size() && text.find(markers[next]) != std::string::npos) seen[next++] = Ms(now - start);
    if (next == markers.size()) break;
    struct pollfd p {inotifyFd, POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
      char events[4096];
      (void)!read(inotifyFd, events, sizeof events);
    }
  }
  return seen;
}

platform::UniqueFd WatchFolder(const fs::path& folder) {
  platform::UniqueFd fd(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  if (fd) inotify_add_watch(fd.get(), folder.c_str(), IN_MODIFY | IN_CREATE | IN_CLOSE_WRITE);
  return fd;
}

struct HostFigures {
  double listening = -1, navigated = -1, connected = -1;
};

HostFigures RunHost(const std::string& exe) {
  Scratch scratch;
  const fs::path copy = scratch.root / "bin" / "quorvane";
  fs::copy_file(exe, copy);
  // The module the host loads on first use sits beside it, as installed.
  for (const auto& entry : fs::directory_iterator(fs::path(exe).parent_path())) {
    if (entry.path().extension() == ".so") fs::copy_file(entry.path(), scratch.root / "bin" / entry.path().filename());
  }
  platform::UniqueFd watch = WatchFolder(scratch.root / "bin");
  proc::SpawnOptions options;
  options.argv = {copy.string()};
  options.env = scratch.Env();
  const Clock::time_point start = Clock::now();
  proc::SpawnResult run = proc::Spawn(options);
  if (!run.child) return {};
  const std::vector<double> seen =
      WatchLog(scratch.root / "bin" / "Quorvane.log",
               {"WsServer listening", "WebView2 navigation issued", "WS client connected"}, start, watch.get());
  run.child->End();
  run.child->Wait(std::chrono::seconds(10));
  run.child->WaitForJobToEmpty(std::chrono::seconds(10));
  return {seen[0], seen[1], seen[2]};
}

double RunShell() {
  Scratch scratch;
  platform::UniqueFd watch = WatchFolder(scratch.root / "bin");
  const fs::path log = scratch.root / "bin" / "first.log";
  proc::SpawnOptions options;
  options.argv = {"/bin/sh", "-c", "echo '[main] first line' >> \"$0\"", log.string()};
  options.env = scratch.Env();
  const Clock::time_point start = Clock::now();
  proc::SpawnResult run = proc::Spawn(options);
  if (!run.child) return -1;
  const double seen = WatchLog(log, {"first line"}, start, watch.get())[0];
  run.child->Wait(std::chrono::seconds(10));
  return seen;
}

// Accepts the page's WebSocket, answers its upgrade and waits for its first frame: the time since
// start when that frame is in, or -1.
double AwaitPageMessage(int listener, Clock::time_point start) {
  auto wait = [&](int fd) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(start + kRunLimit - Clock::now());
    struct pollfd p {fd, POLLIN, 0};
    return left.count() > 0 && poll(&p, 1, static_cast<int>(left.count())) > 0;
  };
  if (!wait(listener)) return -1;
  platform::UniqueFd page(platform::net::AcceptConnection(listener));
  if (!page) return -1;
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos) {
    if (request.size() > kWsMaxHeaderBytes || !wait(page.get())) return -1;
    const ssize_t got = recv(page.get(), buffer, sizeof buffer, 0);
    if (got <= 0) return -1;
    request.append(buffer, static_cast<size_t>(got));
  }
  const std::string response = WsHandshakeResponse(FindHttpHeader(request, "Sec-WebSocket-Key"));
  if (!platform::net::SendAll(page.get(), response.data(), response.size())) return -1;
  // A frame's first two bytes: the page has sent its message.
  size_t frame = 0;
  while (frame < 2) {
    if (!wait(page.get())) return -1;
    const ssize_t got = recv(page.get(), buffer, sizeof buffer, 0);
    if (got <= 0) return -1;
    frame += static_cast<size_t>(got);
  }
  return Ms(Clock::now() - start);
}

double RunChromium() {
  Scratch scratch;
  uint16_t port = 0;
  platform::UniqueFd listener(platform::net::ListenLoopback(4, &port));
  if (!listener) return -1;
  platform::BrowserLaunchOptions launch;
  launch.userDataDir = (scratch.root / "data" / "profile").string();
  launch.headless = true;
  launch.noSandbox = geteuid() == 0;
  std::vector<std::string> argv = platform::BrowserCommandLine(launch);
  if (argv.empty() || argv[0].empty()) return -1;
  argv.back() = "data:text/html,<script>var w = new WebSocket('ws://127.0.0.1:" + std::to_string(port) +
                "/'); w.onopen = function () { w.send('hello'); };</script>";
  int toBrowser[2], fromBrowser[2];
  if (pipe2(toBrowser, O_CLOEXEC) != 0 || pipe2(fromBrowser, O_CLOEXEC) != 0) return -1;
  platform::UniqueFd toRead(toBrowser[0]), toWrite(toBrowser[1]), fromRead(fromBrowser[0]), fromWrite(fromBrowser[1]);
  proc::SpawnOptions options;
  options.argv = argv;
  options.env = scratch.Env();
  options.inherit = {{toRead.get(), 3}, {fromWrite.get(), 4}};
  const Clock::time_point start = Clock::now();
  proc::SpawnResult run = proc::Spawn(options);
  if (!run.child) return -1;
  toRead.Reset();
  fromWrite.Reset();
  const double seen = AwaitPageMessage(listener.get(), start);
  run.child->End();
  run.child->Wait(std::chrono::seconds(10));
  run.child->WaitForJobToEmpty(std::chrono::seconds(10));
  return seen;
}

double Median(std::vector<double> values) {
  values.erase(std::remove(values.begin(), values.end(), -1.0), values.end());
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const std::string exe = argc > 1 ? argv[1] : QV_HOST_EXECUTABLE;
  std::vector<double> listening, navigated, pageLoad, connected, shell, chromium;
  for (int round = 0; round < kRounds; ++round) {
    const HostFigures host = RunHost(exe);
    listening.push_back(host.listening);
    navigated.push_back(host.navigated);
    pageLoad.push_back(host.navigated >= 0 && host.connected >= 0 ? host.connected - host.navigated : -1);
    connected.push_back(host.connected);
    shell.push_back(RunShell());
    chromium.push_back(RunChromium());
    std::fprintf(stderr, "round %d: listening %.1f ms, page connected %.1f ms, shell %.1f ms, chromium %.1f ms\n",
                 round + 1, host.listening, host.connected, shell.back(), chromium.back());
  }
  const double l = Median(listening), c = Median(connected), s = Median(shell), b = Median(chromium);
  std::printf("start-up, median of %d alternating rounds (exec to ...)\n", kRounds);
  std::printf("  host \"WsServer listening\"     %7.1f ms   shell's first line %6.1f ms\n", l, s);
  std::printf("  host page connected           %7.1f ms   Chromium alone     %6.1f ms   ratio %.2f\n", c, b,
              b > 0 ? c / b : 0.0);
  // Each round's host and Chromium ran back to back: their ratio leaves out how busy the
  // machine was from one round to the next.
  std::vector<double> paired;
  for (int round = 0; round < kRounds; ++round) {
    if (connected[round] > 0 && chromium[round] > 0) paired.push_back(connected[round] / chromium[round]);
  }
  std::printf("    the rounds' own ratios: median %.2f\n", Median(paired));
  std::printf("    of it: view set up, navigation issued %7.1f ms; the page's load after it %6.1f ms\n",
              Median(navigated), Median(pageLoad));
  return 0;
}
