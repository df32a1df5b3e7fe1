// The fan-out between the realtime hub and the viewers: the per-source cache with its backlog,
// the share subscriptions, and each viewer's frame queue with its merging and byte cap.
#include <algorithm>

#include "base/json.h"
#include "remote/remote_state.h"

namespace remote {

namespace {

bool IsSourceEnded(const Json& message) {
  auto it = message.find("type");
  return it != message.end() && it->is_string() && *it == "source-ended";
}

bool IsDeclaration(const Json& message) { return message.contains("declare"); }
bool IsFrame(const Json& message) { return message.contains("frame"); }

std::string SourceOf(const Json& message) {
  auto it = message.find("source");
  return it != message.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The first seq a queued message stands for: its gap's start when it carries one.
int64_t FirstSeqOf(const Json& message) {
  auto gap = message.find("gap");
  if (gap != message.end() && gap->is_object()) {
    auto from = gap->find("fromSeq");
    if (from != gap->end() && from->is_number_integer()) return from->get<int64_t>();
  }
  return SeqOf(message);
}

Json SourceEndedRecord(const std::string& source, int64_t lastSeq) {
  return {{"type", "source-ended"}, {"source", source}, {"state", "ended"}, {"lastSeq", lastSeq},
          {"provenance", "verified"}};
}

// Removes frameQueue[index] of a viewer whose queue must shrink; the seqs it stood for go onto
// the next queued message of its source or, when none is queued, are stamped on the next one to
// arrive. Caller holds the viewer's mutex.
void DropQueued(Viewer& viewer, size_t index, const char* reason) {
  const Json& dropped = viewer.frameQueue[index].message;
  const std::string source = SourceOf(dropped);
  const int64_t from = FirstSeqOf(dropped), to = SeqOf(dropped);
  viewer.frameQueueBytes -= viewer.frameQueue[index].size;
  viewer.frameQueue.erase(viewer.frameQueue.begin() + static_cast<std::ptrdiff_t>(index));
  for (size_t i = index; i < viewer.frameQueue.size(); ++i) {
    Json& next = viewer.frameQueue[i].message;
    if (SourceOf(next) != source || SeqOf(next) <= 0) continue;
    MakeGapNotice(next, reason, from, to);
    return;
  }
  if (from > 0) {
    auto [it, inserted] = viewer.lastSeqBySource.emplace(source, from);
    if (!inserted) it->second = std::min(it->second, from);
  }
}

}  // namespace

int64_t SeqOf(const Json& message) {
  auto it = message.find("seq");
  if (it == message.end() || !it->is_number_integer()) return 0;
  if (it->is_number_unsigned()) return static_cast<int64_t>(std::min<uint64_t>(it->get<uint64_t>(), INT64_MAX));
  return it->get<int64_t>();
}

bool IsTimingDeclare(const Json& message) {
  auto declare = message.find("declare");
  if (declare == message.end() || !declare->is_object()) return false;
  auto kind = declare->find("kind");
  return kind != declare->end() && kind->is_string() && *kind == "timing";
}

std::string InstanceKeyOf(const Json& message) {
  auto instance = message.find("instanceId");
  if (instance != message.end() && instance->is_string()) return instance->get<std::string>();
  const std::string source = SourceOf(message);
  const size_t hash = source.find('#');
  if (hash != std::string::npos) return source.substr(hash + 1);
  return source.substr(0, source.find('@'));
}

void MakeGapNotice(Json& message, const std::string& reason, int64_t fromSeq, int64_t toSeq) {
  if (fromSeq <= 0 || toSeq < fromSeq) return;
  auto old = message.find("gap");
  if (old != message.end()) {
    if (!old->is_object()) return;
    auto oldFrom = old->find("fromSeq"), oldTo = old->find("toSeq");
    if (oldFrom == old->end() || oldTo == old->end() || !oldFrom->is_number_integer() ||
        !oldTo->is_number_integer()) {
      return;
    }
    fromSeq = std::min(fromSeq, oldFrom->get<int64_t>());
    toSeq = std::max(toSeq, oldTo->get<int64_t>());
  }
  message["gap"] = {{"reason", reason}, {"fromSeq", fromSeq}, {"toSeq", toSeq}, {"missed", toSeq - fromSeq + 1}};
}

bool AcceptsMessage(const std::vector<Subscription>& subscriptions, const Json& message, uint64_t cacheGeneration) {
  const std::string source = SourceOf(message);
  for (const Subscription& s : subscriptions) {
    if (s.boundSource == source && s.cacheGeneration == cacheGeneration && (!s.ended || IsSourceEnded(message))) {
      return true;
    }
  }
  return false;
}

void PruneSourceBacklog(State& state, int64_t nowMs) {
  for (auto& [key, entry] : state.sourceCache) {
    while (!entry.backlog.empty()) {
      const BacklogEntry& oldest = entry.backlog.front();
      const bool tooOld = nowMs - oldest.receivedMs > kBacklogMaxAgeMs;
      const bool tooBig = entry.totalBytes > kBacklogMaxBytes && entry.backlog.size() >= 2;
      if (!tooOld && !tooBig) break;
      entry.totalBytes -= oldest.size;
      entry.backlog.pop_front();
    }
  }
}

void BindShareSource(State& state, Subscription& subscription) {
  if (!subscription.boundSource.empty() || subscription.ended) return;
  for (const auto& [key, entry] : state.sourceCache) {
    if (entry.ended || (key != subscription.requestedSource && entry.instanceId != subscription.requestedSource)) {
      continue;
    }
    subscription.boundSource = key;
    subscription.cacheGeneration = entry.cacheGeneration;
    subscription.declaration = entry.streamDeclaration;
    subscription.lastSeq = entry.lastSeq;
    return;
  }
}

std::vector<Subscription> SubscriptionsOf(State& state, Viewer& viewer) {
  if (!viewer.shareId.empty()) {
    std::lock_guard<std::recursive_mutex> lock(state.cacheMutex);
    auto it = state.shares.find(viewer.shareId);
    return it == state.shares.end() ? std::vector<Subscription>{} : it->second;
  }
  std::lock_guard<std::mutex> lock(viewer.mutex);
  return {viewer.boundSource};
}

void EnqueueForViewer(State& state, Viewer& viewer, Json message, uint64_t cacheGeneration, uint64_t size) {
  std::vector<Subscription> subs = SubscriptionsOf(state, viewer);
  if (size == 0) size = DumpCompact(message).size();
  std::lock_guard<std::mutex> lock(viewer.mutex);
  const std::string source = SourceOf(message);
  const bool ownSubscription = viewer.shareId.empty();
  Subscription& own = viewer.boundSource;
  if (ownSubscription && own.boundSource == source && own.cacheGeneration == cacheGeneration &&
      IsSourceEnded(message)) {
    own.ended = true;
  }
  if (!viewer.subscribed || viewer.closed) return;
  if (ownSubscription && own.boundSource.empty() && !own.ended) {
    own.boundSource = source;
    own.cacheGeneration = cacheGeneration;
    subs.push_back(own);
  }
  if (!AcceptsMessage(subs, message, cacheGeneration)) return;
  if (!viewer.allSources &&
      std::find(viewer.subscribedSources.begin(), viewer.subscribedSources.end(), source) ==
          viewer.subscribedSources.end()) {
    return;
  }
  if (ownSubscription) {
    if (IsDeclaration(message) && !IsTimingDeclare(message)) own.declaration = std::make_shared<const Json>(message);
    own.lastSeq = SeqOf(message);
    auto last = message.find("lastSeq");
    if (last != message.end() && last->is_number_integer()) own.lastSeq = last->get<int64_t>();
    if (IsSourceEnded(message)) own.ended = true;
  }
  const int64_t seq = SeqOf(message);
  auto missed = viewer.lastSeqBySource.find(source);
  if (missed != viewer.lastSeqBySource.end() && seq >= missed->second) {
    MakeGapNotice(message, "sequence-skip", missed->second, seq - 1);
    viewer.lastSeqBySource.erase(missed);
  }
  const bool isFrame = IsFrame(message);
  viewer.frameQueue.push_back({std::move(message), size});
  viewer.frameQueueBytes += size;

  if (isFrame) {
    size_t count = 0, oldest = viewer.frameQueue.size();
    for (size_t i = 0; i < viewer.frameQueue.size(); ++i) {
      const Json& m = viewer.frameQueue[i].message;
      if (IsFrame(m) && SourceOf(m) == source) {
        if (count++ == 0) oldest = i;
      }
    }
    if (count >= 5) {
      // The merged frame's own range goes onto the next frame of its source, so the seqs of the
      // records between them (delivered) are never counted as missed.
      DropQueued(viewer, oldest, "backpressure-merge");
      viewer.rate = std::max(1, viewer.baseRate / 2);
    }
  }
  // Timing records and declarations are not merged: the byte cap bounds them. A viewer that lets
  // them pile up is a slow consumer: records give way first, then it is closed.
  if (viewer.frameQueueBytes > kViewerQueueByteCap) {
    viewer.rate = std::max(1, viewer.baseRate / 2);
    size_t i = 0;
    while (viewer.frameQueueBytes > kViewerQueueByteCap && i < viewer.frameQueue.size()) {
      const Json& m = viewer.frameQueue[i].message;
      if (IsDeclaration(m) || IsSourceEnded(m)) {
        ++i;
        continue;
      }
      DropQueued(viewer, i, "backpressure-merge");
    }
    if (viewer.frameQueueBytes > kViewerQueueByteCap) viewer.closed = true;
  }
}

void FanOutVerified(State& state, const Json& message) {
  if (!message.is_object()) return;
  auto provenance = message.find("provenance");
  if (provenance == message.end() || !provenance->is_string() || *provenance != "verified") return;
  const std::string source = SourceOf(message);
  if (source.empty()) return;
  auto timing = message.find("timing");
  if (!message.contains("declare") && !message.contains("frame") && !(timing != message.end() && timing->is_object())) {
    return;
  }
  const std::string text = DumpCompact(message);
  const int64_t now = state.clock.steadyMs();
  uint64_t generation = 0;
  {
    std::lock_guard<std::recursive_mutex> lock(state.cacheMutex);
    if (state.sourceCache.find(source) == state.sourceCache.end() && state.sourceCache.size() >= kMaxCachedSources) {
      auto victim = std::find_if(state.sourceCache.begin(), state.sourceCache.end(),
                                 [](const auto& kv) { return kv.second.ended; });
      if (victim == state.sourceCache.end()) return;
      state.sourceCache.erase(victim);
    }
    SourceCacheEntry& entry = state.sourceCache[source];
    if (entry.cacheGeneration == 0 || entry.ended) {
      entry.cacheGeneration = ++state.cacheCounter;
      entry.ended = false;
      entry.lastSeq = 0;
      entry.streamDeclaration.reset();
      entry.timingDeclaration.reset();
    }
    entry.instanceId = InstanceKeyOf(message);
    entry.lastSeq = SeqOf(message);
    auto shared = std::make_shared<const Json>(message);
    const bool timingDeclare = IsTimingDeclare(message);
    if (IsDeclaration(message)) {
      if (timingDeclare) {
        entry.timingDeclaration = shared;
      } else {
        entry.streamDeclaration = shared;
      }
    }
    BacklogEntry b;
    b.seq = entry.lastSeq;
    b.receivedMs = now;
    b.source = source;
    b.size = text.size();
    b.cacheGeneration = entry.cacheGeneration;
    b.declaration = (timingDeclare || (timing != message.end() && timing->is_object())) ? entry.timingDeclaration
                                                                                         : entry.streamDeclaration;
    b.message = shared;
    entry.backlog.push_back(std::move(b));
    entry.totalBytes += text.size();
    PruneSourceBacklog(state, now);
    for (auto& [id, subscriptions] : state.shares) {
      for (Subscription& s : subscriptions) {
        BindShareSource(state, s);
        if (s.boundSource != source) continue;
        s.lastSeq = entry.lastSeq;
        if (IsDeclaration(message) && !timingDeclare) s.declaration = entry.streamDeclaration;
      }
    }
    generation = entry.cacheGeneration;
  }
  std::vector<ViewerPtr> viewers;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    viewers = state.viewers;
  }
  for (const ViewerPtr& viewer : viewers) EnqueueForViewer(state, *viewer, message, generation, text.size());
}

void FanOutSourceEnded(State& state, const std::string& key) {
  std::vector<std::pair<Json, uint64_t>> records;
  {
    std::lock_guard<std::recursive_mutex> lock(state.cacheMutex);
    for (auto& [source, entry] : state.sourceCache) {
      if (entry.ended || (source != key && entry.instanceId != key)) continue;
      entry.ended = true;
      for (auto& [id, subscriptions] : state.shares) {
        for (Subscription& s : subscriptions) {
          if (s.boundSource == source && s.cacheGeneration == entry.cacheGeneration) s.ended = true;
        }
      }
      records.emplace_back(SourceEndedRecord(source, entry.lastSeq), entry.cacheGeneration);
    }
    for (auto& [id, subscriptions] : state.shares) {
      for (Subscription& s : subscriptions) {
        if (s.boundSource.empty() && s.requestedSource == key) s.ended = true;
      }
    }
  }
  std::vector<ViewerPtr> viewers;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    viewers = state.viewers;
  }
  for (const ViewerPtr& viewer : viewers) {
    for (const auto& [record, generation] : records) EnqueueForViewer(state, *viewer, record, generation);
  }
}

