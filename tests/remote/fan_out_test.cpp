#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "remote/remote_listener.h"
#include "remote/remote_wire.h"
#include "remote_test_support.h"

using nlohmann::json;

namespace {

const std::string kSrc = "p1@" + std::string(64, 'a');

json Frame(const std::string& source, int64_t seq) {
  return {{"source", source}, {"seq", seq}, {"provenance", "verified"}, {"frame", {{"v", seq}}}};
}
json Declare(const std::string& source, int64_t seq) {
  return {{"source", source}, {"seq", seq}, {"provenance", "verified"}, {"declare", {{"kind", "stream"}}}};
}
json Timing(const std::string& source, int64_t seq, size_t padding = 0) {
  return {{"source", source}, {"seq", seq}, {"provenance", "verified"},
          {"timing", {{"t", seq}, {"pad", std::string(padding, 'x')}}}};
}

class FanOutTest : public ::testing::Test {
 protected:
  FakeClock clock;
  std::unique_ptr<remote::State> state = MakeTestState(clock);

  remote::ViewerPtr AddViewer(int32_t rate = 20) {
    auto v = std::make_shared<remote::Viewer>();
    v->subscribed = true;
    v->allSources = true;
    v->baseRate = v->rate = rate;
    std::lock_guard<std::mutex> lock(state->mutex);
    state->viewers.push_back(v);
    return v;
  }
  static std::vector<json> Queued(remote::Viewer& v) {
    std::vector<json> out;
    std::lock_guard<std::mutex> lock(v.mutex);
    for (const auto& m : v.frameQueue) out.push_back(m.message);
    return out;
  }
  void Publish(const json& m) { remote::FanOutVerified(*state, m); }
};

}  // namespace

TEST_F(FanOutTest, OnlyVerifiedSourcedStreamMessagesAreCached) {
  auto v = AddViewer();
  json unverified = Frame(kSrc, 1);
  unverified["provenance"] = "unverified";
  json noSource = Frame(kSrc, 1);
  noSource.erase("source");
  json other = {{"source", kSrc}, {"seq", 1}, {"provenance", "verified"}, {"timing", 5}};
  for (const json& m : {unverified, noSource, other}) Publish(m);
  EXPECT_TRUE(state->sourceCache.empty());
  EXPECT_TRUE(Queued(*v).empty());
  Publish(Frame(kSrc, 1));
  EXPECT_EQ(Queued(*v).size(), 1u);
}

TEST_F(FanOutTest, CacheHoldsAtMost128LiveSources) {
  for (int i = 0; i < 128; ++i) Publish(Frame("s" + std::to_string(1000 + i) + "@h", 1));
  auto v = AddViewer();
  Publish(Frame("new@h", 1));
  EXPECT_EQ(state->sourceCache.count("new@h"), 0u);
  EXPECT_TRUE(Queued(*v).empty());
  remote::FanOutSourceEnded(*state, "s1005");
  Publish(Frame("new@h", 1));
  EXPECT_EQ(state->sourceCache.count("new@h"), 1u);
  EXPECT_EQ(state->sourceCache.count("s1005@h"), 0u);
  EXPECT_EQ(state->sourceCache.size(), 128u);
}

// A source that ends and starts again: its viewers are told the first run ended, then follow the
// new run (its own generation) from its first message.
TEST_F(FanOutTest, EndedSourceStartsANewGenerationThatItsViewersFollow) {
  Publish(Frame(kSrc, 1));
  auto v = AddViewer();
  Publish(Frame(kSrc, 2));
  const uint64_t first = state->sourceCache[kSrc].cacheGeneration;
  remote::FanOutSourceEnded(*state, "p1");
  Publish(Declare(kSrc, 1));
  Publish(Frame(kSrc, 2));
  EXPECT_NE(state->sourceCache[kSrc].cacheGeneration, first);
  auto q = Queued(*v);
  ASSERT_EQ(q.size(), 4u);
  EXPECT_EQ(q[0]["seq"], 2);
  EXPECT_EQ(q[1], json::parse(R"({"lastSeq":2,"provenance":"verified","source":")" + kSrc +
                              R"(","state":"ended","type":"source-ended"})"));
  EXPECT_TRUE(q[2].contains("declare"));
  EXPECT_EQ(q[3]["seq"], 2);
  EXPECT_FALSE(q[3].contains("gap"));
  std::lock_guard<std::mutex> lock(v->mutex);
  EXPECT_EQ(v->boundSource.cacheGeneration, state->sourceCache[kSrc].cacheGeneration);
  EXPECT_FALSE(v->boundSource.ended);
}

