#include "plugins/plugin_host.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <condition_variable>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

#include "base/constants.h"
#include "base/json.h"
#include "base/log.h"
#include "base/never_destroyed.h"
#include "bridge/rpc_routes.h"
#include "bridge/tokens/plugin_permissions.h"
#include "bridge/tokens/token_format.h"
#include "platform/process.h"
#include "plugins/decoder_runs.h"
#include "plugins/package_store.h"
#include "plugins/sdk_discovery.h"

using nlohmann::json;

namespace plugins {
namespace {

using Services = std::shared_ptr<const PluginHostServices>;

std::mutex& ServicesMutex() {
  static base::NeverDestroyed<std::mutex> mutex;
  return *mutex;
}

Services& ServicesSlot() {
  static base::NeverDestroyed<Services> slot(std::make_shared<const PluginHostServices>());
  return *slot;
}

Services CurrentServices() {
  std::lock_guard<std::mutex> lock(ServicesMutex());
  return ServicesSlot();
}

// Woken whenever a run is stopped or removed, so a supervisor waiting out a restart delay
// ends at once instead of at the end of its delay.
std::condition_variable& RunsChanged() {
  static base::NeverDestroyed<std::condition_variable> changed;
  return *changed;
}

int64_t ServerNow(const PluginHostServices& services) {
  return services.tokens ? services.tokens->ServerNowSeconds(services.wallClockMs()) : 0;
}

void SetNonBlocking(const platform::UniqueFd& fd) {
  if (!fd) return;
  const int flags = fcntl(fd.get(), F_GETFL);
  if (flags >= 0) fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK);
}

void EndRunAnnouncements(const PluginHostServices& services, const std::string& pluginId) {
  if (services.endPublisher) services.endPublisher(pluginId);
  InvokeKickPluginSessionsHook(pluginId);
  if (services.endPublisher) services.endPublisher(pluginId);
}

// The restart's token check: the armed token must still be good for publishing.
std::string CheckRestartToken(const PluginHostServices& services, const std::string& pluginId,
                              const std::string& packageSha256, const std::string& mode) {
  if (!services.tokens) return kTokenSignature;
  TokenExpectations expect;
  expect.platform = PluginPlatformName();
  expect.role = mode == "realtime" ? "source" : "plugin";
  expect.pluginId = pluginId;
  expect.pkg = packageSha256;
  expect.nowSeconds = ServerNow(services);
  expect.consume = false;
  CapabilityClaims claims;
  const std::string token = services.tokens->GetPluginLaunchCredentials(pluginId).token;
  std::string code = services.tokens->CheckArmedGrant(token, expect, &claims);
  if (code == kTokenExpired) code.clear();
  if (!code.empty()) return code;
  const MethodPermission* row = FindMethodPermission("rt.publish");
  if (!row || !row->allowedForPlugins) return "E_SCOPE_DENIED";
  if (row->role != expect.role) return "E_ROLE_DENIED";
  if (!HasPluginScope(claims.scopes, std::string(row->scope), pluginId)) return "E_SCOPE_DENIED";
  return "";
}

// Package, signature and tree of a restart; "" when the run may start again.
std::string CheckRestartPackage(const std::string& pluginId, const std::string& packageSha256,
                                const std::string& mode) {
  InstalledPackage package;
  if (!FindInstalledPackage(pluginId, packageSha256, &package)) return "package missing";
  LaunchSpec signedLaunch;
  std::string error = CheckSignedLaunch(package, mode, nullptr, signedLaunch);
  if (error.empty()) error = CheckPackageIntact(package);
  return error;
}

// A child's bytes as one log line: line breaks, NULs and other control bytes become "\xNN", so
// a plugin can neither cut its text short nor write lines that look like the host's own. At most
// maxOut characters are written; returns how many of the bytes they show.
size_t EscapeControlBytes(const char* bytes, size_t size, size_t maxOut, std::string* out) {
  out->clear();
  size_t i = 0;
  for (; i < size; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    const bool control = c < 0x20 || c == 0x7f;
    if (out->size() + (control ? 4 : 1) > maxOut) break;
    if (control) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      *out += escaped;
    } else {
      *out += static_cast<char>(c);
    }
  }
  return i;
}

