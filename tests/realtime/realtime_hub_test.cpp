#include "realtime/realtime_hub.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/json.h"
#include "support/token_test_support.h"

using nlohmann::json;
using namespace std::chrono_literals;
using realtime::RealtimeHub;

namespace {

const std::string kPkgA(64, 'a');

// Collects what the hub sends to the page; waits are bounded.
struct PageSink {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> texts;

  realtime::UiTextSink Sink() {
    return [this](const std::string& text) {
      std::lock_guard<std::mutex> lock(mutex);
      texts.push_back(text);
      changed.notify_all();
    };
  }
  bool WaitFor(size_t count, std::chrono::milliseconds timeout = 5s) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return texts.size() >= count; });
  }
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(mutex);
    return std::move(texts);
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex);
    return texts.size();
  }
  // Every message of every batch so far, in order.
  std::vector<json> Messages() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<json> all;
    for (const std::string& text : texts) {
      const json batch = json::parse(text);
      for (const json& m : batch.at("frames")) all.push_back(m);
    }
    return all;
  }
};

CapabilityClaims Claims(const std::string& pluginId = "p1") {
  CapabilityClaims c;
  c.pluginId = pluginId;
  c.pkg = kPkgA;
  c.scopes = {"rt.publish:" + pluginId};
  return c;
}

json Frame(int64_t seq, json channels = json::array({{{"id", "speed"}, {"values", {1}}}})) {
  return {{"seq", seq}, {"frame", {{"channels", std::move(channels)}}}};
}

json Declare(int64_t seq, json channels) {
  return {{"seq", seq},
          {"declare", {{"streamId", "s"}, {"epoch", 0}, {"clock", "sim"}, {"channels", std::move(channels)}}}};
}

json Chan(const std::string& id, const char* interpolation = "linear") {
  return {{"id", id}, {"interpolation", interpolation}};
}

// A hub whose flusher never fires during a test unless it asks for one.
class HubTest : public ::testing::Test {
 protected:
  PageSink page;
  RealtimeHub hub{page.Sink(), std::chrono::hours(1)};

  PublishResult Pub(const json& body, uint64_t generation = 0, const std::string& pluginId = "p1",
                    bool verified = true) {
    return hub.Publish(Claims(pluginId), verified, body, generation);
  }
  std::vector<json> Flushed(const std::string& pluginId = "p1") {
    hub.FlushPublisher(pluginId);
    return page.Messages();
  }
};

}  // namespace

TEST_F(HubTest, BatchTextIsExactAndFourthPublishSendsIt) {
  for (int seq = 1; seq <= 3; ++seq) EXPECT_EQ(Pub(Frame(seq)).seq, seq);
  EXPECT_EQ(page.Count(), 0u);
  Pub(Frame(4));
  ASSERT_EQ(page.Count(), 1u);
  const std::string a = "\"source\":\"p1@" + kPkgA + "\"";
  auto frame = [&](int seq) {
    return R"({"frame":{"channels":[{"id":"speed","values":[1]}]},"provenance":"verified",)" +
           ("\"seq\":" + std::to_string(seq) + ",") + a + "}";
  };
  EXPECT_EQ(page.Take()[0], "{\"frames\":[" + frame(1) + "," + frame(2) + "," + frame(3) + "," + frame(4) +
                                "],\"type\":\"rt.batch\"}");
}

TEST(HubFlusher, ThreeMessagesGoWithTheNextPass) {
  PageSink page;
  RealtimeHub hub(page.Sink(), 20ms);
  for (int seq = 1; seq <= 3; ++seq) hub.Publish(Claims(), false, Frame(seq), 0);
  ASSERT_TRUE(page.WaitFor(1));
  const std::vector<json> messages = page.Messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[2]["provenance"], "unverified");
  hub.Stop();
  hub.Stop();  // a second stop finds no thread
  // After the stop, only a batch of four (or a publisher flush) still sends.
  for (int seq = 4; seq <= 6; ++seq) hub.Publish(Claims(), false, Frame(seq), 0);
  EXPECT_EQ(page.Count(), 1u);
  hub.Publish(Claims(), false, Frame(7), 0);
  EXPECT_EQ(page.Count(), 2u);
}