// Share subscriptions and a viewer's own one, bound to a run that ended, take the next run: at
// once for live messages, and for the subscribe handler's allowed list.
TEST_F(FanOutTest, SubscriptionsOfARestartedSourceBindTheNewRun) {
  Publish(Frame(kSrc, 7));
  {
    std::lock_guard<std::recursive_mutex> lock(state->cacheMutex);
    remote::Subscription byInstance, bySource;
    byInstance.requestedSource = "p1";
    bySource.requestedSource = kSrc;
    remote::BindShareSource(*state, byInstance);
    remote::BindShareSource(*state, bySource);
    state->shares["s1"] = {byInstance, bySource};
  }
  auto shareViewer = AddViewer();
  shareViewer->shareId = "s1";
  auto own = AddViewer();
  Publish(Frame(kSrc, 8));
  remote::FanOutSourceEnded(*state, "p1");
  const uint64_t first = state->sourceCache[kSrc].cacheGeneration;

  // Unsubscribed meanwhile, the own viewer's binding follows the new run all the same: its next
  // subscribe starts there.
  {
    std::lock_guard<std::mutex> lock(own->mutex);
    own->subscribed = false;
  }
  Publish(Declare(kSrc, 1));
  const uint64_t second = state->sourceCache[kSrc].cacheGeneration;
  ASSERT_NE(first, second);
  for (const remote::Subscription& s : remote::SubscriptionsOf(*state, *shareViewer)) {
    EXPECT_EQ(s.boundSource, kSrc);
    EXPECT_EQ(s.cacheGeneration, second);
    EXPECT_FALSE(s.ended);
  }
  std::vector<remote::Subscription> ownSubs = remote::SubscriptionsOf(*state, *own);
  ASSERT_EQ(ownSubs.size(), 1u);
  EXPECT_EQ(ownSubs[0].cacheGeneration, second);
  EXPECT_FALSE(ownSubs[0].ended);
  remote::SubscribeSnapshot snapshot = remote::BuildSubscribeSnapshot(*state, ownSubs[0], 0);
  ASSERT_EQ(snapshot.messages.size(), 1u);
  EXPECT_TRUE(snapshot.messages[0].contains("declare"));

  auto q = Queued(*shareViewer);
  ASSERT_EQ(q.size(), 3u);
  EXPECT_EQ(q[1]["type"], "source-ended");
  EXPECT_TRUE(q[2].contains("declare"));
}

// A viewer resuming a restarted source: its position names the old run when the new run has not
// published that far (it was away for the whole restart), and it is then told the old run ended
// (with what it missed of it) before the new run from its start. Right after the end marker, a
// resume from 0 gets nothing of the ended run again.
TEST_F(FanOutTest, ResumePositionsAcrossARestartNameTheirRun) {
  Publish(Declare(kSrc, 1));
  for (int seq = 2; seq <= 8; ++seq) Publish(Frame(kSrc, seq));
  remote::FanOutSourceEnded(*state, "p1");
  auto subscriptionNow = [&] {
    const remote::SourceCacheEntry& e = state->sourceCache[kSrc];
    return remote::Subscription{kSrc, kSrc, e.cacheGeneration, e.streamDeclaration, e.ended, e.lastSeq};
  };
  auto summary = [](const remote::SubscribeSnapshot& snapshot) {
    std::string out;
    for (const json& m : snapshot.messages) {
      out += m.value("type", "") == "source-ended" ? "end" + std::to_string(m["lastSeq"].get<int64_t>())
             : m.contains("declare")                ? "d" + std::to_string(m["seq"].get<int64_t>())
                                                    : std::to_string(m["seq"].get<int64_t>());
      if (m.contains("gap")) out += "(gap " + m["gap"].dump() + ")";
      out += " ";
    }
    return out;
  };
  // Bound to the ended run, before the next one publishes.
  const std::string merged24 = R"((gap {"fromSeq":2,"missed":3,"reason":"backpressure-merge","toSeq":4}))";
  const remote::Subscription ended = subscriptionNow();
  ASSERT_TRUE(ended.ended);
  EXPECT_EQ(summary(remote::BuildSubscribeSnapshot(*state, ended, 0, true)), "");
  EXPECT_EQ(summary(remote::BuildSubscribeSnapshot(*state, ended, 0, false)), "d1 5" + merged24 + " 6 7 8 end8 ");
  EXPECT_EQ(summary(remote::BuildSubscribeSnapshot(*state, ended, 8, true)), "end8 ");

  Publish(Declare(kSrc, 1));
  for (int seq = 2; seq <= 3; ++seq) Publish(Frame(kSrc, seq));
  const remote::Subscription live = subscriptionNow();
  const std::string missed78 = R"((gap {"fromSeq":7,"missed":2,"reason":"sequence-skip","toSeq":8}))";
  struct Case {
    int64_t fromSeq;
    std::string expected;
  };
  for (const Case& c : std::vector<Case>{
           {8, "end8 d1 2 3 "},              // had the old run to its end, missed the marker
           {6, "end8" + missed78 + " d1 2 3 "},  // and what the old run published after the drop
           {20, "end20 d1 2 3 "},            // a run before the last one, or another host process
           {2, "d1 3 "},                     // a position the new run reached: the new run's
           {0, "d1 2 3 "},
       }) {
    for (bool resumed : {true, false}) {
      EXPECT_EQ(summary(remote::BuildSubscribeSnapshot(*state, live, c.fromSeq, resumed)), c.expected)
          << "fromSeq " << c.fromSeq << " resumed " << resumed;
    }
  }
}

