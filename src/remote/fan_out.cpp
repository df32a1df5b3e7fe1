// The fan-out between the realtime hub and the viewers: the per-source cache with its backlog,
// the share subscriptions, and each viewer's frame queue with its merging and byte cap.
#include <algorithm>

#include "base/json.h"
#include "remote/remote_state.h"
#include "remote/remote_wire.h"

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

bool SourceIs(const Json& message, const std::string& source) {
  auto it = message.find("source");
  return it != message.end() && it->is_string() && it->get_ref<const std::string&>() == source;
}

// The largest queued message a session can send: a text frame holds at most kMaxFramePayload
// bytes, and the "rt.batch" envelope and a gap notice stamped later add to the message.
constexpr uint64_t kMaxSendableMessage = kMaxFramePayload - 256;

// The viewer's two queues in the order the session sends them: controlQueue, then frameQueue.
// Caller holds the viewer's mutex.
size_t QueuedCount(const Viewer& viewer) { return viewer.controlQueue.size() + viewer.frameQueue.size(); }
QueuedMessage& QueuedAt(Viewer& viewer, size_t index) {
  const size_t control = viewer.controlQueue.size();
  return index < control ? viewer.controlQueue[index] : viewer.frameQueue[index - control];
}

// The first seq a queued message stands for, its queue's gap included.
int64_t FirstSeqOf(const QueuedJson& queued) {
  const Json* gap = queued.gap();
  if (gap && gap->is_object()) {
    auto from = gap->find("fromSeq");
    if (from != gap->end() && from->is_number_integer()) return from->get<int64_t>();
  }
  return SeqOf(*queued.shared());
}

// MakeGapNotice on a queued message, kept in its queue entry.
void StampGap(QueuedJson& queued, const char* reason, int64_t from, int64_t to) {
  Json holder = Json::object();
  if (const Json* gap = queued.gap()) holder["gap"] = *gap;
  MakeGapNotice(holder, reason, from, to);
  auto it = holder.find("gap");
  if (it != holder.end()) queued.SetGap(std::move(*it));
}

// Seqs a viewer will not get: the next queued message of the source after them carries them in
// its gap or, when none is queued, the next one to arrive (lastSeqBySource). Caller holds the
// viewer's mutex; from the queue position `next` on.
void CoverMissed(Viewer& viewer, const std::string& source, int64_t from, int64_t to, size_t next,
                 const char* reason) {
  if (from <= 0) return;
  for (size_t i = next; i < QueuedCount(viewer); ++i) {
    QueuedJson& queued = QueuedAt(viewer, i).message;
    const Json& m = *queued.shared();
    if (!SourceIs(m, source) || (!IsSourceEnded(m) && SeqOf(m) <= to)) continue;
    StampGap(queued, reason, from, to);
    return;
  }
  auto [it, inserted] = viewer.lastSeqBySource.emplace(source, from);
  if (!inserted) it->second = std::min(it->second, from);
}

// Removes the queued message at send-order position index; the seqs it stood for are covered.
// Caller holds the viewer's mutex.
void DropQueued(Viewer& viewer, size_t index, const char* reason) {
  const QueuedJson& dropped = QueuedAt(viewer, index).message;
  const std::string source = SourceOf(*dropped.shared());
  const int64_t from = FirstSeqOf(dropped), to = SeqOf(*dropped.shared());
  const size_t control = viewer.controlQueue.size();
  if (index < control) {
    viewer.controlQueue.erase(viewer.controlQueue.begin() + static_cast<std::ptrdiff_t>(index));
  } else {
    viewer.frameQueueBytes -= viewer.frameQueue[index - control].size;
    viewer.frameQueue.erase(viewer.frameQueue.begin() + static_cast<std::ptrdiff_t>(index - control));
  }
  CoverMissed(viewer, source, from, to, index, reason);
}

