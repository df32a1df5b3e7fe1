#include "plugins/decoder_runs.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include "base/log.h"
#include "platform/net.h"
#include "platform/process.h"
#include "platform/unique_fd.h"
#include "plugins/launch_checks.h"
#include "plugins/launch_command.h"
#include "plugins/package_store.h"
#include "plugins/plugin_host.h"
#include "plugins/plugin_registry.h"

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace plugins {

namespace {

constexpr size_t kReadBytes = 4096;
constexpr auto kConverterPoll = std::chrono::milliseconds(25);
constexpr auto kJsonEndWait = std::chrono::milliseconds(200);
constexpr auto kConverterEndWait = std::chrono::milliseconds(5000);

void SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int MillisUntil(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1000));
}

int64_t FileSize(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

}  // namespace

bool IsNativeConverterId(const std::string& pluginId) {
  return pluginId == kPdsConverterId || pluginId == kBmsConverterId;
}

std::string ToValidUtf8(const std::string& text) {
  const std::string quoted = json(text).dump(-1, ' ', false, json::error_handler_t::replace);
  return json::parse(quoted).get<std::string>();
}

void HandleConverterProgressLine(ConverterProgressState& state, json value, const DecodeProgressFn& progress,
                                 Clock::time_point now) {
  if (!progress || !value.is_object()) return;
  auto ratioIt = value.find("ratio");
  if (ratioIt == value.end() || !ratioIt->is_number()) return;
  double ratio = ratioIt->get<double>();
  if (!std::isfinite(ratio)) return;

  std::string phase = "decode";
  if (auto it = value.find("phase"); it != value.end() && it->is_string()) phase = it->get<std::string>();
  std::string scope;
  if (auto it = value.find("ratioScope"); it != value.end() && it->is_string()) scope = it->get<std::string>();
  // A converter's write phase is the last tenth of its work unless it says it counts overall.
  if (phase == "write" && scope != "overall") ratio = std::clamp(ratio, 0.0, 1.0) * 0.09 + 0.9;
  ratio = std::max(std::clamp(ratio, 0.0, 1.0), state.lastRatio);

  const bool samePhase = phase == state.lastPhase;
  const bool smallRise = ratio - state.lastRatio < 0.01;
  const bool recent = now - state.lastForward < std::chrono::milliseconds(100);
  if (samePhase && ratio < 1.0 && smallRise && recent) return;

  state.lastRatio = ratio;
  state.lastPhase = phase;
  state.lastForward = now;
  value["ratio"] = ratio;
  LogPrintf("[plugin] decode progress: phase=%s ratio=%.3f\n", ToValidUtf8(phase).c_str(), ratio);
  progress(value);
}

void AppendConverterStderr(ConverterProgressState& state, const char* bytes, size_t length,
                           const DecodeProgressFn& progress, Clock::time_point now) {
  state.unread.append(bytes, length);
  if (state.unread.size() > kConverterStderrBuffer) {
    state.unread.erase(0, state.unread.size() - kConverterStderrBuffer);
  }
  size_t start = 0;
  for (size_t eol; (eol = state.unread.find('\n', start)) != std::string::npos; start = eol + 1) {
    state.lastStderrLine.assign(state.unread, start, eol - start);
    json value = json::parse(state.lastStderrLine, nullptr, false);
    if (!value.is_discarded()) HandleConverterProgressLine(state, std::move(value), progress, now);
  }
  state.unread.erase(0, start);
}

namespace {

// Reads what the converter's stderr holds now, never blocking; false once the pipe is at its end.
bool PumpConverterStderr(int fd, ConverterProgressState& state, const DecodeProgressFn& progress) {
  // Bounded per call so the cancel predicate is still read while a child floods its stderr.
  constexpr int kMaxReadsPerPump = 64;
  char buffer[kReadBytes];
  for (int i = 0; i < kMaxReadsPerPump; ++i) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    AppendConverterStderr(state, buffer, static_cast<size_t>(n), progress, Clock::now());
  }
  return true;
}

void EndJsonChild(PluginProcess& record) {
  if (!record.process) return;
  record.process->End();
  record.process->Wait(kJsonEndWait);
  FinishPluginStderr(record);
  record.stdinWrite.Reset();
  record.stdoutRead.Reset();
  record.process.reset();  // reaps the child
}

}  // namespace