void ReportStderrLeftOut(PluginProcess& record, std::chrono::steady_clock::time_point now, bool runEnded) {
  const uint64_t leftOut = record.stderrLog.TakeLeftOut(now, runEnded);
  if (leftOut == 0) return;
  LogPrintf("[plugin] stderr plugin=%s pid=%lu: %llu bytes left out of the log (at most %zu logged per %lld s)\n",
            record.pluginId.c_str(), static_cast<unsigned long>(record.pid),
            static_cast<unsigned long long>(leftOut), kStderrLogBytesPerWindow,
            static_cast<long long>(kStderrLogWindow.count()));
}

// A run's thread: nothing it throws may end the process.
std::thread StartRunThread(void (*body)(const std::string&), const std::string& pluginId, const char* what) {
  return std::thread([body, pluginId, what] {
    try {
      body(pluginId);
    } catch (const std::exception& e) {
      LogPrintf("[plugin] %s failed plugin=%s: %s\n", what, pluginId.c_str(), e.what());
    } catch (...) {
      LogPrintf("[plugin] %s failed plugin=%s\n", what, pluginId.c_str());
    }
  });
}

}  // namespace

void InstallPluginHost(PluginHostServices services) {
  auto shared = std::make_shared<const PluginHostServices>(std::move(services));
  std::lock_guard<std::mutex> lock(ServicesMutex());
  ServicesSlot() = std::move(shared);
}

std::string PreparePluginRun(const PluginLaunchContext& context, PluginProcess& record, ResolvedLaunch& resolved) {
  const Services services = CurrentServices();
  if (context.pluginId.empty() || context.capability.empty()) {
    return LogLaunchRejected("plugin launch invalid: pluginId or capability is missing");
  }
  const PluginRunInputs& in = context.inputs;
  if (!in.gt7Host.empty() && !IsGt7ConsoleAddress(in.gt7Host)) return "E_GT7_CONSOLE_IP";
  if (!in.bmsTelemetryUrl.empty() &&
      !(context.capability == "realtime" && context.pluginId == kBmsConverterId &&
        IsBmsTelemetryUrl(in.bmsTelemetryUrl))) {
    return LogLaunchRejected("E_BMS_TELEMETRY_URL");
  }
  InstalledPackage package;
  if (!FindInstalledPackage(context.pluginId, context.packageSha256, &package)) {
    return LogLaunchRejected("package missing");
  }
  LaunchSpec signedLaunch;
  std::string error = CheckSignedLaunch(package, context.capability, &context.launch, signedLaunch);
  if (!error.empty()) return error;  // logged by the check
  error = CheckPackageIntact(package);
  if (!error.empty()) return LogLaunchRejected(error);
  if (!services->tokens) return LogLaunchRejected(kTokenSignature);
  error = services->tokens->CheckLaunchToken(context.pluginId, context.packageSha256, context.capability,
                                              PluginPlatformName(), ServerNow(*services));
  if (!error.empty()) return LogLaunchRejected(error);
  const std::string interpreter = FindPythonInterpreter();
  resolved = ResolveLaunchCommand(package.directory, signedLaunch, context.capability, interpreter);
  if (!resolved.error.empty()) return LogLaunchRejected(resolved.error);

  record.pluginId = context.pluginId;
  record.packageSha256 = context.packageSha256;
  record.mode = context.capability;
  record.transport = resolved.transport;
  record.argv = resolved.argv;
  record.workingDirectory = resolved.workingDirectory;
  record.inputs = context.inputs;
  record.tokenStamp = ServerNow(*services);
  record.token = services->tokens->GetPluginLaunchCredentials(context.pluginId).token;
  return "";
}

