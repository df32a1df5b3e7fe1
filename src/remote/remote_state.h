#pragma once
// The one record of remote access: listener, admitted viewers, revocation lists, the fan-out's
// per-source cache and shares, and the admission guard. Process-wide behind GetState(); tests
// build their own with a clock, an address provider and a token registry of their choosing.
//
// Threads: the accept thread, one session thread per connection, the hub's publishing threads
// (fan-out), and the page connection's thread (start, stop, requests).
// Locks, in the order they may be taken: the state mutex, then cacheMutex, then one viewer's
// mutex. The fan-out copies the viewer list under the state mutex and releases it before it takes
// cacheMutex, which it then holds while it queues the message for each viewer: a subscribe
// snapshot, built under cacheMutex, and the live messages never overlap or repeat each other. The
// state mutex and a viewer's mutex are held only for short sections, never across a socket
// operation or a call into the page; cacheMutex is never held while the state mutex is taken. A
// viewer's writeLock guards its socket number and every frame written to it; it is taken alone.
//
// Intervals (guard windows, lock-outs, idle, pacing, backlog age) run on the steady clock; the
// wall clock only gives the admission time shown to the page and the token clock.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/netinfo.h"

class CapabilityTokenRegistry;

namespace remote {

struct OutConn;

using Json = nlohmann::json;
using SharedJson = std::shared_ptr<const Json>;
using UiTextSink = std::function<void(const std::string& text)>;
using LanAddress = platform::netinfo::LanAddress;
using AddressProvider = std::function<std::vector<LanAddress>()>;

inline constexpr int32_t kRemotePort = 51515;
inline constexpr size_t kMaxCachedSources = 128;
inline constexpr int64_t kBacklogMaxAgeMs = 10000;
inline constexpr uint64_t kBacklogMaxBytes = 4 * 1024 * 1024;
inline constexpr int kMaxViewers = 4;
inline constexpr int kMaxViewersPerSubject = 2;
// Bytes of realtime messages one viewer may have waiting; beyond it the viewer is a slow consumer.
inline constexpr uint64_t kViewerQueueByteCap = 4 * 1024 * 1024;
inline constexpr uint64_t kSnapshotByteCap = 128ull * 1024 * 1024;
// Connections that have not finished their upgrade and hello yet, overall and from one address,
// and the time each gets from its accept until its hello has been read and answered.
inline constexpr int kMaxPendingHandshakes = 8;
inline constexpr int kMaxPendingHandshakesPerAddress = 2;
inline constexpr int64_t kHandshakeDeadlineMs = 5000;
// How long an admitted viewer may stay silent (no message, no ping) before its session ends.
inline constexpr int64_t kViewerIdleLimitMs = 60000;

struct Clock {
  std::function<int64_t()> wallMs;    // milliseconds since 1970, follows clock changes
  std::function<int64_t()> steadyMs;  // monotonic milliseconds, for intervals
  static Clock System();
};

struct BacklogEntry {
  int64_t seq = 0;
  int64_t receivedMs = 0;  // steady clock
  std::string source;
  uint64_t size = 0;  // compact JSON bytes
  uint64_t cacheGeneration = 0;
  SharedJson declaration;
  SharedJson message;
};

struct SourceCacheEntry {
  std::string instanceId;
  uint64_t cacheGeneration = 0;
  uint64_t totalBytes = 0;
  int64_t lastSeq = 0;
  bool ended = false;
  // The last seq of the run before this one (0: none since the entry was made): what a viewer
  // that was away for the restart is told the old run ended with.
  int64_t previousRunLastSeq = 0;
  SharedJson streamDeclaration;
  SharedJson timingDeclaration;
  std::deque<BacklogEntry> backlog;
};

// One watched source: a viewer's own (without a share) or one of a share's.
struct Subscription {
  std::string requestedSource;
  std::string boundSource;  // empty while unbound
  uint64_t cacheGeneration = 0;
  SharedJson declaration;
  bool ended = false;
  int64_t lastSeq = 0;
};

// A queued message as the viewer's queues hold it: the fan-out's one immutable message, shared by
// every viewer and the backlog, and the gap notice this queue stamped on it (kept beside it, so
// stamping copies nothing). Read as JSON it is the message with that gap; the combined copy is
// made on the first such read (in practice when the session takes it out to send).
class QueuedJson {
 public:
  QueuedJson(Json message) : shared_(std::make_shared<const Json>(std::move(message))) {}
  QueuedJson(SharedJson message) : shared_(std::move(message)) {}

