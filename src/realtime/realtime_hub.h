#pragma once
// The realtime hub: where publisher plugins' sequenced messages are checked, ordered per
// publisher and per plugin run (generation), stamped with source and provenance, and sent to
// the page in "rt.batch" texts, four at a time or by a flusher every 50 ms.
//
// Threads: publishers call Publish from the bridge's plugin connection threads and the plugin
// host's stdout readers; the plugin host calls BeginGeneration and EndPublisher; a new page
// connection's thread calls ReplayDeclarations; the flusher is the hub's own thread, joined by
// Stop (or the destructor).
//
// Invariants: the hub mutex guards every member and is never held while the batch sink sends,
// while a page text is written or while the fan-out hooks run: each is copied under the mutex
// and called after it is released. Within one publisher, every accepted seq is above the last;
// a jump is stamped with the "gap" it left.
//
// Upward reach: the hub knows neither the plugin registry nor remote access. The fan-out hooks
// carry what remote access receives; HandleStdioPublish gets the registry's answers through
// RealtimePluginQueries. The composition root fills both.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/plugin_sessions.h"  // PublishResult
#include "bridge/tokens/capability_token_registry.h"

namespace realtime {

inline constexpr const char* kGenerationStale = "E_GENERATION";
inline constexpr size_t kBatchThreshold = 4;

// Sends one JSON text to the page.
using UiTextSink = std::function<void(const std::string& text)>;

// Where the hub's accepted messages go besides the page. Both run outside the hub mutex, on the
// publishing (or ending) thread; an empty slot does nothing.
struct RealtimeFanoutHooks {
  // Every accepted message as queued for the page (the receiver keeps only verified ones).
  std::function<void(const nlohmann::json& message)> fanOutVerified;
  // The plugin's run ended.
  std::function<void(const std::string& pluginId)> fanOutSourceEnded;
};

class RealtimeHub {
 public:
  // The process-wide hub, built with its flusher on first use.
  static RealtimeHub& Instance();

  // A hub of its own (tests, benchmarks): sink and flush interval given; the flusher starts now.
  explicit RealtimeHub(UiTextSink sink = {}, std::chrono::milliseconds flushInterval = std::chrono::milliseconds(50));
  ~RealtimeHub();
  RealtimeHub(const RealtimeHub&) = delete;
  RealtimeHub& operator=(const RealtimeHub&) = delete;

  // An empty sink drops batches (the page is gone); a send already under way finishes.
  void SetBatchSink(UiTextSink sink);
  void SetFanoutHooks(RealtimeFanoutHooks hooks);

  // A generation of 0 skips the generation check.
  PublishResult Publish(const CapabilityClaims& claims, bool verified, const nlohmann::json& body,
                        uint64_t generation);
  // A plugin's new run. An earlier run that published and did not end (a restart after a crash)
  // is ended to the fan-out first, as EndPublisher would.
  void BeginGeneration(const std::string& pluginId, uint64_t generation);
  void EndPublisher(const std::string& pluginId);
  // Every stored declaration to the page, four to a batch.
  void ReplayDeclarations();
  // Sends the plugin's pending messages now, ahead of the flusher.
  void FlushPublisher(const std::string& pluginId);
  // Ends the flusher; a second call does nothing. Publish still works afterwards (batches of
  // four and FlushPublisher still send).
  void Stop();

 private:
  struct PublisherState {
    int64_t lastSeq = 0;
    uint64_t generation = 0;
    nlohmann::json declaration;  // null when none
    std::set<std::string> rejectedChannelIds;
  };

  static void SendBatch(const UiTextSink& sink, std::vector<nlohmann::json>& messages);
  void FlushLoop();
  // Moves the plugin's pending messages out, in order. Hub mutex held.
  std::vector<nlohmann::json> TakePendingOf(const std::string& pluginId);

  const std::chrono::milliseconds flushInterval_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::unordered_map<std::string, PublisherState> publishers_;
  std::vector<nlohmann::json> pending_;
  UiTextSink sink_;
  RealtimeFanoutHooks fanout_;
  std::thread flusher_;
  bool stop_ = false;
  std::mutex stopLock_;  // one Stop at a time joins the flusher
};

// What the stdio publish path needs of the plugin registry; an empty hook answers as for a
// plugin that is not registered.
struct RealtimePluginQueries {
  std::function<bool(const std::string& pluginId)> isPluginProcessAlive;
  std::function<uint64_t(const std::string& pluginId)> getPluginGeneration;
  // False when the plugin is not registered or is stopped: the caller then reports the plugin
  // "stopped" with needs-online itself, through publishStoppedNeedsOnline.
  std::function<bool(const std::string& pluginId)> markPluginNeedsOnline;
  std::function<void(const std::string& pluginId)> publishStoppedNeedsOnline;
};

// A stdio plugin's "rt.publish" payload, checked against its armed token; the reply line.
std::string HandleStdioPublish(RealtimeHub& hub, CapabilityTokenRegistry& tokens, const RealtimePluginQueries& queries,
                               const std::string& pluginId, const std::string& packageSha256,
                               const nlohmann::json& payload, int64_t nowMs);

// The reply line of a stdio publish the hub answered: "publish-ok" with the seq (and the rejected
// channels of a declaration), or the error code ("E_GENERATION" for a stale run).
std::string PublishReplyText(const PublishResult& result);

// The two callables the plugin host's stdio bridge and supervisor call; the composition root
// installs them into the plugin host's slots at start-up.
class StdioHook {
 public:
  StdioHook(RealtimeHub& hub, CapabilityTokenRegistry& tokens, RealtimePluginQueries queries,
            WallClockMs clock = SystemWallClockMs);
  // The reply line of one stdio publish.
  std::string Publish(const std::string& pluginId, const std::string& packageSha256,
                      const nlohmann::json& payload) const;
  // A plugin's new run: the hub's new generation, then the armed grant may be presented again.
  void BeginGeneration(const std::string& pluginId, uint64_t generation) const;

 private:
  RealtimeHub* hub_;
  CapabilityTokenRegistry* tokens_;
  RealtimePluginQueries queries_;
  WallClockMs clock_;
};

}  // namespace realtime