EnvironmentPairs BuildChildEnvironment(const PluginProcess& record) {
  const Services services = CurrentServices();
  PluginLaunchCredentials credentials;
  if (services->tokens) credentials = services->tokens->GetPluginLaunchCredentials(record.pluginId);
  const PluginRunInputs& in = record.inputs;
  EnvironmentPairs pairs = {{"QVN_RPC_PORT", credentials.port},
                            {"QVN_RPC_CAP_TOKEN", credentials.token},
                            {"QVN_PLUGIN_MODE", record.mode},
                            {"QVN_PLUGIN_SETTINGS", in.pluginSettings}};
  if (!in.gt7Host.empty()) pairs.emplace_back("QVN_GT7_HOST", in.gt7Host);
  if (!in.bmsTelemetryUrl.empty()) pairs.emplace_back("QVN_BMS_TELEMETRY_URL", in.bmsTelemetryUrl);
  if (!in.localLibraryRoot.empty()) {
    pairs.emplace_back("QVN_LOCAL_LIBRARY_ROOT", in.localLibraryRoot);
    if (!in.localLibraryKind.empty()) pairs.emplace_back("QVN_LOCAL_LIBRARY_KIND", in.localLibraryKind);
    if (!in.localLibraryVersion.empty()) {
      pairs.emplace_back("QVN_LOCAL_LIBRARY_VERSION", in.localLibraryVersion);
    }
  }
  return pairs;
}

bool SpawnPluginProcess(PluginProcess& record, std::string* errorOut) {
  const Services services = CurrentServices();
  PluginLaunchCredentials credentials;
  if (services->tokens) credentials = services->tokens->GetPluginLaunchCredentials(record.pluginId);

  namespace process = platform::process;
  process::SpawnOptions options;
  options.argv = record.argv;
  options.env = BuildEnvironmentBlock(BuildChildEnvironment(record), process::CurrentEnvironment());
  options.workingDirectory = record.workingDirectory;
  options.startSuspended = true;
  const bool stdio = record.transport == "stdio";
  options.stdinMode = stdio ? process::Stream::Pipe : process::Stream::Null;
  options.stdoutMode = stdio ? process::Stream::Pipe : process::Stream::Null;
  options.stderrMode = process::Stream::Pipe;
  process::SpawnResult spawned = process::Spawn(options);

  const std::string exe = record.argv.empty() ? std::string() : record.argv[0];
  LogPrintf("[plugin] spawn plugin=%s exe=%s pid=%lu error=%lu transport=%s rpcPort=%s tokenPresent=%d\n",
            record.pluginId.c_str(), exe.c_str(),
            spawned.child ? static_cast<unsigned long>(spawned.child->pid()) : 0ul,
            spawned.child ? 0ul : static_cast<unsigned long>(spawned.error), record.transport.c_str(),
            credentials.port.c_str(), credentials.token.empty() ? 0 : 1);
  if (!spawned.child) {
    if (errorOut) *errorOut = "CreateProcess failed";
    return false;
  }
  record.stdinWrite = std::move(spawned.child->stdinWrite());
  record.stdoutRead = std::move(spawned.child->stdoutRead());
  record.stderrRead = std::move(spawned.child->stderrRead());
  // Replies and the stderr drain must never wait on the child.
  SetNonBlocking(record.stdinWrite);
  SetNonBlocking(record.stderrRead);
  record.pid = static_cast<uint32_t>(spawned.child->pid());
  record.stdoutOpen = stdio;
  record.process = std::move(spawned.child);
  record.suspended = true;
  record.stderrTail.clear();
  record.startTime = std::chrono::steady_clock::now();
  return true;
}

void ResumePluginMainThread(PluginProcess& record) {
  if (!record.process || !record.suspended) return;
  record.suspended = false;
  const bool resumed = record.process->Resume();
  LogPrintf("[plugin] resume plugin=%s pid=%lu previousSuspend=%lu error=%lu\n", record.pluginId.c_str(),
            static_cast<unsigned long>(record.pid), resumed ? 1ul : 0ul,
            resumed ? 0ul : static_cast<unsigned long>(record.process->resumeError()));
}