TEST_F(HubTest, SequenceGapsAndReplays) {
  EXPECT_EQ(Pub(Frame(7)).code, "");  // a fresh publisher takes any first seq without a gap
  EXPECT_EQ(Pub(Frame(10)).code, "");
  EXPECT_EQ(Pub(Frame(10)).code, kTokenReplay);
  EXPECT_EQ(Pub(Frame(9)).code, kTokenReplay);
  EXPECT_EQ(Pub(Frame(11)).code, "");
  const std::vector<json> got = Flushed();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_FALSE(got[0].contains("gap"));
  EXPECT_EQ(DumpCompact(got[1]["gap"]), R"({"fromSeq":8,"missed":2,"reason":"sequence-skip","toSeq":9})");
  EXPECT_FALSE(got[2].contains("gap"));
  // A refused body changes nothing.
  EXPECT_EQ(Pub(json{{"seq", 12}, {"frame", 1}}).code, kScopeDenied);
  EXPECT_EQ(Pub(Frame(12)).code, "");
}

TEST_F(HubTest, GenerationsMakeOldCallersStale) {
  // A state made by a publish has generation 0: a caller with a generation is stale.
  PublishResult r = Pub(Frame(1), 5);
  EXPECT_TRUE(r.stale);
  EXPECT_EQ(r.code, "");
  hub.BeginGeneration("p1", 5);
  EXPECT_FALSE(Pub(Frame(3), 5).stale);
  EXPECT_FALSE(Pub(Frame(4), 0).stale);  // 0 skips the check
  hub.BeginGeneration("p1", 6);
  EXPECT_TRUE(Pub(Frame(5), 5).stale);
  // The new run starts over at any seq, without a gap, and the old run's messages went first.
  EXPECT_EQ(Pub(Frame(2), 6).code, "");
  const std::vector<json> got = Flushed();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0]["seq"], 3);
  EXPECT_EQ(got[1]["seq"], 4);
  EXPECT_EQ(got[2]["seq"], 2);
  EXPECT_FALSE(got[2].contains("gap"));
}

TEST_F(HubTest, RejectedChannelsAreRemovedFromFrames) {
  PublishResult r = Pub(Declare(1, {Chan("speed"), Chan("b", "cubic"), Chan("rpm")}));
  EXPECT_EQ(r.rejectedChannels, json::array({{{"id", "b"}, {"reason", "invalid-interpolation"}}}));
  Pub(Frame(2, {{{"id", "b"}, {"values", {1, 2, 3}}}, {{"id", "speed"}, {"values", {4}}}, {{"id", "never"}}}));
  // A later declaration that rejects "a" leaves only "a" in the set.
  Pub(Declare(3, {Chan("speed"), Chan("b"), Chan("a", "cubic")}));
  Pub(Frame(4, {{{"id", "a"}}, {{"id", "b"}, {"values", {1}}}}));
  // A timing declaration keeps the set and replaces the stored declaration.
  Pub({{"seq", 5},
       {"declare", {{"kind", "timing"}, {"streamId", "t"}, {"provider", "p"}, {"clock", "utc"}, {"epoch", 0}}}});
  Pub(Frame(6, {{{"id", "a"}, {"values", {1, 2}}}}));
  const std::vector<json> got = Flushed();
  ASSERT_EQ(got.size(), 6u);
  EXPECT_EQ(got[0]["rejectedChannels"], r.rejectedChannels);
  EXPECT_EQ(got[0]["declare"]["channels"], json::array({Chan("speed"), Chan("rpm")}));
  EXPECT_EQ(got[1]["frame"]["channels"], json::parse(R"([{"id":"speed","values":[4]},{"id":"never"}])"));
  EXPECT_EQ(got[1]["rejectedChannelValues"], 3);
  EXPECT_EQ(got[3]["frame"]["channels"], json::parse(R"([{"id":"b","values":[1]}])"));
  EXPECT_EQ(got[3]["rejectedChannelValues"], 1);
  EXPECT_FALSE(got[4].contains("rejectedChannels"));
  EXPECT_EQ(got[5]["rejectedChannelValues"], 2);
  EXPECT_TRUE(got[5]["frame"]["channels"].empty());

  page.Take();
  hub.ReplayDeclarations();
  const std::vector<json> replayed = page.Messages();
  ASSERT_EQ(replayed.size(), 1u);
  EXPECT_EQ(replayed[0]["declare"]["kind"], "timing");
}