// A new run of the source the viewer's own subscription was bound to: bound to it afresh.
void RebindOwn(Viewer& viewer, const std::string& source, uint64_t cacheGeneration) {
  viewer.boundSource = Subscription{viewer.boundSource.requestedSource.empty() ? source
                                                                              : viewer.boundSource.requestedSource,
                                    source, cacheGeneration, nullptr, false, 0};
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

namespace {

bool Accepts(const Subscription& s, const Json& message, uint64_t cacheGeneration) {
  return s.cacheGeneration == cacheGeneration && SourceIs(message, s.boundSource) && (!s.ended || IsSourceEnded(message));
}

}  // namespace

bool AcceptsMessage(const std::vector<Subscription>& subscriptions, const Json& message, uint64_t cacheGeneration) {
  return std::any_of(subscriptions.begin(), subscriptions.end(),
                     [&](const Subscription& s) { return Accepts(s, message, cacheGeneration); });
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
  if (!subscription.boundSource.empty()) {
    // Still on a live run: stays. A run that ended gives way to a new run of a matching source.
    auto bound = state.sourceCache.find(subscription.boundSource);
    if (!subscription.ended && bound != state.sourceCache.end() && !bound->second.ended &&
        bound->second.cacheGeneration == subscription.cacheGeneration) {
      return;
    }
  }
  for (const auto& [key, entry] : state.sourceCache) {
    if (entry.ended || (key != subscription.requestedSource && entry.instanceId != subscription.requestedSource)) {
      continue;
    }
    if (key == subscription.boundSource && entry.cacheGeneration == subscription.cacheGeneration) return;
    subscription.boundSource = key;
    subscription.cacheGeneration = entry.cacheGeneration;
    subscription.declaration = entry.streamDeclaration;
    subscription.lastSeq = entry.lastSeq;
    subscription.ended = false;
    return;
  }
}

std::vector<Subscription> SubscriptionsOf(State& state, Viewer& viewer) {
  std::lock_guard<std::recursive_mutex> cache(state.cacheMutex);
  if (!viewer.shareId.empty()) {
    auto it = state.shares.find(viewer.shareId);
    if (it == state.shares.end()) return {};
    for (Subscription& s : it->second) BindShareSource(state, s);
    return it->second;
  }
  std::lock_guard<std::mutex> lock(viewer.mutex);
  Subscription& own = viewer.boundSource;
  if (own.ended && !own.boundSource.empty()) {
    auto entry = state.sourceCache.find(own.boundSource);
    if (entry != state.sourceCache.end() && !entry->second.ended &&
        entry->second.cacheGeneration != own.cacheGeneration) {
      RebindOwn(viewer, own.boundSource, entry->second.cacheGeneration);
      own.declaration = entry->second.streamDeclaration;
      own.lastSeq = entry->second.lastSeq;
      viewer.lastSeqBySource.erase(own.boundSource);
    }
  }
  return {own};
}

void EnqueueForViewer(State& state, Viewer& viewer, const SharedJson& shared, uint64_t cacheGeneration,
                      uint64_t size) {
  const Json& message = *shared;
  if (size == 0) size = DumpCompact(message).size();
  const std::string source = SourceOf(message);
  const bool ended = IsSourceEnded(message);
  const std::vector<Subscription>* shareSubs = nullptr;
  if (!viewer.shareId.empty()) {
    auto it = state.shares.find(viewer.shareId);
    if (it == state.shares.end()) return;
    shareSubs = &it->second;
  }
  std::lock_guard<std::mutex> lock(viewer.mutex);
  Subscription& own = viewer.boundSource;
  if (!shareSubs && own.boundSource == source) {
    if (own.cacheGeneration == cacheGeneration && ended) own.ended = true;
    // A new run of the source: followed, and what the old run left pending is the old run's.
    if (own.cacheGeneration < cacheGeneration && !ended) {
      RebindOwn(viewer, source, cacheGeneration);
      viewer.lastSeqBySource.erase(source);
    }
  }
  if (!viewer.subscribed || viewer.closed) return;
  if (!shareSubs && own.boundSource.empty() && !own.ended) {
    own.boundSource = source;
    own.cacheGeneration = cacheGeneration;
  }
  const bool accepted = shareSubs ? AcceptsMessage(*shareSubs, message, cacheGeneration)
                                  : Accepts(own, message, cacheGeneration);
  if (!accepted) return;
  if (!viewer.allSources &&
      std::find(viewer.subscribedSources.begin(), viewer.subscribedSources.end(), source) ==
          viewer.subscribedSources.end()) {
    return;
  }
  if (!shareSubs) {
    if (IsDeclaration(message) && !IsTimingDeclare(message)) own.declaration = shared;
    own.lastSeq = SeqOf(message);
    auto last = message.find("lastSeq");
    if (last != message.end() && last->is_number_integer()) own.lastSeq = last->get<int64_t>();
    if (ended) own.ended = true;
  }
  const int64_t seq = SeqOf(message);
  // Too long for one frame of the wire: not sent, and the next message of the source says so.
  if (size > kMaxSendableMessage) {
    CoverMissed(viewer, source, FirstSeqOf(message), seq, QueuedCount(viewer), "sequence-skip");
    return;
  }
  QueuedJson queued(shared);
  auto missed = viewer.lastSeqBySource.find(source);
  if (missed != viewer.lastSeqBySource.end() && (seq >= missed->second || ended)) {
    // The end of a run carries what its last messages left missing.
    int64_t to = seq - 1;
    if (auto last = message.find("lastSeq"); ended && last != message.end() && last->is_number_integer()) {
      to = last->get<int64_t>();
    }
    StampGap(queued, "sequence-skip", missed->second, to);
    viewer.lastSeqBySource.erase(missed);
  }
  viewer.frameQueue.push_back({std::move(queued), size});
  viewer.frameQueueBytes += size;

  if (IsFrame(message)) {
    // Frames of the source still to be sent, the subscribe snapshot's included: the oldest gives
    // way to the fifth.
    size_t count = 0, oldest = 0;
    for (size_t i = 0; i < QueuedCount(viewer); ++i) {
      const Json& m = *QueuedAt(viewer, i).message.shared();
      if (IsFrame(m) && SourceIs(m, source) && count++ == 0) oldest = i;
    }
    if (count >= 5) {
      // The merged frame's own range goes onto the next message of its source, so the seqs of the
      // records between them (delivered) are never counted as missed. A snapshot frame giving way
      // to live ones says nothing of the viewer's pace: only a live frame merged halves its rate.
      const bool live = oldest >= viewer.controlQueue.size();
      DropQueued(viewer, oldest, "backpressure-merge");
      if (live) viewer.rate = std::max(1, viewer.baseRate / 2);
    }
  }
  // Timing records and declarations are not merged: the byte cap bounds them. A viewer that lets
  // them pile up is a slow consumer: records give way first, then it is closed.
  if (viewer.frameQueueBytes > kViewerQueueByteCap) {
    viewer.rate = std::max(1, viewer.baseRate / 2);
    size_t i = viewer.controlQueue.size();
    while (viewer.frameQueueBytes > kViewerQueueByteCap && i < QueuedCount(viewer)) {
      const Json& m = *QueuedAt(viewer, i).message.shared();
      if (IsDeclaration(m) || IsSourceEnded(m)) {
        ++i;
        continue;
      }
      DropQueued(viewer, i, "backpressure-merge");
    }
    if (viewer.frameQueueBytes > kViewerQueueByteCap) viewer.closed = true;
  }
}

namespace {

std::vector<ViewerPtr> ViewersOf(State& state) {
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.viewers;
}

}  // namespace

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
  const uint64_t size = DumpCompact(message).size();
  const int64_t now = state.clock.steadyMs();
  const std::vector<ViewerPtr> viewers = ViewersOf(state);
  std::lock_guard<std::recursive_mutex> lock(state.cacheMutex);
  if (state.sourceCache.find(source) == state.sourceCache.end() && state.sourceCache.size() >= kMaxCachedSources) {
    auto victim = std::find_if(state.sourceCache.begin(), state.sourceCache.end(),
                               [](const auto& kv) { return kv.second.ended; });
    if (victim == state.sourceCache.end()) return;
    state.sourceCache.erase(victim);
  }
  SourceCacheEntry& entry = state.sourceCache[source];
  if (entry.cacheGeneration == 0 || entry.ended) {
    entry.previousRunLastSeq = entry.cacheGeneration == 0 ? 0 : entry.lastSeq;
    entry.cacheGeneration = ++state.cacheCounter;
    entry.ended = false;
    entry.lastSeq = 0;
    entry.streamDeclaration.reset();
    entry.timingDeclaration.reset();
  }
  entry.instanceId = InstanceKeyOf(message);
  entry.lastSeq = SeqOf(message);
  // One immutable copy for the backlog and every viewer's queue.
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
  b.size = size;
  b.cacheGeneration = entry.cacheGeneration;
  b.declaration = (timingDeclare || (timing != message.end() && timing->is_object())) ? entry.timingDeclaration
                                                                                       : entry.streamDeclaration;
  b.message = shared;
  entry.backlog.push_back(std::move(b));
  entry.totalBytes += size;
  PruneSourceBacklog(state, now);
  for (auto& [id, subscriptions] : state.shares) {
    for (Subscription& s : subscriptions) {
      BindShareSource(state, s);
      if (s.boundSource != source) continue;
      s.lastSeq = entry.lastSeq;
      if (IsDeclaration(message) && !timingDeclare) s.declaration = entry.streamDeclaration;
    }
  }
  const uint64_t generation = entry.cacheGeneration;
  for (const ViewerPtr& viewer : viewers) EnqueueForViewer(state, *viewer, shared, generation, size);
}