void PumpPluginStderr(PluginProcess& record) {
  // Bounded per call, so a child that floods its stderr cannot hold its caller (and the
  // registry mutex) for ever; the rest is read at the next poll.
  constexpr int kMaxReadsPerPump = 64;
  const auto now = std::chrono::steady_clock::now();
  // A window that is over reports what it left out before the next one logs anything.
  ReportStderrLeftOut(record, now, false);
  char buffer[2048];
  std::string shown;
  for (int i = 0; i < kMaxReadsPerPump && record.stderrRead; ++i) {
    const ssize_t n = read(record.stderrRead.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const size_t length = static_cast<size_t>(n);
    // The tail keeps every byte, logged or not: error texts quote it.
    record.stderrTail.append(buffer, length);
    if (record.stderrTail.size() > kPluginStderrTailBytes) {
      record.stderrTail.erase(0, record.stderrTail.size() - kPluginStderrTailBytes);
    }
    const size_t room = record.stderrLog.Room(now);
    const size_t taken = room == 0 ? 0 : EscapeControlBytes(buffer, length, room, &shown);
    if (taken > 0) {
      record.stderrLog.Logged(shown.size());
      LogPrintf("[plugin] stderr plugin=%s pid=%lu %s\n", record.pluginId.c_str(),
                static_cast<unsigned long>(record.pid), shown.c_str());
    }
    record.stderrLog.LeftOut(length - taken);
  }
}

void FinishPluginStderr(PluginProcess& record) {
  PumpPluginStderr(record);
  ReportStderrLeftOut(record, std::chrono::steady_clock::now(), true);
  record.stderrRead.Reset();
}

void HandlePluginStdoutLine(const std::string& pluginId, const std::string& line, PluginReplyOutbox& outbox) {
  json message;
  if (!tokens::ParseJsonText(line, message) || !message.is_object()) return;
  std::string type;
  if (auto it = message.find("type"); it != message.end()) {
    if (!it->is_string()) return;
    type = it->get<std::string>();
  }
  if (type != "rt.publish") return;

  std::string packageSha256;
  {
    std::lock_guard<std::mutex> lock(PluginRegistryMutex());
    PluginProcess* record = FindLivePluginLocked(pluginId);
    if (!record) return;
    packageSha256 = record->packageSha256;
  }
  json payload = json::object();
  if (auto it = message.find("payload"); it != message.end() && it->is_object()) payload = std::move(*it);
  std::string reply = InvokeStdioPublishHook(pluginId, packageSha256, payload).line;
  if (reply.empty()) reply = R"({"type":"error","code":"E_SCOPE_DENIED"})";
  if (outbox.bytes.size() + reply.size() + 1 > kPluginReplyBacklogBytes) {
    // Said once for a run of drops, not once per line of a child that stopped reading.
    if (outbox.dropped++ % 1000 == 0) {
      LogPrintf("[plugin] reply dropped plugin=%s bytes=%zu dropped=%llu\n", pluginId.c_str(), reply.size() + 1,
                static_cast<unsigned long long>(outbox.dropped));
    }
    return;
  }
  outbox.bytes += reply;
  outbox.bytes += '\n';
}

bool WritePluginReplies(int stdinWrite, PluginReplyOutbox& outbox) {
  size_t written = 0;
  bool open = true;
  while (written < outbox.bytes.size()) {
    const ssize_t n = write(stdinWrite, outbox.bytes.data() + written, outbox.bytes.size() - written);
    if (n > 0) {
      written += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      open = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
      break;
    }
  }
  outbox.bytes.erase(0, written);
  return open;
}

namespace {

// Ends a reader's claim on its run's stdout, however the reader ends, and wakes a supervisor
// waiting for the last lines of an ended run.
struct StdoutClosedOnExit {
  const std::string& pluginId;
  ~StdoutClosedOnExit() {
    {
      std::lock_guard<std::mutex> lock(PluginRegistryMutex());
      auto it = PluginRegistry().find(pluginId);
      if (it != PluginRegistry().end()) it->second.stdoutOpen = false;
    }
    RunsChanged().notify_all();
  }
};

}  // namespace

void PluginStdoutReader(const std::string& pluginId) {
  const Services services = CurrentServices();
  const StdoutClosedOnExit closed{pluginId};
  // The reader's own copies of the pipe ends: the record's are reset only once this reader has
  // ended or the run has left the map, and a reset never closes a descriptor under a read or a
  // write here. The reader is the only writer of the child's stdin.
  platform::UniqueFd stdoutCopy;
  platform::UniqueFd stdinCopy;
  {
    std::lock_guard<std::mutex> lock(PluginRegistryMutex());
    PluginProcess* record = FindLivePluginLocked(pluginId);
    if (!record || !record->stdoutRead) return;
    stdoutCopy.Reset(fcntl(record->stdoutRead.get(), F_DUPFD_CLOEXEC, 0));
    if (!stdoutCopy) return;
    if (record->stdinWrite) stdinCopy.Reset(fcntl(record->stdinWrite.get(), F_DUPFD_CLOEXEC, 0));
  }
  // A write to a child that closed its stdin fails with EPIPE, never kills the host: SIGPIPE is
  // blocked on this thread (a pending one is discarded with the thread).
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
  PluginReplyOutbox outbox;
  // A child that closed its stdin takes no more replies: they are dropped, and counted.
  auto flush = [&] {
    if (!stdinCopy) {
      outbox.bytes.clear();
    } else if (!WritePluginReplies(stdinCopy.get(), outbox)) {
      LogPrintf("[plugin] stdin closed plugin=%s: replies no longer written\n", pluginId.c_str());
      stdinCopy.Reset();
      outbox.bytes.clear();
    }
  };
  std::string buffer;
  char chunk[4096];
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(PluginRegistryMutex());
      PluginProcess* record = FindLivePluginLocked(pluginId);
      if (!record || !record->stdoutRead) return;
    }
    // Looked at again every poll interval, so a run that was stopped ends its reader even if a
    // stray process still holds the pipe's other end. Replies the child's stdin did not take yet
    // wait for it to become writable, in order, up to the backlog bound.
    struct pollfd p[2] = {{stdoutCopy.get(), POLLIN, 0}, {stdinCopy.get(), POLLOUT, 0}};
    const nfds_t count = stdinCopy && !outbox.bytes.empty() ? 2 : 1;
    const int ready = poll(p, count, static_cast<int>(services->pollInterval.count()));
    if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    if (ready < 0) return;
    if (count == 2 && p[1].revents) flush();
    if (!p[0].revents) continue;
    ssize_t n;
    do {
      n = read(stdoutCopy.get(), chunk, sizeof chunk);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return;
    if (buffer.size() + static_cast<size_t>(n) > kPluginStdoutLineBytes) {
      LogPrintf("[plugin] stdout line too long plugin=%s: no longer read\n", pluginId.c_str());
      return;
    }
    buffer.append(chunk, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t end; (end = buffer.find('\n', start)) != std::string::npos; start = end + 1) {
      HandlePluginStdoutLine(pluginId, buffer.substr(start, end - start), outbox);
    }
    buffer.erase(0, start);
    // The chunk's replies go out in one write where the pipe has room for them.
    flush();
  }
}