  // The message as the fan-out handed it, without this queue's gap.
  const SharedJson& shared() const { return shared_; }
  // The gap this message carries: this queue's, else the message's own; null when none.
  const Json* gap() const {
    if (!gap_.is_null()) return &gap_;
    auto it = shared_->find("gap");
    return it == shared_->end() ? nullptr : &*it;
  }
  void SetGap(Json gap) {
    gap_ = std::move(gap);
    view_.reset();
  }

  const Json& get() const {
    if (gap_.is_null()) return *shared_;
    if (!view_) {
      view_ = std::make_shared<Json>(*shared_);
      (*view_)["gap"] = gap_;
    }
    return *view_;
  }
  operator const Json&() const { return get(); }
  operator Json() && {
    get();
    if (view_ && view_.use_count() == 1) return std::move(*view_);
    return get();
  }

 private:
  SharedJson shared_;
  Json gap_;                            // null: none stamped here
  mutable std::shared_ptr<Json> view_;  // shared_ with gap_, made on the first read
};

struct QueuedMessage {
  QueuedJson message;
  uint64_t size = 0;  // compact JSON bytes when queued
};

// One admitted viewer, shared by the state's list and its session thread.
struct Viewer {
  // Fixed at admission (jti, name and expSec change on renew, on the session thread, under mutex);
  // ip is set at accept, before the session thread starts, so pending handshakes can be counted
  // per address.
  std::string connId, subject, name, shareId, ip, jti;
  int64_t connectedAtMs = 0;  // wall clock
  int64_t expSec = 0;         // token clock

  std::mutex writeLock;  // guards socket and every write to it
  int socket = -1;       // owned by the session thread, which alone closes it

  std::mutex mutex;  // guards everything below
  int64_t lastMessageAtMs = 0;
  int64_t lastSendAtMs = 0;
  bool windowStarted = false;
  int64_t windowStartMs = 0;
  int64_t nextSendAtMs = 0;
  uint64_t bytesSent = 0;
  uint64_t windowBytes = 0;
  int32_t sentInWindow = 0;
  int32_t receivedInWindow = 0;
  int32_t baseRate = 20;
  int32_t rate = 20;
  bool closed = false;
  bool subscribed = false;
  bool allSources = false;
  std::map<std::string, int64_t> lastSeqBySource;
  Subscription boundSource;
  std::vector<std::string> subscribedSources;
  std::deque<QueuedMessage> controlQueue;
  std::deque<QueuedMessage> frameQueue;
  uint64_t queuedBytes = 0;      // snapshot bytes put in controlQueue by the subscribe handler
  uint64_t frameQueueBytes = 0;  // bytes waiting in frameQueue
};
using ViewerPtr = std::shared_ptr<Viewer>;

struct AuthGuard {
  struct IpFailures {
    std::string ip;
    std::deque<int64_t> times;
  };
  struct IpLock {
    std::string ip;
    int64_t untilMs = 0;
  };
  std::deque<int64_t> recentFailures;
  std::vector<IpFailures> failuresByIp;
  std::vector<IpLock> lockedIps;
  int64_t pauseUntilMs = 0;
};

// A session thread of the listener; done is set as the thread's last step.
struct SessionThread {
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> done;
};

class State {
 public:
  explicit State(Clock clock = Clock::System(), AddressProvider addresses = platform::netinfo::ListLanAddresses,
                 CapabilityTokenRegistry* registry = nullptr);
  ~State();  // stops the outgoing connections and the listener
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  const Clock clock;
  const AddressProvider addressProvider;
  CapabilityTokenRegistry& registry;