std::string RunJsonDecoder(const PluginLaunchContext& launch, const std::string& request, std::string* stdoutOut,
                           const DecoderRunLimits& limits) {
  PluginLaunchContext context = launch;
  context.capability = "decode";
  PluginProcess record;
  {
    std::lock_guard<std::recursive_mutex> lock(PackageStoreMutex());
    ResolvedLaunch resolved;
    std::string error = PreparePluginRun(context, record, resolved);
    if (!error.empty()) return error;
    if (record.transport != "stdio") return LogLaunchRejected("decode transport");
    error.clear();
    if (!SpawnPluginProcess(record, &error)) return error.empty() ? "CreateProcess failed" : error;
    ResumePluginMainThread(record);
  }

  platform::net::IgnoreSigpipe();  // a child that closes its stdin must not end the host
  std::string line = request;
  if (line.empty() || line.back() != '\n') line += '\n';
  size_t written = 0;
  std::string collected;
  SetNonBlocking(record.stdoutRead.get());
  const Clock::time_point deadline = Clock::now() + limits.jsonTimeout;
  // One loop serves all three pipes: a child that answers before it has read its request, or
  // that fills its stderr, still gets its stdin written and its output read.
  while (Clock::now() < deadline && record.stdoutRead) {
    pollfd fds[3];
    nfds_t count = 0;
    int inIndex = -1, outIndex = -1, errIndex = -1;
    if (written < line.size() && record.stdinWrite) {
      inIndex = static_cast<int>(count);
      fds[count++] = {record.stdinWrite.get(), POLLOUT, 0};
    }
    outIndex = static_cast<int>(count);
    fds[count++] = {record.stdoutRead.get(), POLLIN, 0};
    if (record.stderrRead) {
      errIndex = static_cast<int>(count);
      fds[count++] = {record.stderrRead.get(), POLLIN, 0};
    }
    const int ready = poll(fds, count, MillisUntil(deadline));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    if (inIndex >= 0 && fds[inIndex].revents) {
      const ssize_t n = write(record.stdinWrite.get(), line.data() + written, line.size() - written);
      if (n > 0) {
        written += static_cast<size_t>(n);
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        written = line.size();  // the child closed its stdin; it answers without the request
      }
    }
    if (errIndex >= 0 && fds[errIndex].revents) {
      if (fds[errIndex].revents & POLLIN) {
        PumpPluginStderr(record);
      } else {
        FinishPluginStderr(record);  // at its end
      }
    }
    if (fds[outIndex].revents) {
      char buffer[kReadBytes];
      const size_t room = std::min(sizeof buffer, kJsonDecoderStdoutLimit - collected.size());
      const ssize_t n = read(record.stdoutRead.get(), buffer, room);
      if (n > 0) {
        collected.append(buffer, static_cast<size_t>(n));
        if (collected.find('\n', collected.size() - static_cast<size_t>(n)) != std::string::npos ||
            collected.size() >= kJsonDecoderStdoutLimit) {
          break;
        }
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        break;  // nothing more can come
      }
    }
  }
  EndJsonChild(record);
  if (stdoutOut) *stdoutOut = collected;
  return collected.empty() ? "decoder returned no JSON" : "";
}