// A message longer than one frame of the wire is never queued (a session could not send it and
// would end): the next message of its source carries its seq in a gap.
TEST_F(FanOutTest, MessageTooLongForTheWireIsReportedInTheNextGap) {
  auto v = AddViewer();
  Publish(Frame(kSrc, 1));
  json big = Frame(kSrc, 2);
  big["frame"]["pad"] = std::string(100000, 'x');
  Publish(big);
  Publish(Timing(kSrc, 3));
  auto q = Queued(*v);
  ASSERT_EQ(q.size(), 2u);
  EXPECT_EQ(q[1]["seq"], 3);
  EXPECT_EQ(q[1]["gap"], json::parse(R"({"fromSeq":2,"missed":1,"reason":"sequence-skip","toSeq":2})"));
  {
    std::lock_guard<std::mutex> lock(v->mutex);
    EXPECT_LT(v->frameQueueBytes, 1000u);
  }
  // The last message of a run: its end says so.
  json bigger = Frame(kSrc, 4);
  bigger["frame"]["pad"] = std::string(70000, 'x');
  Publish(bigger);
  remote::FanOutSourceEnded(*state, "p1");
  q = Queued(*v);
  ASSERT_EQ(q.size(), 3u);
  EXPECT_EQ(q[2]["type"], "source-ended");
  EXPECT_EQ(q[2]["gap"], json::parse(R"({"fromSeq":4,"missed":1,"reason":"sequence-skip","toSeq":4})"));

  // In a subscribe snapshot too.
  const remote::SourceCacheEntry& e = state->sourceCache[kSrc];
  remote::Subscription sub{kSrc, kSrc, e.cacheGeneration, e.streamDeclaration, true, e.lastSeq};
  remote::SubscribeSnapshot snapshot = remote::BuildSubscribeSnapshot(*state, sub, 0);
  for (const json& m : snapshot.messages) EXPECT_LT(m.dump().size(), remote::kMaxFramePayload - 200);
  ASSERT_EQ(snapshot.messages.size(), 3u);
  EXPECT_EQ(snapshot.messages[1]["gap"]["fromSeq"], 2);
  EXPECT_EQ(snapshot.messages[2]["gap"], json::parse(R"({"fromSeq":4,"missed":1,"reason":"sequence-skip","toSeq":4})"));
}