  std::mutex mutex;
  UiTextSink eventSink;
  // Called where the listener's status changed (admission, end of a session, address change); the
  // page's status event is built by whoever installs it.
  std::function<void()> listenerStatusHook;
  bool enabled = false;
  bool listening = false;
  std::string lastError;
  int32_t port = kRemotePort;  // tests may choose another (0: any free port)
  int32_t boundPort = 0;
  int listenSocket = -1;
  int wakeFds[2] = {-1, -1};
  std::thread acceptThread;
  bool stopping = false;
  std::vector<SessionThread> viewerThreads;
  int pendingHandshakes = 0;
  std::vector<ViewerPtr> connecting;  // accepted, handshake or hello not finished
  std::vector<ViewerPtr> viewers;
  std::vector<LanAddress> addresses;
  std::string networkCategory = "unknown";
  int64_t revokedBeforeSec = 0;
  std::vector<std::string> revokedShareIds;
  std::vector<std::string> revokedJtis;
  std::string settingsPath;
  AuthGuard guard;
  std::atomic<int32_t> viewerCounter{0};
  // The idle bound of admitted viewers; a quarter of it is the outgoing client's keep-alive.
  // Shorter only for tests (remote::Start reads the test setting).
  std::atomic<int64_t> idleLimitMs{kViewerIdleLimitMs};

  std::recursive_mutex cacheMutex;
  std::map<std::string, SourceCacheEntry> sourceCache;
  uint64_t cacheCounter = 0;
  std::map<std::string, std::vector<Subscription>> shares;

  std::mutex startStopLock;  // one start or stop at a time

  // This instance's outgoing viewer connections (out_conn.h), under the state mutex.
  std::vector<std::shared_ptr<OutConn>> outConns;
};

State& GetState();

// Guard and lookups. The "caller holds the state mutex" ones say so.
void PruneFailureWindow(std::deque<int64_t>& times, int64_t nowMs);
bool IsAdmitted(State& state, const std::string& ip, int64_t nowMs);  // state mutex held
// What a failure counts toward: a refused request or hello counts for its address and toward the
// global pause; a connection that was only slow (its handshake ran out of time) counts for its
// address alone, so slow strangers cannot pause remote access for everyone.
enum class FailureScope { AddressAndGlobal, AddressOnly };
void RecordAuthFailure(State& state, const std::string& ip, int64_t nowMs,
                       FailureScope scope = FailureScope::AddressAndGlobal);
bool IsShareRevoked(const State& state, const std::string& shareId);       // state mutex held
bool IsJtiRevoked(const State& state, const std::string& jti);             // state mutex held
int CountViewersOfSubject(const State& state, const std::string& subject);  // state mutex held
void SendEvent(State& state, const std::string& text);
void EmitListenerStatus(State& state);
int64_t ServerNowSec(State& state);

// Message helpers of the fan-out.
bool IsTimingDeclare(const Json& message);
std::string InstanceKeyOf(const Json& message);
int64_t SeqOf(const Json& message);
void MakeGapNotice(Json& message, const std::string& reason, int64_t fromSeq, int64_t toSeq);
bool AcceptsMessage(const std::vector<Subscription>& subscriptions, const Json& message, uint64_t cacheGeneration);

// The fan-out (called by the hub after it released its mutex).
void FanOutVerified(State& state, const Json& message);
void FanOutSourceEnded(State& state, const std::string& key);
void PruneSourceBacklog(State& state, int64_t nowMs);  // cacheMutex held
void BindShareSource(State& state, Subscription& subscription);  // cacheMutex held
// The viewer's allowed sources (copies), each first bound again to a new run of its source when
// the run it was bound to has ended; what the subscribe handler builds its snapshots from.
std::vector<Subscription> SubscriptionsOf(State& state, Viewer& viewer);
// Offers one message to one viewer; cacheMutex held (so a subscribe snapshot and the live
// messages never overlap). size: the message's compact JSON bytes (0: measured here).
void EnqueueForViewer(State& state, Viewer& viewer, const SharedJson& message, uint64_t cacheGeneration,
                      uint64_t size = 0);

struct SubscribeSnapshot {
  std::vector<Json> messages;
  bool pendingSkip = false;
  int64_t pendingSkipFrom = 0;
};
// fromSeq is the last seq the viewer has of the source. One beyond what the bound run published
// names an earlier run (the viewer was away while the source restarted): the viewer gets that
// run's end record, then the bound run from its start. resumed: fromSeq came from the viewer's
// "resume" position; 0 there on a run that has ended means the viewer already saw it end and
// waits for the next run, so it gets nothing of the ended one again.
SubscribeSnapshot BuildSubscribeSnapshot(State& state, const Subscription& subscription, int64_t fromSeq,
                                         bool resumed = false);

// The process-wide state's fan-out, in the form the hub's slot takes.
void FanOutVerified(const Json& message);
void FanOutSourceEnded(const std::string& key);

}  // namespace remote