bool IsPluginTokenStale(const PluginProcess& record) {
  const Services services = CurrentServices();
  if (!services->tokens) return true;
  if (!record.token.empty() && services->tokens->IsArmedTokenOffline(record.token)) return false;
  return ServerNow(*services) >= record.tokenStamp + kPluginTokenMaxAgeSeconds;
}

void PluginSupervisor(const std::string& pluginId) {
  const Services services = CurrentServices();
  for (;;) {
    std::shared_ptr<platform::process::Child> child;
    {
      std::lock_guard<std::mutex> lock(PluginRegistryMutex());
      PluginProcess* record = FindLivePluginLocked(pluginId);
      if (!record || !record->process) return;
      PumpPluginStderr(*record);
      child = record->process;
    }
    int status = 0;
    const bool exited = child->Wait(services->pollInterval, &status);
    unsigned long exitCode = 0;
    if (exited) {
      exitCode = static_cast<unsigned long>(platform::process::ExitCodeOf(status));
      LogPrintf("[plugin] exit plugin=%s code=%lu\n", pluginId.c_str(), exitCode);
      // What the child wrote before it ended is handled before the run is concluded (stopped, or
      // restarted as a new generation that would make those lines stale): its reader reads on to
      // the end of stdout. Bounded, for a descendant that still holds the pipe.
      std::unique_lock<std::mutex> lock(PluginRegistryMutex());
      RunsChanged().wait_for(lock, kPluginStdoutDrainBound, [&] {
        const PluginProcess* record = FindLivePluginLocked(pluginId);
        return !record || !record->stdoutOpen;
      });
    }
    child.reset();

    bool isStdio = false;
    uint32_t pid = 0;
    std::string token;
    std::string packageSha256;
    std::string mode;
    bool restart = false;
    bool stale = false;
    int32_t restarts = 0;
    {
      std::lock_guard<std::mutex> lock(PluginRegistryMutex());
      PluginProcess* record = FindLivePluginLocked(pluginId);
      if (!record) return;
      isStdio = record->transport == "stdio";
      pid = record->pid;
      token = record->token;
      packageSha256 = record->packageSha256;
      mode = record->mode;
      stale = IsPluginTokenStale(*record);
      if (!stale) record->needsOnline = false;
      if (std::chrono::steady_clock::now() - record->startTime >= services->restartCountReset) record->restarts = 0;
      if (exited) {
        if (record->process) record->process->End();
        if (record->mode == "realtime" && exitCode != 0 && record->restarts < 3) {
          record->restarts += 1;
          restart = true;
        } else {
          record->stopped = true;
        }
      }
      restarts = record->restarts;
    }
    if (!exited) {
      if (stale) MarkPluginNeedsOnline(pluginId);
      continue;
    }
    if (!restart) {
      if (services->tokens) services->tokens->DisarmPlugin(pluginId, token);
      EndRunAnnouncements(*services, pluginId);
      PublishPluginStatus(pluginId, exitCode == 0 ? "stopped" : "crashed", static_cast<int32_t>(pid), restarts,
                          false);
      RunsChanged().notify_all();
      return;
    }

    // The old reader ends with the old child's stdout; it is joined before a new one is stored.
    if (isStdio) {
      std::thread oldReader;
      {
        std::lock_guard<std::mutex> lock(PluginRegistryMutex());
        PluginProcess* record = FindLivePluginLocked(pluginId);
        if (!record) return;
        oldReader = std::move(record->reader);
      }
      if (oldReader.joinable()) oldReader.join();
    }
    InvokeKickPluginSessionsHook(pluginId);
    {
      std::lock_guard<std::mutex> lock(PluginRegistryMutex());
      if (!FindLivePluginLocked(pluginId)) return;
    }
    const uint64_t generation = TakePluginGeneration();
    PublishPluginStatus(pluginId, "restarting", 0, restarts, false);
    InvokeStdioGenerationHook(pluginId, generation);

    const size_t delayIndex = static_cast<size_t>(std::min(restarts - 1, 3));
    {
      std::unique_lock<std::mutex> lock(PluginRegistryMutex());
      const bool ended = RunsChanged().wait_for(lock, services->restartDelays[delayIndex],
                                                [&] { return FindLivePluginLocked(pluginId) == nullptr; });
      if (ended) return;
    }

    bool refused = false;
    bool tokenRefused = false;
    int32_t statusPid = 0;
    bool started = false;
    {
      std::lock_guard<std::recursive_mutex> storeLock(PackageStoreMutex());
      // The checks read the store and the token registry only, so they run before the registry
      // mutex is taken; the store lock keeps a staging or removal from interleaving.
      const std::string tokenCode = CheckRestartToken(*services, pluginId, packageSha256, mode);
      std::string packageError;
      if (tokenCode.empty()) packageError = CheckRestartPackage(pluginId, packageSha256, mode);
      std::lock_guard<std::mutex> lock(PluginRegistryMutex());
      PluginProcess* record = FindLivePluginLocked(pluginId);
      if (!record) return;
      if (!tokenCode.empty() || !packageError.empty()) {
        if (!tokenCode.empty()) LogPrintf("[plugin] restart refused plugin=%s: %s\n", pluginId.c_str(), tokenCode.c_str());
        if (!packageError.empty()) LogLaunchRejected(packageError);
        record->stopped = true;
        refused = true;
        tokenRefused = !tokenCode.empty();
        statusPid = tokenRefused ? 0 : -1;
      } else {
        FinishPluginStderr(*record);
        record->stdinWrite.Reset();
        record->stdoutRead.Reset();
        std::string error;
        if (!SpawnPluginProcess(*record, &error)) {
          record->stopped = true;
          refused = true;
          statusPid = 0;
        } else {
          record->generation = generation;
          statusPid = static_cast<int32_t>(record->pid);
          if (isStdio) record->reader = StartRunThread(PluginStdoutReader, pluginId, "stdout reader");
          started = true;
        }
      }
    }
    if (refused) {
      if (services->tokens) services->tokens->DisarmPlugin(pluginId, token);
      EndRunAnnouncements(*services, pluginId);
      PublishPluginStatus(pluginId, tokenRefused ? "stopped" : "crashed", statusPid, restarts, tokenRefused);
      RunsChanged().notify_all();
      return;
    }
    if (started) {
      {
        std::lock_guard<std::mutex> lock(PluginRegistryMutex());
        if (PluginProcess* record = FindLivePluginLocked(pluginId)) ResumePluginMainThread(*record);
      }
      PublishPluginStatus(pluginId, "running", statusPid, restarts, false);
    }
  }
}