TEST_F(HubTest, ReplayGoesInSlicesOfFourWithoutGaps) {
  hub.ReplayDeclarations();
  EXPECT_EQ(page.Count(), 0u);  // nothing stored, nothing sent
  for (int i = 0; i < 5; ++i) {
    const std::string id = "p" + std::to_string(i);
    Pub(Frame(1), 0, id);
    Pub(Declare(3, {Chan("x"), Chan("x")}), 0, id);  // seq jump: the queued copy has a gap
  }
  Flushed("p0"), Flushed("p1"), Flushed("p2"), Flushed("p3"), Flushed("p4");
  page.Take();
  hub.ReplayDeclarations();
  const std::vector<std::string> texts = page.Take();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(json::parse(texts[0])["frames"].size(), 4u);
  EXPECT_EQ(json::parse(texts[1])["frames"].size(), 1u);
  for (const std::string& text : texts) {
    const json batch = json::parse(text);
    for (const json& m : batch.at("frames")) {
      EXPECT_FALSE(m.contains("gap"));
      EXPECT_EQ(m["seq"], 3);
      EXPECT_EQ(m["provenance"], "verified");
      EXPECT_EQ(m["rejectedChannels"], json::array({{{"id", "x"}, {"reason", "duplicate-id"}}}));
      EXPECT_EQ(m["source"].get<std::string>().substr(m["source"].get<std::string>().find('@') + 1), kPkgA);
    }
  }
}

TEST_F(HubTest, EndPublisherFlushesAtOnceAndForgetsTheState) {
  std::vector<std::string> events;
  realtime::RealtimeFanoutHooks fanout;
  fanout.fanOutVerified = [&](const json& m) { events.push_back("msg " + m["source"].get<std::string>()); };
  fanout.fanOutSourceEnded = [&](const std::string& id) { events.push_back("end " + id); };
  hub.SetFanoutHooks(fanout);
  Pub(Frame(5));
  Pub(Frame(1), 0, "p2");
  hub.EndPublisher("p1");
  std::vector<json> got = page.Messages();
  ASSERT_EQ(got.size(), 1u);  // p1's message at once, p2's still waits
  EXPECT_EQ(got[0]["seq"], 5);
  EXPECT_EQ(events, (std::vector<std::string>{"msg p1@" + kPkgA, "msg p2@" + kPkgA, "end p1"}));
  // The next run starts at lastSeq 0: a lower seq is accepted.
  EXPECT_EQ(Pub(Frame(1)).code, "");
  hub.ReplayDeclarations();
  EXPECT_EQ(page.Count(), 1u);
}

// A restart after a crash begins a new run without an end: the run that published is ended to the
// fan-out before the new one's first message; a run that never published, or one that ended, is not.
TEST_F(HubTest, NewRunEndsTheOldRunToTheFanOutWhenItPublished) {
  std::vector<std::string> events;
  realtime::RealtimeFanoutHooks fanout;
  fanout.fanOutVerified = [&](const json& m) { events.push_back("msg " + std::to_string(m["seq"].get<int64_t>())); };
  fanout.fanOutSourceEnded = [&](const std::string& id) { events.push_back("end " + id); };
  hub.SetFanoutHooks(fanout);
  hub.BeginGeneration("p1", 1);
  hub.BeginGeneration("p1", 2);  // nothing published: nothing to end
  Pub(Frame(300), 2);
  hub.BeginGeneration("p1", 3);
  Pub(Frame(1), 3);
  hub.EndPublisher("p1");
  hub.BeginGeneration("p1", 4);  // ended already
  EXPECT_EQ(events, (std::vector<std::string>{"msg 300", "end p1", "msg 1", "end p1"}));
}