void FanOutSourceEnded(State& state, const std::string& key) {
  const std::vector<ViewerPtr> viewers = ViewersOf(state);
  std::lock_guard<std::recursive_mutex> lock(state.cacheMutex);
  std::vector<std::pair<SharedJson, uint64_t>> records;
  for (auto& [source, entry] : state.sourceCache) {
    if (entry.ended || (source != key && entry.instanceId != key)) continue;
    entry.ended = true;
    for (auto& [id, subscriptions] : state.shares) {
      for (Subscription& s : subscriptions) {
        if (s.boundSource == source && s.cacheGeneration == entry.cacheGeneration) s.ended = true;
      }
    }
    records.emplace_back(std::make_shared<const Json>(SourceEndedRecord(source, entry.lastSeq)),
                         entry.cacheGeneration);
  }
  for (auto& [id, subscriptions] : state.shares) {
    for (Subscription& s : subscriptions) {
      if (s.boundSource.empty() && s.requestedSource == key) s.ended = true;
    }
  }
  for (const ViewerPtr& viewer : viewers) {
    for (const auto& [record, generation] : records) EnqueueForViewer(state, *viewer, record, generation);
  }
}

SubscribeSnapshot BuildSubscribeSnapshot(State& state, const Subscription& subscription, int64_t fromSeq,
                                         bool resumed) {
  SubscribeSnapshot snapshot;
  std::lock_guard<std::recursive_mutex> lock(state.cacheMutex);
  PruneSourceBacklog(state, state.clock.steadyMs());
  // Seqs start again with each run of a source, so a position names a run only by being reachable
  // in it: one beyond the bound run's last seq was taken in an earlier run.
  auto bound = subscription.boundSource.empty() ? state.sourceCache.end() : state.sourceCache.find(subscription.boundSource);
  if (bound != state.sourceCache.end()) {
    const SourceCacheEntry& entry = bound->second;
    const bool current = entry.cacheGeneration == subscription.cacheGeneration;
    if (resumed && fromSeq == 0 && subscription.ended) return snapshot;
    const int64_t runLastSeq = current ? entry.lastSeq : subscription.lastSeq;
    if (fromSeq > runLastSeq) {
      const int64_t oldLast = current && entry.previousRunLastSeq >= fromSeq ? entry.previousRunLastSeq : fromSeq;
      Json record = SourceEndedRecord(subscription.boundSource, oldLast);
      MakeGapNotice(record, "sequence-skip", fromSeq + 1, oldLast);
      snapshot.messages.push_back(std::move(record));
      fromSeq = 0;
    }
  }
  std::optional<int64_t> lowest;
  // What the snapshot would hold in order, shared until kept: declarations given as context for
  // what follows them are copies without their gap.
  struct Item {
    SharedJson message;
    uint64_t size = 0;
    bool context = false;
  };
  std::vector<Item> items;
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
        items.push_back({b.declaration, 0, true});
        lastDeclaration = b.declaration.get();
      }
      items.push_back({b.message, b.size, false});
    }
  }
  // The declaration stands for what follows it; after a run's end nothing does.
  if (items.empty() && !subscription.ended && subscription.declaration && subscription.declaration->is_object() &&
      IsDeclaration(*subscription.declaration)) {
    items.push_back({subscription.declaration, 0, false});
  }
  // Merged the way a viewer's live queue is: declarations and timing records stay, of the frames
  // only the last four, and what a frame too long for the wire or merged away stood for is carried
  // by the gap of the next message kept.
  size_t frames = 0;
  for (const Item& item : items) frames += IsFrame(*item.message) ? 1 : 0;
  size_t framesLeft = frames;
  int64_t skipFrom = 0, skipTo = 0;
  const char* skipReason = "backpressure-merge";
  for (Item& item : items) {
    const Json& m = *item.message;
    const bool frame = IsFrame(m);
    if (frame) --framesLeft;
    const uint64_t size = item.size ? item.size : DumpCompact(m).size();
    const bool tooLong = size > kMaxSendableMessage;
    if ((frame && framesLeft >= 4) || tooLong) {
      if (!item.context && FirstSeqOf(m) > 0) {
        skipFrom = skipFrom ? std::min(skipFrom, FirstSeqOf(m)) : FirstSeqOf(m);
        skipTo = std::max(skipTo, SeqOf(m));
        if (tooLong) skipReason = "sequence-skip";
      }
      continue;
    }
    Json kept = m;
    if (item.context) kept.erase("gap");  // context for what follows, not a live message
    if (skipFrom && !item.context && SeqOf(kept) > skipTo) {
      MakeGapNotice(kept, skipReason, skipFrom, skipTo);
      skipFrom = skipTo = 0;
      skipReason = "backpressure-merge";
    }
    snapshot.messages.push_back(std::move(kept));
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
  if (skipFrom) {
    snapshot.pendingSkipFrom = snapshot.pendingSkip ? std::min(snapshot.pendingSkipFrom, skipFrom) : skipFrom;
    snapshot.pendingSkip = true;
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