std::string StartPlugin(const PluginLaunchContext& context) {
  std::lock_guard<std::recursive_mutex> lifecycle(PluginLifecycleLock());
  {
    PluginProcess probe;
    ResolvedLaunch resolved;
    std::lock_guard<std::recursive_mutex> storeLock(PackageStoreMutex());
    const std::string error = PreparePluginRun(context, probe, resolved);
    if (!error.empty()) return error;  // a run of the plugin goes on untouched
  }
  StopPlugin(context.pluginId, false);

  std::lock_guard<std::recursive_mutex> storeLock(PackageStoreMutex());
  PluginProcess record;
  ResolvedLaunch resolved;
  std::string error = PreparePluginRun(context, record, resolved);
  if (!error.empty()) return error;
  record.generation = TakePluginGeneration();
  InvokeStdioGenerationHook(context.pluginId, record.generation);
  if (!SpawnPluginProcess(record, &error)) return error.empty() ? "CreateProcess failed" : error;

  const bool stdio = record.transport == "stdio";
  const int32_t pid = static_cast<int32_t>(record.pid);
  {
    std::lock_guard<std::mutex> lock(PluginRegistryMutex());
    PluginProcess& entry = PluginRegistry()[context.pluginId];
    entry = std::move(record);
    // The threads exist before the child runs a single instruction of its own.
    if (stdio) entry.reader = StartRunThread(PluginStdoutReader, context.pluginId, "stdout reader");
    entry.supervisor = StartRunThread(PluginSupervisor, context.pluginId, "supervisor");
  }
  {
    std::lock_guard<std::mutex> lock(PluginRegistryMutex());
    auto it = PluginRegistry().find(context.pluginId);
    if (it != PluginRegistry().end()) ResumePluginMainThread(it->second);
  }
  PublishPluginStatus(context.pluginId, "running", pid, 0, false);
  return "";
}

