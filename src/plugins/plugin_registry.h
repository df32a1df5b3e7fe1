#pragma once
// The plugin registry: one record per plugin run by plugin id, the generation counter that
// numbers runs, the queries the bridge and the realtime hub ask about a run, the plugin host's
// hook slots and the "rt.plugin" status events to the page.
//
// Threads: request rows, bridge plugin connections, realtime publishers, supervisors, stdout
// readers and decode workers all come here. PluginRegistryMutex guards the map and every hook
// slot; it is never held across a status send, a hook call, a wait for a child or a join: each
// slot is copied under the mutex and the copy called after it is released.
//
// Ownership and invariants: the map owns its PluginProcess records. A record in the map has a
// supervisor thread; whoever removes a record joins its threads first (a record is never
// destroyed while one is joinable). A stopped record counts as absent for every query.
// Lock order: PluginLifecycleLock, then the package store's mutex, then PluginRegistryMutex, then
// the token registry's own mutex.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/tokens/capability_token_registry.h"
#include "platform/process.h"
#include "platform/unique_fd.h"
#include "plugins/launch_spec.h"
#include "plugins/stderr_log_budget.h"

class RpcDispatch;

namespace plugins {

// One plugin run. Move-only; the process and pipe ends belong to it.
struct PluginProcess {
  std::string pluginId;
  std::string packageSha256;
  std::string mode;       // "realtime" or "decode"
  std::string transport;  // "stdio" or "ws"
  std::vector<std::string> argv;
  std::string workingDirectory;
  PluginRunInputs inputs;
  int32_t restarts = 0;
  bool stopped = false;
  int64_t tokenStamp = 0;
  std::string token;
  bool needsOnline = false;
  uint64_t generation = 0;
  std::chrono::steady_clock::time_point startTime = std::chrono::steady_clock::now();
  // The child and its process group, which is its job; a suspended child waits behind its gate.
  // Shared so a supervisor can wait on the child without the registry mutex held.
  std::shared_ptr<platform::process::Child> process;
  platform::UniqueFd stdinWrite;  // "stdio" transport only
  platform::UniqueFd stdoutRead;  // "stdio" transport only
  platform::UniqueFd stderrRead;
  std::string stderrTail;  // last 4096 bytes at most
  StderrLogBudget stderrLog;  // how much of stderr this run may still log
  uint32_t pid = 0;
  bool suspended = false;  // spawned, waiting behind its gate for ResumePluginMainThread
  std::thread supervisor;
  std::thread reader;  // "stdio" transport only
  // A "stdio" run's reader has not yet met the end of the child's stdout: lines the child wrote
  // before it ended are still to be handled, as the run's own. Cleared by the reader as it ends.
  bool stdoutOpen = false;
};

// The state texts of "rt.plugin" events.
namespace PluginState {
inline constexpr const char* kRunning = "running";
inline constexpr const char* kRestarting = "restarting";
inline constexpr const char* kStopped = "stopped";
inline constexpr const char* kCrashed = "crashed";
}  // namespace PluginState

// What the stdio bridge writes back to the plugin; an empty line means no reply was made.
struct StdioReply {
  std::string line;
};

using PluginStatusSink = std::function<void(const std::string& text)>;
using KickPluginSessionsHook = std::function<void(const std::string& pluginId)>;
using StdioPublishHook = std::function<StdioReply(const std::string& pluginId, const std::string& packageSha256,
                                                  const nlohmann::json& payload)>;
using StdioGenerationHook = std::function<void(const std::string& pluginId, uint64_t generation)>;

// Process-wide, never destroyed (detached workers may still ask at exit).
std::unordered_map<std::string, PluginProcess>& PluginRegistry();
std::mutex& PluginRegistryMutex();
// The record of pluginId unless it is absent or stopped, else null. PluginRegistryMutex held.
PluginProcess* FindLivePluginLocked(const std::string& pluginId);
// Starts at 1; each start or restart takes the value and adds one.
std::atomic<uint64_t>& PluginGenerationCounter();
uint64_t TakePluginGeneration();
// Serialises starting and stopping plugins; never taken by supervisor or reader threads.
std::recursive_mutex& PluginLifecycleLock();

// Hook slots (start-up fills them; an empty slot makes its call do nothing).
void SetPluginStatusSink(PluginStatusSink sink);
void SetKickPluginSessionsHook(KickPluginSessionsHook hook);
void SetStdioPublishHook(StdioPublishHook hook);
void SetStdioGenerationHook(StdioGenerationHook hook);
void InvokeKickPluginSessionsHook(const std::string& pluginId);
// An empty reply line when no hook is installed.
StdioReply InvokeStdioPublishHook(const std::string& pluginId, const std::string& packageSha256,
                                  const nlohmann::json& payload);
void InvokeStdioGenerationHook(const std::string& pluginId, uint64_t generation);

// The "rt.plugin" event text.
std::string MakePluginStatusEvent(const std::string& pluginId, const std::string& state, int32_t pid,
                                  int32_t restarts, bool needsOnline);
void PublishPluginStatus(const std::string& pluginId, const std::string& state, int32_t pid, int32_t restarts,
                         bool needsOnline);

void SetPluginTokenStamp(const std::string& pluginId, int64_t stamp);
// The registry's side of the page arming a token: the plugin's armed token and the time go into
// its record; an unknown plugin changes nothing.
void ArmPluginRpc(CapabilityTokenRegistry& tokens, const std::string& pluginId, int64_t stamp);
// False when the plugin is not registered or stopped; otherwise marks it (publishing "running"
// with the needs-online flag the first time) and returns true.
bool MarkPluginNeedsOnline(const std::string& pluginId);
uint64_t GetPluginGeneration(const std::string& pluginId);
bool IsPluginProcessAlive(const std::string& pluginId);

// Hands "armPluginRpc" the registry's step.
void RegisterPluginRegistryRows(RpcDispatch& dispatcher, CapabilityTokenRegistry& tokens);

}  // namespace plugins
