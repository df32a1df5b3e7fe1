#include "realtime/realtime_hub.h"

#include <utility>

#include "base/json.h"
#include "base/log.h"
#include "realtime/publisher_checks.h"

using nlohmann::json;

namespace realtime {
namespace {

bool IsFromPublisher(const json& message, const std::string& prefix) {
  auto it = message.find("source");
  if (it == message.end() || !it->is_string()) return false;
  const std::string& source = it->get_ref<const std::string&>();
  return source.compare(0, prefix.size(), prefix) == 0;
}

// Removes the frame's channels whose ids the last stream declaration rejected; the number of
// values that went with them.
int64_t DropRejectedChannels(json& frame, const std::set<std::string>& rejected) {
  if (rejected.empty()) return 0;
  json& channels = frame["channels"];
  int64_t removed = 0;
  json kept = json::array();
  for (json& channel : channels) {
    const std::string& id = channel["id"].get_ref<const std::string&>();
    if (rejected.count(id) == 0) {
      kept.push_back(std::move(channel));
      continue;
    }
    auto values = channel.find("values");
    removed += (values != channel.end() && values->is_array()) ? static_cast<int64_t>(values->size()) : 1;
  }
  channels = std::move(kept);
  return removed;
}

}  // namespace

RealtimeHub& RealtimeHub::Instance() {
  static RealtimeHub hub;
  return hub;
}

RealtimeHub::RealtimeHub(UiTextSink sink, std::chrono::milliseconds flushInterval)
    : flushInterval_(flushInterval), sink_(std::move(sink)) {
  flusher_ = std::thread([this] { FlushLoop(); });
}

RealtimeHub::~RealtimeHub() { Stop(); }

void RealtimeHub::SetBatchSink(UiTextSink sink) {
  std::lock_guard<std::mutex> lock(mutex_);
  sink_ = std::move(sink);
}

void RealtimeHub::SetFanoutHooks(RealtimeFanoutHooks hooks) {
  std::lock_guard<std::mutex> lock(mutex_);
  fanout_ = std::move(hooks);
}

void RealtimeHub::SendBatch(const UiTextSink& sink, std::vector<json>& messages) {
  if (!sink || messages.empty()) return;
  json batch = json::object();
  batch["type"] = "rt.batch";
  json& frames = batch["frames"] = json::array();
  frames.get_ref<json::array_t&>() = std::move(messages);
  sink(DumpCompact(batch));
}

PublishResult RealtimeHub::Publish(const CapabilityClaims& claims, bool verified, const json& body,
                                   uint64_t generation) {
  PublishResult result;
  CheckedBody checked;
  result.code = CheckPublishBody(claims, body, checked);
  if (!result.code.empty()) return result;

  json message = json::object();
  message["source"] = claims.pluginId + "@" + claims.pkg;
  message["provenance"] = verified ? "verified" : "unverified";
  message["seq"] = checked.seq;
  const bool isDeclaration =
      checked.kind == BodyKind::StreamDeclaration || checked.kind == BodyKind::TimingDeclaration;
  if (checked.kind == BodyKind::StreamDeclaration) {
    result.rejectedChannels = checked.rejectedChannels;
    if (!checked.rejectedChannels.empty()) message["rejectedChannels"] = checked.rejectedChannels;
  }
  const char* key = checked.kind == BodyKind::Frame ? "frame" : checked.kind == BodyKind::Timing ? "timing" : "declare";
  message[key] = std::move(checked.item);

  std::vector<json> batch;
  UiTextSink sink;
  RealtimeFanoutHooks fanout;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    PublisherState& state = publishers_[claims.pluginId];
    if (generation != 0 && generation != state.generation) {
      result.stale = true;
      result.rejectedChannels = json::array();
      return result;
    }
    if (state.lastSeq != 0) {
      if (checked.seq <= state.lastSeq) {
        result.code = kTokenReplay;
        result.rejectedChannels = json::array();
        return result;
      }
      if (checked.seq > state.lastSeq + 1) {
        message["gap"] = {{"reason", "sequence-skip"},
                          {"fromSeq", state.lastSeq + 1},
                          {"toSeq", checked.seq - 1},
                          {"missed", checked.seq - state.lastSeq - 1}};
      }
    }
    state.lastSeq = checked.seq;

    if (checked.kind == BodyKind::Frame) {
      const int64_t removed = DropRejectedChannels(message["frame"], state.rejectedChannelIds);
      if (removed > 0) message["rejectedChannelValues"] = removed;
    }
    if (checked.kind == BodyKind::StreamDeclaration) {
      state.rejectedChannelIds.clear();
      for (const json& record : checked.rejectedChannels) {
        state.rejectedChannelIds.insert(record["id"].get<std::string>());
      }
      for (const json& channel : message["declare"]["channels"]) {
        state.rejectedChannelIds.erase(channel["id"].get<std::string>());
      }
    }
    if (isDeclaration) {
      state.declaration = message;
      state.declaration.erase("gap");
    }
    fanout = fanout_;
    if (fanout.fanOutVerified) {
      // The fan-out gets its own copy; the queued one goes to the page.
      pending_.push_back(message);
    } else {
      pending_.push_back(std::move(message));
    }
    if (pending_.size() >= kBatchThreshold) batch.swap(pending_);
    sink = sink_;
    result.seq = checked.seq;
  }
  if (fanout.fanOutVerified) fanout.fanOutVerified(message);
  SendBatch(sink, batch);
  return result;
}

std::vector<json> RealtimeHub::TakePendingOf(const std::string& pluginId) {
  const std::string prefix = pluginId + "@";
  std::vector<json> taken;
  std::vector<json> rest;
  for (json& message : pending_) {
    (IsFromPublisher(message, prefix) ? taken : rest).push_back(std::move(message));
  }
  pending_ = std::move(rest);
  return taken;
}