std::string StopPlugin(const std::string& pluginId, bool disarm) {
  std::lock_guard<std::recursive_mutex> lifecycle(PluginLifecycleLock());
  const Services services = CurrentServices();
  if (disarm && services->tokens) services->tokens->DisarmPlugin(pluginId, "");

  std::optional<PluginProcess> taken;
  {
    std::lock_guard<std::mutex> lock(PluginRegistryMutex());
    auto it = PluginRegistry().find(pluginId);
    if (it != PluginRegistry().end()) {
      it->second.stopped = true;
      taken.emplace(std::move(it->second));
      PluginRegistry().erase(it);
    }
  }
  RunsChanged().notify_all();
  if (taken && taken->process) taken->process->End();
  EndRunAnnouncements(*services, pluginId);
  if (!taken) return "";

  if (taken->reader.joinable()) taken->reader.join();
  if (taken->supervisor.joinable()) taken->supervisor.join();
  FinishPluginStderr(*taken);
  taken->stdinWrite.Reset();
  taken->stdoutRead.Reset();
  if (taken->process) {
    taken->process->WaitForJobToEmpty(std::chrono::seconds(5));
    int status = 0;
    const unsigned long exitCode = taken->process->Wait(std::chrono::milliseconds(2000), &status)
                                       ? static_cast<unsigned long>(platform::process::ExitCodeOf(status))
                                       : 259ul;
    LogPrintf("[plugin] stopped plugin=%s pid=%lu exitCode=%lu\n", pluginId.c_str(),
              static_cast<unsigned long>(taken->pid), exitCode);
  }
  const int32_t pid = static_cast<int32_t>(taken->pid);
  taken.reset();  // reaps the child
  PublishPluginStatus(pluginId, "stopped", pid, 0, false);
  return "";
}

