#pragma once
// Running plugin children: the launch resolution against the installed, signed package, the
// child's environment, the suspended start in a job of its own, the stderr drain, the stdout
// line protocol into the realtime hub, the supervisor that restarts a crashed realtime run, and
// the page's start and stop requests.
//
// Threads: starts and stops run on the bridge's UI connection thread (and StopAllPlugins on the
// main thread at exit), one at a time under PluginLifecycleLock. Each run has a supervisor
// thread and, for the "stdio" transport, a stdout reader thread; both belong to the run's record
// and are joined by whoever removes it (StopPlugin, or the supervisor joining an old reader
// before a restart). Neither thread ever calls StopPlugin.
//
// Locks: PluginLifecycleLock, then PackageStoreMutex, then PluginRegistryMutex. No lock is held
// while waiting for a child or joining a thread; a reply to a child is written without blocking
// (a child that does not read its stdin has its replies held up to a bound, then loses them, and
// never stalls the host).
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "bridge/tokens/capability_token_registry.h"
#include "plugins/launch_checks.h"
#include "plugins/launch_command.h"
#include "plugins/launch_spec.h"
#include "plugins/plugin_registry.h"

class RpcRouteTable;

namespace plugins {

// What the plugin host uses of the rest of the host; installed once at start-up.
struct PluginHostServices {
  CapabilityTokenRegistry* tokens = nullptr;
  std::function<void(const std::string& pluginId)> endPublisher;  // the realtime hub's
  WallClockMs wallClockMs = SystemWallClockMs;
  // Waits before the 1st, 2nd, 3rd (and any later) restart; tests shorten them.
  std::array<std::chrono::milliseconds, 4> restartDelays{std::chrono::milliseconds(500),
                                                          std::chrono::milliseconds(1000),
                                                          std::chrono::milliseconds(2000),
                                                          std::chrono::milliseconds(5000)};
  // A run that lasted this long has its restart count reset.
  std::chrono::steady_clock::duration restartCountReset = std::chrono::seconds(60);
  std::chrono::milliseconds pollInterval{200};
};
void InstallPluginHost(PluginHostServices services);

inline constexpr size_t kPluginStderrTailBytes = 4096;
inline constexpr size_t kPluginStdoutLineBytes = 1 << 20;
inline constexpr int64_t kPluginTokenMaxAgeSeconds = 900;
// How long an ended run's stdout reader is given to handle what the child wrote before it ended.
inline constexpr std::chrono::milliseconds kPluginStdoutDrainBound{2000};

// Launch resolution; "" or the refusal text. Called with PackageStoreMutex held.
std::string PreparePluginRun(const PluginLaunchContext& context, PluginProcess& record, ResolvedLaunch& resolved);
EnvironmentPairs BuildChildEnvironment(const PluginProcess& record);
// Starts the child suspended with its pipes; fills the record's process, pid and startTime.
bool SpawnPluginProcess(PluginProcess& record, std::string* errorOut);
void ResumePluginMainThread(PluginProcess& record);
// Reads whatever stderr holds now into the tail, and into the log as far as the run's log
// budget allows (stderr_log_budget.h); never blocks.
void PumpPluginStderr(PluginProcess& record);
// The last drain of a child's stderr: pumps, reports what was left out of the log, closes the
// pipe.
void FinishPluginStderr(PluginProcess& record);

// The replies a run's stdout reader has made and the child's stdin has not taken yet, oldest
// first; owned by that reader alone. Bounded, so a child that never reads its stdin costs at most
// kPluginReplyBacklogBytes and loses the replies beyond it, while a child that reads late (after
// a burst of publishes) gets every reply in order.
struct PluginReplyOutbox {
  std::string bytes;      // whole reply lines, each with its line feed
  uint64_t dropped = 0;   // replies refused because the backlog was full
};
inline constexpr size_t kPluginReplyBacklogBytes = 1 << 20;

void PluginStdoutReader(const std::string& pluginId);
// One complete stdout line (without its line feed); a publish's reply is appended to the outbox.
void HandlePluginStdoutLine(const std::string& pluginId, const std::string& line, PluginReplyOutbox& outbox);
// Writes what the non-blocking stdin takes now and removes it from the outbox; false when the
// child's stdin is closed (or failed) and will take nothing more.
bool WritePluginReplies(int stdinWrite, PluginReplyOutbox& outbox);
void PluginSupervisor(const std::string& pluginId);
bool IsPluginTokenStale(const PluginProcess& record);

std::string StartRealtimePlugin(const std::string& payloadText);
std::string StartPlugin(const PluginLaunchContext& context);
std::string StopPlugin(const std::string& pluginId, bool disarm);
inline std::string StopRealtimePlugin(const std::string& pluginId) { return StopPlugin(pluginId, true); }
void StopAllPlugins();

// "startRealtimePlugin", "stopRealtimePlugin" (and the stop step of "unstagePluginPackage").
void RegisterPluginHostRows(RpcRouteTable& routes, std::function<bool()> developerMode);

}  // namespace plugins