void RealtimeHub::FlushPublisher(const std::string& pluginId) {
  UiTextSink sink;
  std::vector<json> taken;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sink = sink_;
    taken = TakePendingOf(pluginId);
  }
  SendBatch(sink, taken);
}

void RealtimeHub::BeginGeneration(const std::string& pluginId, uint64_t generation) {
  // A run that published and never ended (a crash the supervisor restarts) ends here, before the
  // new run's first message: its seq starts again, and viewers must not take it for the old run's.
  RealtimeFanoutHooks fanout;
  bool oldRunPublished = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = publishers_.find(pluginId);
    oldRunPublished = it != publishers_.end() && it->second.lastSeq != 0;
    fanout = fanout_;
  }
  if (oldRunPublished && fanout.fanOutSourceEnded) fanout.fanOutSourceEnded(pluginId);
  FlushPublisher(pluginId);
  std::lock_guard<std::mutex> lock(mutex_);
  PublisherState& state = publishers_[pluginId];
  state = PublisherState{};
  state.generation = generation;
  // What arrived after the flush belongs to the old run.
  TakePendingOf(pluginId);
}

void RealtimeHub::EndPublisher(const std::string& pluginId) {
  RealtimeFanoutHooks fanout;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fanout = fanout_;
  }
  if (fanout.fanOutSourceEnded) fanout.fanOutSourceEnded(pluginId);
  FlushPublisher(pluginId);
  std::lock_guard<std::mutex> lock(mutex_);
  publishers_.erase(pluginId);
}

void RealtimeHub::ReplayDeclarations() {
  UiTextSink sink;
  std::vector<json> declarations;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sink = sink_;
    for (const auto& [id, state] : publishers_) {
      if (!state.declaration.is_null()) declarations.push_back(state.declaration);
    }
  }
  for (size_t i = 0; i < declarations.size(); i += kBatchThreshold) {
    std::vector<json> slice;
    for (size_t j = i; j < declarations.size() && j < i + kBatchThreshold; ++j) {
      slice.push_back(std::move(declarations[j]));
    }
    SendBatch(sink, slice);
  }
}

void RealtimeHub::FlushLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    wake_.wait_for(lock, flushInterval_, [this] { return stop_; });
    if (stop_) break;
    if (pending_.empty()) continue;
    std::vector<json> batch;
    batch.swap(pending_);
    UiTextSink sink = sink_;
    lock.unlock();
    try {
      SendBatch(sink, batch);
    } catch (const std::exception& e) {
      LogPrintf("[realtime] batch send failed: %s\n", e.what());
    }
    lock.lock();
  }
}

void RealtimeHub::Stop() {
  std::lock_guard<std::mutex> stopping(stopLock_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (flusher_.joinable()) flusher_.join();
}

std::string HandleStdioPublish(RealtimeHub& hub, CapabilityTokenRegistry& tokens, const RealtimePluginQueries& queries,
                               const std::string& pluginId, const std::string& packageSha256, const json& payload,
                               int64_t nowMs) {
  TokenExpectations expect;
  expect.role = "source";
  expect.pluginId = pluginId;
  expect.pkg = packageSha256;
  expect.nowSeconds = tokens.ServerNowSeconds(nowMs);
  const PluginLaunchCredentials credentials = tokens.GetPluginLaunchCredentials(pluginId);
  CapabilityClaims claims;
  std::string code = tokens.CheckArmedGrant(credentials.token, expect, &claims);
  if (code == kTokenExpired) {
    const bool marked = queries.markPluginNeedsOnline && queries.markPluginNeedsOnline(pluginId);
    if (!marked && queries.publishStoppedNeedsOnline) queries.publishStoppedNeedsOnline(pluginId);
    code.clear();
  }
  if (!code.empty()) return DumpCompact({{"type", "error"}, {"code", code}});

  const bool verified = queries.isPluginProcessAlive && queries.isPluginProcessAlive(pluginId);
  const uint64_t generation = queries.getPluginGeneration ? queries.getPluginGeneration(pluginId) : 0;
  return PublishReplyText(hub.Publish(claims, verified, payload, generation));
}

std::string PublishReplyText(const PublishResult& result) {
  const bool ok = !result.stale && result.code.empty();
  if (ok && (!result.rejectedChannels.is_array() || result.rejectedChannels.empty())) {
    // The reply of nearly every line, written as the dump below would write it (keys in order).
    return R"({"payload":{"seq":)" + std::to_string(result.seq) + R"(},"type":"publish-ok"})";
  }
  // Filled member by member: a braced initialiser would copy every value once more per line.
  json reply = json::object();
  if (!ok) {
    reply["type"] = "error";
    reply["code"] = result.stale ? kGenerationStale : result.code;
    return DumpCompact(reply);
  }
  reply["type"] = "publish-ok";
  json& out = reply["payload"];
  out["seq"] = result.seq;
  out["rejectedChannels"] = result.rejectedChannels;
  return DumpCompact(reply);
}

StdioHook::StdioHook(RealtimeHub& hub, CapabilityTokenRegistry& tokens, RealtimePluginQueries queries,
                     WallClockMs clock)
    : hub_(&hub), tokens_(&tokens), queries_(std::move(queries)), clock_(std::move(clock)) {}

std::string StdioHook::Publish(const std::string& pluginId, const std::string& packageSha256,
                               const json& payload) const {
  return HandleStdioPublish(*hub_, *tokens_, queries_, pluginId, packageSha256, payload, clock_());
}

void StdioHook::BeginGeneration(const std::string& pluginId, uint64_t generation) const {
  hub_->BeginGeneration(pluginId, generation);
  tokens_->ReopenArmedGrant(pluginId);
}

}  // namespace realtime