// A late subscriber gets what a live viewer would hold: declarations and timing records, the last
// four frames, and a gap for the frames merged away; live frames then push the snapshot's frames
// out the same way.
TEST_F(FanOutTest, SnapshotFramesAreMergedLikeLiveFrames) {
  Publish(Declare(kSrc, 1));
  for (int seq = 2; seq <= 1000; ++seq) Publish(seq == 500 ? Timing(kSrc, seq) : Frame(kSrc, seq));
  const remote::SourceCacheEntry& e = state->sourceCache[kSrc];
  remote::Subscription sub{kSrc, kSrc, e.cacheGeneration, e.streamDeclaration, false, e.lastSeq};
  remote::SubscribeSnapshot snapshot = remote::BuildSubscribeSnapshot(*state, sub, 0);
  ASSERT_EQ(snapshot.messages.size(), 6u);
  EXPECT_TRUE(snapshot.messages[0].contains("declare"));
  EXPECT_EQ(snapshot.messages[1]["seq"], 500);
  EXPECT_EQ(snapshot.messages[1]["gap"], json::parse(R"({"fromSeq":2,"missed":498,"reason":"backpressure-merge","toSeq":499})"));
  EXPECT_EQ(snapshot.messages[2]["seq"], 997);
  EXPECT_EQ(snapshot.messages[2]["gap"], json::parse(R"({"fromSeq":501,"missed":496,"reason":"backpressure-merge","toSeq":996})"));
  EXPECT_EQ(snapshot.messages[5]["seq"], 1000);
  EXPECT_FALSE(snapshot.pendingSkip);

  auto v = AddViewer();
  {
    std::lock_guard<std::mutex> lock(v->mutex);
    v->boundSource = sub;
    for (json& m : snapshot.messages) v->controlQueue.push_back({std::move(m), 10});
  }
  Publish(Frame(kSrc, 1001));
  std::lock_guard<std::mutex> lock(v->mutex);
  ASSERT_EQ(v->controlQueue.size(), 5u);
  EXPECT_EQ(v->controlQueue[2].message.get()["seq"], 998);
  EXPECT_EQ(v->controlQueue[2].message.get()["gap"]["fromSeq"], 501);
  EXPECT_EQ(v->controlQueue[2].message.get()["gap"]["toSeq"], 997);
  ASSERT_EQ(v->frameQueue.size(), 1u);
  EXPECT_EQ(v->rate, 20);  // a snapshot frame gave way: the viewer's pace is not in question
}

// Every queue holds the fan-out's one copy of a message; a gap one queue stamps on it is that
// queue's alone.
TEST_F(FanOutTest, ViewersShareTheMessageAndKeepTheirOwnGaps) {
  auto a = AddViewer(), b = AddViewer();
  Publish(Frame(kSrc, 1));
  {
    std::lock_guard<std::mutex> la(a->mutex), lb(b->mutex);
    ASSERT_EQ(a->frameQueue.size(), 1u);
    EXPECT_EQ(a->frameQueue[0].message.shared(), b->frameQueue[0].message.shared());
    b->lastSeqBySource[kSrc] = 2;
  }
  Publish(Frame(kSrc, 5));
  std::lock_guard<std::mutex> la(a->mutex), lb(b->mutex);
  EXPECT_EQ(a->frameQueue[1].message.shared(), b->frameQueue[1].message.shared());
  EXPECT_FALSE(b->frameQueue[1].message.shared()->contains("gap"));
  EXPECT_FALSE(a->frameQueue[1].message.get().contains("gap"));
  EXPECT_EQ(b->frameQueue[1].message.get()["gap"]["fromSeq"], 2);
  EXPECT_EQ(state->sourceCache[kSrc].backlog.back().message, a->frameQueue[1].message.shared());
}

TEST_F(FanOutTest, PendingSkipStampsTheNextMessageOnce) {
  auto v = AddViewer();
  Publish(Frame(kSrc, 9));  // binds the viewer
  {
    std::lock_guard<std::mutex> lock(v->mutex);
    v->frameQueue.clear();
    v->lastSeqBySource[kSrc] = 10;
  }
  Publish(Frame(kSrc, 15));
  Publish(Frame(kSrc, 16));
  auto q = Queued(*v);
  ASSERT_EQ(q.size(), 2u);
  EXPECT_EQ(q[0]["gap"], json::parse(R"({"fromSeq":10,"missed":5,"reason":"sequence-skip","toSeq":14})"));
  EXPECT_FALSE(q[1].contains("gap"));

  {
    std::lock_guard<std::mutex> lock(v->mutex);
    v->frameQueue.clear();
    v->lastSeqBySource[kSrc] = 17;
  }
  Publish(Frame(kSrc, 17));
  q = Queued(*v);
  EXPECT_FALSE(q[0].contains("gap"));
  EXPECT_TRUE(v->lastSeqBySource.empty());
}