std::string RunPackConverter(const PluginLaunchContext& launch, const std::string& inputPath,
                             const std::string& packPath, const std::string& fileName,
                             const std::function<bool()>& cancelled, const DecodeProgressFn& progress,
                             const DecoderRunLimits& limits) {
  namespace process = platform::process;
  PluginLaunchContext context = launch;
  context.capability = "decode";
  PluginProcess record;
  std::unique_ptr<process::Child> child;
  platform::UniqueFd stderrRead;
  {
    std::lock_guard<std::recursive_mutex> lock(PackageStoreMutex());
    ResolvedLaunch resolved;
    std::string error = PreparePluginRun(context, record, resolved);
    if (!error.empty()) return error;
    // The signed launch equals the hint (checked above), so the hint tells what was signed.
    if (!IsNativeConverterId(context.pluginId) || context.launch.executable.empty() || !context.launch.args.empty()) {
      return "pack launch rejected";
    }
    std::vector<std::string> argv = record.argv;
    for (const char* arg : {"--stdin", "--stdout", "--format", "pack", "--progress-jsonl", "--name"}) {
      argv.push_back(arg);
    }
    argv.push_back(fileName);

    platform::UniqueFd input(open(inputPath.c_str(), O_RDONLY | O_CLOEXEC));
    platform::UniqueFd pack(open(packPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!input || !pack) return "pack file IO failed";

    process::SpawnOptions options;
    options.argv = argv;
    options.env = BuildEnvironmentBlock(BuildChildEnvironment(record), process::CurrentEnvironment());
    options.workingDirectory = record.workingDirectory;
    options.stdinMode = process::Stream::Given;
    options.givenStdin = input.get();
    options.stdoutMode = process::Stream::Given;
    options.givenStdout = pack.get();
    options.stderrMode = process::Stream::Pipe;
    process::SpawnResult spawned = process::Spawn(options);
    LogPrintf("[plugin] spawn converter plugin=%s cmd=%s pid=%lu error=%lu\n", context.pluginId.c_str(),
              ToValidUtf8(BuildWindowsCommandLine(argv)).c_str(),
              spawned.child ? static_cast<unsigned long>(spawned.child->pid()) : 0ul,
              spawned.child ? 0ul : static_cast<unsigned long>(spawned.error));
    if (!spawned.child) return "CreateProcess failed";
    child = std::move(spawned.child);
    stderrRead = std::move(child->stderrRead());
    if (stderrRead) SetNonBlocking(stderrRead.get());
  }  // the parent's copies of the two files close here

  ConverterProgressState state;
  const Clock::time_point started = Clock::now();
  state.lastForward = started;
  enum class Outcome { None, Cancelled, Oversize, TimedOut } outcome = Outcome::None;
  int status = 0;
  bool exited = child->Wait(kConverterPoll, &status);
  while (!exited) {
    if (stderrRead && !PumpConverterStderr(stderrRead.get(), state, progress)) stderrRead.Reset();
    if (cancelled && cancelled()) {
      outcome = Outcome::Cancelled;
    } else if (const int64_t size = FileSize(packPath); size > static_cast<int64_t>(kConverterPackLimit)) {
      outcome = Outcome::Oversize;
    } else if (Clock::now() - started > limits.converterTimeout) {
      outcome = Outcome::TimedOut;
    }
    if (outcome != Outcome::None) {
      child->End();
      child->Wait(kConverterEndWait, &status);
      break;
    }
    if (stderrRead) {
      // Wake for stderr as well, so a chatty converter never waits on a full pipe for long.
      pollfd fd{stderrRead.get(), POLLIN, 0};
      poll(&fd, 1, static_cast<int>(kConverterPoll.count()));
      exited = child->Wait(std::chrono::milliseconds(0), &status);
    } else {
      exited = child->Wait(kConverterPoll, &status);
    }
  }
  if (stderrRead) {
    for (int i = 0; i < 16 && PumpConverterStderr(stderrRead.get(), state, progress); ++i) {
      pollfd fd{stderrRead.get(), POLLIN, 0};
      if (poll(&fd, 1, 0) <= 0 || !(fd.revents & POLLIN)) break;
    }
  }
  stderrRead.Reset();
  // 128 + the signal for a converter a signal ended, as the supervisor reports a plugin's end.
  const int exitCode = platform::process::ExitCodeOf(status);
  child.reset();

  switch (outcome) {
    case Outcome::Cancelled:
      return "decoder cancelled";
    case Outcome::TimedOut:
      return "decoder timed out";
    case Outcome::Oversize:
      return "decoded pack exceeds 2 GiB limit";
    case Outcome::None:
      break;
  }
  if (exitCode != 0) {
    std::string text = "Native converter exited " + std::to_string(exitCode);
    if (!state.lastStderrLine.empty()) text += ": " + ToValidUtf8(state.lastStderrLine);
    return text;
  }
  platform::UniqueFd pack(open(packPath.c_str(), O_RDONLY | O_CLOEXEC));
  char magic[8] = {};
  if (!pack || read(pack.get(), magic, sizeof magic) != static_cast<ssize_t>(sizeof magic) ||
      std::memcmp(magic, "QVNPAK01", 8) != 0) {
    return "converter returned no QVNPAK01 pack";
  }
  return "";
}

}  // namespace plugins
