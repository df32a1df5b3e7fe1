#include "plugins/plugin_registry.h"

#include <utility>

#include "base/json.h"
#include "base/never_destroyed.h"
#include "bridge/rpc_dispatch.h"

using nlohmann::json;

namespace plugins {
namespace {

struct HookSlots {
  PluginStatusSink statusSink;
  KickPluginSessionsHook kick;
  StdioPublishHook stdioPublish;
  StdioGenerationHook stdioGeneration;
};

// Guarded by PluginRegistryMutex.
HookSlots& Slots() {
  static base::NeverDestroyed<HookSlots> slots;
  return *slots;
}

template <typename Slot, typename Value>
void Fill(Slot HookSlots::*slot, Value value) {
  std::lock_guard<std::mutex> lock(PluginRegistryMutex());
  Slots().*slot = std::move(value);
}

template <typename Slot>
Slot Copy(Slot HookSlots::*slot) {
  std::lock_guard<std::mutex> lock(PluginRegistryMutex());
  return Slots().*slot;
}

}  // namespace

std::unordered_map<std::string, PluginProcess>& PluginRegistry() {
  static base::NeverDestroyed<std::unordered_map<std::string, PluginProcess>> registry;
  return *registry;
}

std::mutex& PluginRegistryMutex() {
  static base::NeverDestroyed<std::mutex> mutex;
  return *mutex;
}

PluginProcess* FindLivePluginLocked(const std::string& pluginId) {
  auto it = PluginRegistry().find(pluginId);
  if (it == PluginRegistry().end() || it->second.stopped) return nullptr;
  return &it->second;
}

std::atomic<uint64_t>& PluginGenerationCounter() {
  static base::NeverDestroyed<std::atomic<uint64_t>> counter(uint64_t{1});
  return *counter;
}

uint64_t TakePluginGeneration() { return PluginGenerationCounter().fetch_add(1); }

std::recursive_mutex& PluginLifecycleLock() {
  static base::NeverDestroyed<std::recursive_mutex> lock;
  return *lock;
}

void SetPluginStatusSink(PluginStatusSink sink) { Fill(&HookSlots::statusSink, std::move(sink)); }
void SetKickPluginSessionsHook(KickPluginSessionsHook hook) { Fill(&HookSlots::kick, std::move(hook)); }
void SetStdioPublishHook(StdioPublishHook hook) { Fill(&HookSlots::stdioPublish, std::move(hook)); }
void SetStdioGenerationHook(StdioGenerationHook hook) { Fill(&HookSlots::stdioGeneration, std::move(hook)); }

void InvokeKickPluginSessionsHook(const std::string& pluginId) {
  KickPluginSessionsHook hook = Copy(&HookSlots::kick);
  if (hook) hook(pluginId);
}

StdioReply InvokeStdioPublishHook(const std::string& pluginId, const std::string& packageSha256,
                                  const json& payload) {
  StdioPublishHook hook = Copy(&HookSlots::stdioPublish);
  if (!hook) return {};
  return hook(pluginId, packageSha256, payload);
}

void InvokeStdioGenerationHook(const std::string& pluginId, uint64_t generation) {
  StdioGenerationHook hook = Copy(&HookSlots::stdioGeneration);
  if (hook) hook(pluginId, generation);
}

std::string MakePluginStatusEvent(const std::string& pluginId, const std::string& state, int32_t pid,
                                  int32_t restarts, bool needsOnline) {
  json event = {{"type", "rt.plugin"}, {"pluginId", pluginId}, {"state", state},
                {"pid", pid},          {"restarts", restarts}, {"provenance", "verified"}};
  if (needsOnline) {
    event["needsOnline"] = true;
    event["detail"] = "needs to be online to continue";
  }
  return DumpCompact(event);
}

void PublishPluginStatus(const std::string& pluginId, const std::string& state, int32_t pid, int32_t restarts,
                         bool needsOnline) {
  const std::string text = MakePluginStatusEvent(pluginId, state, pid, restarts, needsOnline);
  PluginStatusSink sink = Copy(&HookSlots::statusSink);
  if (sink) sink(text);
}

void SetPluginTokenStamp(const std::string& pluginId, int64_t stamp) {
  std::lock_guard<std::mutex> lock(PluginRegistryMutex());
  auto it = PluginRegistry().find(pluginId);
  if (it == PluginRegistry().end()) return;
  it->second.tokenStamp = stamp;
  it->second.needsOnline = false;
}

void ArmPluginRpc(CapabilityTokenRegistry& tokens, const std::string& pluginId, int64_t stamp) {
  // The token registry's mutex comes after ours in the lock order, but nothing needs both here.
  const std::string token = tokens.GetPluginLaunchCredentials(pluginId).token;
  std::lock_guard<std::mutex> lock(PluginRegistryMutex());
  auto it = PluginRegistry().find(pluginId);
  if (it == PluginRegistry().end()) return;
  it->second.tokenStamp = stamp;
  it->second.token = token;
  it->second.needsOnline = false;
}

bool MarkPluginNeedsOnline(const std::string& pluginId) {
  int32_t pid = 0;
  int32_t restarts = 0;
  {
    std::lock_guard<std::mutex> lock(PluginRegistryMutex());
    PluginProcess* run = FindLivePluginLocked(pluginId);
    if (!run) return false;
    if (run->needsOnline) return true;
    run->needsOnline = true;
    pid = static_cast<int32_t>(run->pid);
    restarts = run->restarts;
  }
  PublishPluginStatus(pluginId, PluginState::kRunning, pid, restarts, true);
  return true;
}

uint64_t GetPluginGeneration(const std::string& pluginId) {
  std::lock_guard<std::mutex> lock(PluginRegistryMutex());
  PluginProcess* run = FindLivePluginLocked(pluginId);
  return run ? run->generation : 0;
}

bool IsPluginProcessAlive(const std::string& pluginId) {
  std::lock_guard<std::mutex> lock(PluginRegistryMutex());
  PluginProcess* run = FindLivePluginLocked(pluginId);
  // A zero-length wait only looks at the child; it never blocks. Lines a stdio child wrote before
  // it ended are its own until its reader has handled the last of them.
  return run && run->process && (run->stdoutOpen || !run->process->HasExited());
}

void RegisterPluginRegistryRows(RpcDispatch& dispatcher, CapabilityTokenRegistry& tokens) {
  dispatcher.SetPluginTokenArmedHook(
      [&tokens](const std::string& pluginId, int64_t nowSeconds) { ArmPluginRpc(tokens, pluginId, nowSeconds); });
}

}  // namespace plugins