TEST_F(FanOutTest, FifthQueuedFrameMergesAndHalvesTheRate) {
  for (int32_t base : {20, 1}) {
    auto v = AddViewer(base);
    for (int seq = 1; seq <= 5; ++seq) Publish(Frame(kSrc + std::to_string(base), seq));
    auto q = Queued(*v);
    ASSERT_EQ(q.size(), 4u);
    EXPECT_EQ(q[0]["seq"], 2);
    EXPECT_EQ(q[0]["gap"], json::parse(R"({"fromSeq":1,"missed":1,"reason":"backpressure-merge","toSeq":1})"));
    EXPECT_EQ(v->rate, base == 20 ? 10 : 1);
    std::lock_guard<std::mutex> lock(state->mutex);
    state->viewers.clear();
  }
}

TEST_F(FanOutTest, SnapshotsBringASubscriberUpToDate) {
  Publish(Declare(kSrc, 1));
  for (int seq = 2; seq <= 5; ++seq) Publish(Frame(kSrc, seq));
  const remote::SourceCacheEntry& e = state->sourceCache[kSrc];
  remote::Subscription sub{kSrc, kSrc, e.cacheGeneration, e.streamDeclaration, false, e.lastSeq};

  remote::SubscribeSnapshot all = remote::BuildSubscribeSnapshot(*state, sub, 0);
  ASSERT_EQ(all.messages.size(), 5u);
  EXPECT_TRUE(all.messages[0].contains("declare"));
  for (const json& m : all.messages) EXPECT_FALSE(m.contains("gap"));

  // From 3: the declaration comes first as context, then 4 and 5.
  remote::SubscribeSnapshot resumed = remote::BuildSubscribeSnapshot(*state, sub, 3);
  ASSERT_EQ(resumed.messages.size(), 3u);
  EXPECT_TRUE(resumed.messages[0].contains("declare"));
  EXPECT_EQ(resumed.messages[1]["seq"], 4);
  EXPECT_FALSE(resumed.messages[1].contains("gap"));

  // Past everything cached while the backlog reaches back far enough: nothing is missed.
  EXPECT_FALSE(remote::BuildSubscribeSnapshot(*state, sub, 50).pendingSkip);

  // Only the last entries are left: a subscriber from before them is told what it missed.
  clock.Advance(10001);
  for (int seq = 60; seq <= 61; ++seq) Publish(Frame(kSrc, seq));
  remote::SubscribeSnapshot gap = remote::BuildSubscribeSnapshot(*state, sub, 50);
  ASSERT_EQ(gap.messages.size(), 3u);
  EXPECT_TRUE(gap.messages[0].contains("declare"));
  EXPECT_EQ(gap.messages[1]["gap"], json::parse(R"({"fromSeq":51,"missed":9,"reason":"sequence-skip","toSeq":59})"));

  // Aged out entirely: the last stream declaration still comes.
  clock.Advance(10001);
  remote::PruneSourceBacklog(*state, clock.steady);
  remote::SubscribeSnapshot aged = remote::BuildSubscribeSnapshot(*state, sub, 0);
  ASSERT_GE(aged.messages.size(), 1u);
  EXPECT_TRUE(aged.messages[0].contains("declare"));
  // A position this run never reached names an earlier run: this one comes from its start.
  remote::SubscribeSnapshot beyond = remote::BuildSubscribeSnapshot(*state, sub, 70);
  EXPECT_FALSE(beyond.pendingSkip);
  ASSERT_GE(beyond.messages.size(), 2u);
  EXPECT_EQ(beyond.messages[0]["type"], "source-ended");
  EXPECT_TRUE(beyond.messages[1].contains("declare"));
}

TEST_F(FanOutTest, BacklogKeepsItsByteBoundButAlwaysTheNewestEntry) {
  Publish(Timing(kSrc, 1, 3 * 1024 * 1024));
  Publish(Timing(kSrc, 2, 3 * 1024 * 1024));
  const remote::SourceCacheEntry& e = state->sourceCache[kSrc];
  ASSERT_EQ(e.backlog.size(), 1u);
  EXPECT_EQ(e.backlog.front().seq, 2);
  EXPECT_LE(e.totalBytes, remote::kBacklogMaxBytes);
}