TEST(HubSink, BlockedSinkDoesNotStopOtherPublishers) {
  std::mutex gateMutex;
  std::condition_variable gateChanged;
  bool open = false;
  bool entered = false;
  bool left = false;
  RealtimeHub hub(
      [&](const std::string&) {
        std::unique_lock<std::mutex> lock(gateMutex);
        entered = true;
        gateChanged.notify_all();
        gateChanged.wait_for(lock, 10s, [&] { return open; });
        left = true;
      },
      std::chrono::hours(1));
  std::thread blocked([&] {
    for (int seq = 1; seq <= 4; ++seq) hub.Publish(Claims("p1"), true, Frame(seq), 0);  // the fourth sends
  });
  {
    std::unique_lock<std::mutex> lock(gateMutex);
    ASSERT_TRUE(gateChanged.wait_for(lock, 10s, [&] { return entered; }));
  }
  // While the sink is stuck, another publisher, a replay snapshot and a generation change go on.
  // Two, so that with p3's one the queue stays below the threshold of four.
  for (int seq = 1; seq <= 2; ++seq) EXPECT_EQ(hub.Publish(Claims("p2"), true, Frame(seq), 0).code, "");
  hub.BeginGeneration("p3", 9);
  EXPECT_FALSE(hub.Publish(Claims("p3"), true, Frame(1), 9).stale);
  {
    std::lock_guard<std::mutex> lock(gateMutex);
    // Had the hub held its lock across the send, the calls above would only have returned once
    // the sink gave up waiting.
    EXPECT_FALSE(left);
    open = true;
  }
  gateChanged.notify_all();
  blocked.join();
}