SubscribeSnapshot BuildSubscribeSnapshot(State& state, const Subscription& subscription, int64_t fromSeq) {
  SubscribeSnapshot snapshot;
  std::lock_guard<std::recursive_mutex> lock(state.cacheMutex);
  PruneSourceBacklog(state, state.clock.steadyMs());
  std::optional<int64_t> lowest;
  auto it = state.sourceCache.find(subscription.boundSource);
  if (!subscription.boundSource.empty() && it != state.sourceCache.end()) {
    const Json* lastDeclaration = nullptr;
    for (const BacklogEntry& b : it->second.backlog) {
      if (b.cacheGeneration != subscription.cacheGeneration) continue;
      if (!lowest || b.seq < *lowest) lowest = b.seq;
      if (b.seq <= fromSeq) continue;
      if (IsDeclaration(*b.message)) {
        lastDeclaration = b.declaration.get();
      } else if (b.declaration && b.declaration.get() != lastDeclaration) {
        Json context = *b.declaration;
        context.erase("gap");  // context for what follows, not a live message
        snapshot.messages.push_back(std::move(context));
        lastDeclaration = b.declaration.get();
      }
      snapshot.messages.push_back(*b.message);
    }
  }
  if (snapshot.messages.empty() && subscription.declaration && subscription.declaration->is_object() &&
      IsDeclaration(*subscription.declaration)) {
    snapshot.messages.push_back(*subscription.declaration);
  }
  if (fromSeq >= 1 && !(lowest && fromSeq + 1 >= *lowest)) {
    auto first = std::find_if(snapshot.messages.begin(), snapshot.messages.end(),
                              [&](const Json& m) { return SeqOf(m) > fromSeq; });
    if (first != snapshot.messages.end()) {
      MakeGapNotice(*first, "sequence-skip", fromSeq + 1, SeqOf(*first) - 1);
    } else {
      snapshot.pendingSkip = true;
      snapshot.pendingSkipFrom = fromSeq + 1;
    }
  }
  if (subscription.ended) {
    Json record = SourceEndedRecord(subscription.boundSource, subscription.lastSeq);
    if (snapshot.pendingSkip) MakeGapNotice(record, "sequence-skip", snapshot.pendingSkipFrom, subscription.lastSeq);
    snapshot.messages.push_back(std::move(record));
  }
  return snapshot;
}

void FanOutVerified(const Json& message) { FanOutVerified(GetState(), message); }
void FanOutSourceEnded(const std::string& key) { FanOutSourceEnded(GetState(), key); }

}  // namespace remote