// A viewer that stops reading while a source sends timing records (never merged) must not hold
// more than its byte cap; what it loses is reported as a gap on the next message it does get.
TEST_F(FanOutTest, UnmergedRecordsAreBoundedByTheViewerByteCap) {
  auto v = AddViewer();
  const int kCount = 2000;
  for (int seq = 1; seq <= kCount; ++seq) {
    Publish(Timing(kSrc, seq, 8 * 1024));
    std::lock_guard<std::mutex> lock(v->mutex);
    ASSERT_LE(v->frameQueueBytes, remote::kViewerQueueByteCap) << seq;
  }
  auto q = Queued(*v);
  ASSERT_FALSE(q.empty());
  EXPECT_LT(q.size(), size_t(kCount));
  ASSERT_TRUE(q.front().contains("gap"));
  EXPECT_EQ(q.front()["gap"]["fromSeq"], 1);
  EXPECT_EQ(q.front()["gap"]["toSeq"], q.front()["seq"].get<int64_t>() - 1);
  EXPECT_EQ(q.back()["seq"], kCount);
  EXPECT_EQ(v->rate, 10);
  EXPECT_FALSE(v->closed);
}

// The fan-out's invariant under load: a publisher at about 1 kHz mixing frames and large timing
// records, and viewers that read fast, slowly and not at all. For each viewer, every published seq
// is either delivered once or inside exactly one gap notice.
TEST_F(FanOutTest, DeliveredSeqsAndGapsCoverThePublishedRangeExactlyOnce) {
  state = std::make_unique<remote::State>(remote::Clock::System(),
                                          [] { return std::vector<remote::LanAddress>{}; });
  const int kMessages = 1500;
  struct Reader {
    remote::ViewerPtr viewer;
    int everyMs;  // 0: never reads until the end
    std::vector<json> got;
    uint64_t maxQueueBytes = 0;
  };
  std::vector<Reader> readers = {{AddViewer(20), 1, {}, 0}, {AddViewer(20), 20, {}, 0}, {AddViewer(20), 0, {}, 0}};
  Publish(Declare(kSrc, 1));
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (Reader& r : readers) {
    if (r.everyMs == 0) continue;
    threads.emplace_back([&, rp = &r] {
      while (!done) {
        {
          std::lock_guard<std::mutex> lock(rp->viewer->mutex);
          rp->maxQueueBytes = std::max(rp->maxQueueBytes, rp->viewer->frameQueueBytes);
          rp->viewer->nextSendAtMs = 0;  // the reader's own cadence paces it here
        }
        if (auto m = remote::PumpOutbound(*state, *rp->viewer)) rp->got.push_back(std::move(*m));
        std::this_thread::sleep_for(std::chrono::milliseconds(rp->everyMs));
      }
    });
  }
  auto next = std::chrono::steady_clock::now();
  for (int seq = 2; seq <= kMessages; ++seq) {
    Publish(seq % 3 == 0 ? Timing(kSrc, seq, 12000) : Frame(kSrc, seq));
    next += std::chrono::microseconds(1000);
    std::this_thread::sleep_until(next);
  }
  done = true;
  for (auto& t : threads) t.join();
  for (Reader& r : readers) {
    std::lock_guard<std::mutex> lock(r.viewer->mutex);
    r.maxQueueBytes = std::max(r.maxQueueBytes, r.viewer->frameQueueBytes);
    for (auto& m : r.viewer->frameQueue) r.got.push_back(m.message);
    EXPECT_FALSE(r.viewer->closed) << r.everyMs;
  }
  for (const Reader& r : readers) {
    EXPECT_LE(r.maxQueueBytes, remote::kViewerQueueByteCap) << r.everyMs;
    std::map<int64_t, int> covered;
    for (const json& m : r.got) {
      ++covered[m["seq"].get<int64_t>()];
      if (m.contains("gap")) {
        for (int64_t s = m["gap"]["fromSeq"]; s <= m["gap"]["toSeq"]; ++s) ++covered[s];
      }
    }
    for (int64_t seq = 1; seq <= kMessages; ++seq) {
      ASSERT_EQ(covered[seq], 1) << "viewer reading every " << r.everyMs << " ms, seq " << seq;
    }
    EXPECT_EQ(covered.size(), size_t(kMessages)) << r.everyMs;
  }
}