void StopAllPlugins() {
  std::lock_guard<std::recursive_mutex> lifecycle(PluginLifecycleLock());
  std::vector<std::string> ids;
  {
    std::lock_guard<std::mutex> lock(PluginRegistryMutex());
    for (const auto& entry : PluginRegistry()) ids.push_back(entry.first);
  }
  for (const std::string& id : ids) StopPlugin(id, true);
  const Services services = CurrentServices();
  if (services->tokens) services->tokens->DisarmAllPlugins();
}

std::string StartRealtimePlugin(const std::string& payloadText) {
  json payload;
  if (!tokens::ParseJsonText(payloadText, payload) || !payload.is_object()) {
    return LogLaunchRejected("plugin launch invalid: start payload is not valid JSON");
  }
  if (payload.contains("executable")) return LogLaunchRejected("path rejected");
  // The members read as text must be text: another type is refused, never thrown on.
  for (const char* key : {"pluginId", "packageSha256", "capability", "localLibraryRoot", "gt7Host"}) {
    if (auto it = payload.find(key); it != payload.end() && !it->is_string()) {
      return LogLaunchRejected(std::string("plugin launch invalid: ") + key + " must be a string");
    }
  }
  auto text = [&](const char* key) { return payload.value(key, std::string()); };

  PluginLaunchContext context;
  context.pluginId = text("pluginId");
  context.packageSha256 = text("packageSha256");
  context.capability = text("capability");
  if (auto it = payload.find("pluginSettings"); it != payload.end() && it->is_object()) {
    context.inputs.pluginSettings = DumpCompact(*it);
  }
  if (const std::string root = text("localLibraryRoot"); !root.empty()) {
    if (auto sdk = ProbeRealtimeSdkRoot(root)) {
      context.inputs.localLibraryRoot = root;
      context.inputs.localLibraryKind = sdk->kind;
      context.inputs.localLibraryVersion = "unknown";
    }
  }
  context.inputs.gt7Host = text("gt7Host");
  if (auto it = payload.find("bmsTelemetryUrl"); it != payload.end() && !it->is_null()) {
    if (!it->is_string()) return LogLaunchRejected("E_BMS_TELEMETRY_URL");
    context.inputs.bmsTelemetryUrl = it->get<std::string>();
  }
  std::string error;
  context.launch = ParseLaunchHint(payloadText, &error);
  if (!error.empty()) return error;
  return StartPlugin(context);
}

void RegisterPluginHostRows(RpcRouteTable& routes, std::function<bool()> developerMode) {
  routes.Register({"startRealtimePlugin"}, [developerMode](const RpcRequest& request) {
    json payload = request.payload.is_object() ? request.payload : json::object();
    const json* idValue = payload.contains("pluginId") ? &payload["pluginId"] : nullptr;
    if (idValue && !idValue->is_string()) return request.ReplyError("plugin launch invalid: pluginId must be a string");
    const std::string pluginId = idValue ? idValue->get<std::string>() : std::string();

    std::string inputName;
    bool select = true;
    if (pluginId == kPdsConverterId) {
      inputName = "realtime.pds";
    } else if (pluginId == kBmsConverterId) {
      inputName = "realtime.bmsbin";
    } else {
      auto root = payload.find("localLibraryRoot");
      select = root != payload.end() && root->is_string() && !root->get<std::string>().empty();
    }
    if (select) {
      if (auto chosen = SelectLocalLibrary(payload, developerMode && developerMode(), inputName,
                                           DefaultSdkSearchPlaces())) {
        payload["localLibraryRoot"] = chosen->folder;
      }
    }
    const std::string error = StartRealtimePlugin(DumpCompact(payload));
    if (!error.empty()) return request.ReplyError(error);
    request.Reply({{"ok", true}, {"pluginId", pluginId}, {"provenance", "verified"}});
  });
  routes.Register({"stopRealtimePlugin"}, [](const RpcRequest& request) {
    std::string pluginId;
    if (request.payload.is_object()) {
      auto it = request.payload.find("pluginId");
      if (it != request.payload.end()) {
        if (!it->is_string()) return request.ReplyError("pluginId must be a string");
        pluginId = it->get<std::string>();
      }
    }
    StopRealtimePlugin(pluginId);
    request.Reply({{"ok", true}, {"pluginId", pluginId}});
  });
}

}  // namespace plugins