TEST(HubInvariant, EveryAcceptedSeqArrivesOnceAndGapsCoverTheRest) {
  PageSink page;
  RealtimeHub hub(page.Sink(), 1ms);
  constexpr int kPublishers = 6;
  constexpr int kPerPublisher = 400;
  std::vector<std::vector<int64_t>> accepted(kPublishers);
  std::vector<std::thread> threads;
  for (int p = 0; p < kPublishers; ++p) {
    threads.emplace_back([&, p] {
      std::mt19937_64 random(1234 + p);
      int64_t seq = 0;
      for (int i = 0; i < kPerPublisher; ++i) {
        // Forward jumps, and now and then a step back that must be refused.
        const int pick = static_cast<int>(random() % 10);
        int64_t next = pick == 0 && seq > 2 ? seq - 1 : seq + 1 + static_cast<int64_t>(random() % (pick < 6 ? 1 : 50));
        PublishResult r = hub.Publish(Claims("p" + std::to_string(p)), true, Frame(next), 0);
        if (next <= seq) {
          EXPECT_EQ(r.code, kTokenReplay);
          continue;
        }
        EXPECT_EQ(r.code, "");
        accepted[p].push_back(next);
        seq = next;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (int p = 0; p < kPublishers; ++p) hub.FlushPublisher("p" + std::to_string(p));
  hub.Stop();

  std::map<std::string, std::vector<json>> bySource;
  for (const json& m : page.Messages()) bySource[m["source"].get<std::string>()].push_back(m);
  ASSERT_EQ(bySource.size(), static_cast<size_t>(kPublishers));
  for (int p = 0; p < kPublishers; ++p) {
    std::vector<json> messages = bySource["p" + std::to_string(p) + "@" + kPkgA];
    // Batches from different threads may interleave; within one publisher seq orders.
    std::sort(messages.begin(), messages.end(),
              [](const json& a, const json& b) { return a["seq"].get<int64_t>() < b["seq"].get<int64_t>(); });
    std::vector<int64_t> delivered;
    int64_t covered = messages.empty() ? 0 : messages[0]["seq"].get<int64_t>() - 1;
    for (const json& m : messages) {
      const int64_t seq = m["seq"].get<int64_t>();
      if (m.contains("gap")) {
        EXPECT_EQ(m["gap"]["fromSeq"].get<int64_t>(), covered + 1);
        EXPECT_EQ(m["gap"]["toSeq"].get<int64_t>(), seq - 1);
        EXPECT_EQ(m["gap"]["missed"].get<int64_t>(), seq - 1 - covered);
      } else {
        EXPECT_EQ(seq, covered + 1) << "seq " << seq << " of p" << p;
      }
      covered = seq;
      delivered.push_back(seq);
    }
    EXPECT_EQ(delivered, accepted[p]) << "p" << p;
  }
}

class StdioPublishTest : public TokenTest {
 protected:
  void SetUp() override {
    TokenTest::SetUp();
    EnableTokens();
    registry->SetRpcPort(45123);
    token = Mint(CapPayload());
    ASSERT_EQ(registry->ArmPluginToken("p1", kPkg, token, kNow), "");
    ASSERT_EQ(registry->CheckLaunchToken("p1", kPkg, "realtime", "linux", kNow), "");
    queries.isPluginProcessAlive = [this](const std::string&) { return alive; };
    queries.getPluginGeneration = [this](const std::string&) { return generation; };
    queries.markPluginNeedsOnline = [this](const std::string& id) {
      marked.push_back(id);
      return registered;
    };
    queries.publishStoppedNeedsOnline = [this](const std::string& id) { reportedStopped.push_back(id); };
  }
  std::string Publish(const json& payload, const std::string& pkg = "") {
    return realtime::HandleStdioPublish(hub, *registry, queries, "p1", pkg.empty() ? kPkg : pkg, payload,
                                        wallMs.load());
  }

  PageSink page;
  RealtimeHub hub{page.Sink(), std::chrono::hours(1)};
  realtime::RealtimePluginQueries queries;
  std::string token;
  bool alive = true;
  uint64_t generation = 0;
  bool registered = true;
  std::vector<std::string> marked, reportedStopped;
};

TEST_F(StdioPublishTest, RepliesForEachOutcome) {
  EXPECT_EQ(Publish(Frame(1)), R"({"payload":{"seq":1},"type":"publish-ok"})");
  EXPECT_EQ(Publish(Declare(2, {Chan("a"), Chan("a")})),
            R"({"payload":{"rejectedChannels":[{"id":"a","reason":"duplicate-id"}],"seq":2},"type":"publish-ok"})");
  EXPECT_EQ(Publish(Frame(2)), R"({"code":"E_TOKEN_REPLAY","type":"error"})");
  EXPECT_EQ(Publish(json{{"seq", 3}}), R"({"code":"E_SCOPE_DENIED","type":"error"})");
  // The plugin's run was replaced: this caller's generation is not the hub's.
  generation = 7;
  EXPECT_EQ(Publish(Frame(3)), R"({"code":"E_GENERATION","type":"error"})");
  hub.BeginGeneration("p1", 7);
  alive = false;
  EXPECT_EQ(Publish(Frame(1)), R"({"payload":{"seq":1},"type":"publish-ok"})");
  // Another package than the armed one is not this plugin's grant.
  EXPECT_EQ(Publish(Frame(2), std::string(64, 'b')), R"({"code":"E_TOKEN_AUDIENCE","type":"error"})");
  hub.FlushPublisher("p1");
  const std::vector<json> got = page.Messages();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0]["provenance"], "verified");
  EXPECT_EQ(got[2]["provenance"], "unverified");
  EXPECT_TRUE(marked.empty());
}

TEST_F(StdioPublishTest, ExpiredTokenMarksThePluginAndStillPublishes) {
  wallMs = (kNow + 1000) * 1000;  // past the armed grant's grace period
  EXPECT_EQ(Publish(Frame(1)), R"({"payload":{"seq":1},"type":"publish-ok"})");
  EXPECT_EQ(marked, std::vector<std::string>{"p1"});
  EXPECT_TRUE(reportedStopped.empty());
  // A plugin the registry no longer runs cannot be marked: it is reported stopped instead.
  registered = false;
  EXPECT_EQ(Publish(Frame(2)), R"({"payload":{"seq":2},"type":"publish-ok"})");
  EXPECT_EQ(reportedStopped, std::vector<std::string>{"p1"});
}
