#include "remote/remote_listener.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "base/json.h"
#include "base/log.h"
#include "bridge/tokens/capability_token_registry.h"
#include "bridge/ws_handshake.h"
#include "platform/net.h"
#include "remote/remote_wire.h"

namespace remote {

namespace net = platform::net;

namespace {

constexpr int kBacklog = 8;
constexpr int kAddressRefreshMs = 5000;
constexpr size_t kMaxRequestHead = 8192;
constexpr int32_t kHandshakeReceiveMs = 1000;
constexpr int32_t kSendTimeoutMs = 2000;
constexpr int32_t kSessionReceiveMs = 50;
constexpr int64_t kExpiryGraceSec = 30;
constexpr int64_t kSlowRateAfterMs = 1000;
constexpr int64_t kSlowCloseAfterMs = 10000;
constexpr int32_t kInboundPerWindow = 20;
constexpr uint64_t kWindowByteBudget = 250000;
constexpr int32_t kMaxRate = 20;

const char* const kCodeRoleDenied = "E_ROLE_DENIED";
const char* const kCodeRevoked = "E_TOKEN_REVOKED";
const char* const kCodeAudience = "E_TOKEN_AUDIENCE";
const char* const kCodeViewerLimit = "E_VIEWER_LIMIT";
const char* const kCodeRateLimited = "E_RATE_LIMITED";
const char* const kCodeTransportDenied = "E_TRANSPORT_DENIED";
const char* const kCodeSubscribeInvalid = "E_SUBSCRIBE_INVALID";
const char* const kCodeShareSourcesRequired = "E_SHARE_SOURCES_REQUIRED";
const char* const kCodeScopeDenied = "E_SCOPE_DENIED";

std::string StringMember(const Json& object, const char* key) {
  if (!object.is_object()) return {};
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

const Json& PayloadOf(const Json& message) {
  static const Json* empty = new Json(Json::object());
  if (!message.is_object()) return *empty;
  auto it = message.find("payload");
  return it != message.end() && it->is_object() ? *it : *empty;
}

uint64_t CompactSize(const Json& message) { return DumpCompact(message).size(); }

// The session's writes; false once the socket is gone or a send failed.
bool SendJson(Viewer& viewer, const Json& message) {
  std::lock_guard<std::mutex> lock(viewer.writeLock);
  if (viewer.socket < 0) return false;
  return WsSendText(viewer.socket, DumpCompact(message), false);
}

void SendErrorAndClose(Viewer& viewer, const std::string& code, uint16_t closeCode) {
  SendJson(viewer, Json{{"type", "error"}, {"code", code}});
  std::lock_guard<std::mutex> lock(viewer.writeLock);
  if (viewer.socket >= 0) WsSendClose(viewer.socket, closeCode, code);
}

void RemoveFrom(std::vector<ViewerPtr>& list, const Viewer* viewer) {
  list.erase(std::remove_if(list.begin(), list.end(), [&](const ViewerPtr& v) { return v.get() == viewer; }),
             list.end());
}

// One connection from accept to its end. Holds the state by reference: StopListener joins the
// thread before the state can go.
class Session {
 public:
  // deadlineMs: when the upgrade and the hello must be done, counted from the accept.
  Session(State& state, ViewerPtr viewer, std::string ip, int64_t deadlineMs)
      : state_(state), viewer_(std::move(viewer)), ip_(std::move(ip)), deadline_(deadlineMs) {}

  void Run() {
    const bool admitted = Admit();
    {
      std::lock_guard<std::mutex> lock(state_.mutex);
      --state_.pendingHandshakes;
      RemoveFrom(state_.connecting, viewer_.get());
    }
    if (admitted) {
      Loop();
      End();
    } else {
      CloseSocket();
    }
  }

 private:
  int64_t Steady() const { return state_.clock.steadyMs(); }
  int fd() const { return viewer_->socket; }  // the session thread's own reads

  void CloseSocket() {
    int fd;
    {
      std::lock_guard<std::mutex> lock(viewer_->writeLock);
      fd = viewer_->socket;
      viewer_->socket = -1;
    }
    if (fd >= 0) net::CloseSocket(fd);
  }

  // The time-outs of a read or a send that must end by the connection's overall deadline; false
  // when the deadline has passed.
  bool ArmReceive(int32_t ms) {
    const int64_t left = deadline_ - Steady();
    if (left <= 0) return false;
    SetSocketTimeouts(fd(), static_cast<int32_t>(std::min<int64_t>(ms, left)), -1);
    return true;
  }
  bool ArmSend() {
    const int64_t left = deadline_ - Steady();
    if (left <= 0) return false;
    SetSocketTimeouts(fd(), kHandshakeReceiveMs, static_cast<int32_t>(std::min<int64_t>(kSendTimeoutMs, left)));
    return true;
  }

  // Slow: the deadline passed or the peer went silent; Gone: it closed, failed or sent too much.
  enum class HeadResult { Ok, Slow, Gone };
  HeadResult ReadRequestHead(std::string* head) {
    std::string data;
    char piece[2048];
    for (;;) {
      const size_t end = data.find("\r\n\r\n");
      if (end != std::string::npos) {
        // What follows the blank line is the start of the first frame.
        buffer_ = data.substr(end + 4);
        data.resize(end + 4);
        *head = std::move(data);
        return HeadResult::Ok;
      }
      if (data.size() > kMaxRequestHead) return HeadResult::Gone;
      if (!ArmReceive(kHandshakeReceiveMs)) return HeadResult::Slow;
      ssize_t n = net::Receive(fd(), piece, sizeof piece);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return HeadResult::Slow;
      if (n <= 0) return HeadResult::Gone;
      data.append(piece, static_cast<size_t>(n));
    }
  }

  // A handshake that ran out of time counts against its address only: a peer that is merely slow
  // must not be able to pause remote access for everyone.
  void RecordSlowHandshake() {
    RecordAuthFailure(state_, ip_, Steady(), FailureScope::AddressOnly);
    LogPrintf("[remote] handshake timed out ip=%s\n", ip_.c_str());
  }

  void RejectHandshake(bool count) {
    if (count) RecordAuthFailure(state_, ip_, Steady());
    LogPrintf("[remote] handshake rejected ip=%s\n", ip_.c_str());
  }

  void LogHello(const std::string& jti, const std::string& result) {
    LogPrintf("[remote] hello ip=%s jti=%s result=%s\n", ip_.c_str(), ShortJti(jti).c_str(), result.c_str());
  }

  // The viewer-limit and revocation checks of a hello; state mutex held.
  std::string AdmissionCodeLocked(const ViewTokenClaims& claims) {
    if (claims.iat < state_.revokedBeforeSec || IsShareRevoked(state_, claims.share)) return kCodeRevoked;
    if (IsJtiRevoked(state_, claims.jti)) return kCodeRevoked;
    if (static_cast<int>(state_.viewers.size()) >= kMaxViewers ||
        CountViewersOfSubject(state_, claims.sub) >= kMaxViewersPerSubject) {
      return kCodeViewerLimit;
    }
    return {};
  }

  void RefuseHello(const ViewTokenClaims& claims, const std::string& code) {
    if (code != kCodeViewerLimit) RecordAuthFailure(state_, ip_, Steady());
    LogHello(claims.jti, code);
    SendErrorAndClose(*viewer_, code, code == kCodeViewerLimit ? kCloseDenied : kCloseAuth);
  }

  bool Admit() {
    SetSocketTimeouts(fd(), kHandshakeReceiveMs, kSendTimeoutMs);
    std::string head;
    switch (ReadRequestHead(&head)) {
      case HeadResult::Ok:
        break;
      case HeadResult::Slow:
        RecordSlowHandshake();
        return false;
      case HeadResult::Gone:
        return false;
    }
    {
      std::lock_guard<std::mutex> lock(state_.mutex);
      if (!IsAdmitted(state_, ip_, Steady())) {
        RejectHandshake(false);
        return false;
      }
    }
    bool hostOk;
    {
      std::lock_guard<std::mutex> lock(state_.mutex);
      hostOk = HostMatchesListener(state_, FindHeaderValue(head, "Host"));
    }
    const std::string key = FindHeaderValue(head, "Sec-WebSocket-Key");
    if (HasOriginHeader(head) || !hostOk || key.empty() || head.compare(0, 4, "GET ") != 0) {
      RejectHandshake(true);
      return false;
    }
    const std::string response = WsHandshakeResponse(key);
    if (!ArmSend()) {
      RecordSlowHandshake();
      return false;
    }
    {
      std::lock_guard<std::mutex> lock(viewer_->writeLock);
      if (!net::SendAll(fd(), response.data(), response.size())) return false;
    }
    // The first message must be whole by the deadline, however its bytes trickle in.
    std::string text;
    ReadLimits limits;
    limits.steadyMs = state_.clock.steadyMs;
    limits.deadlineMs = deadline_;
    limits.receiveMs = kHandshakeReceiveMs;
    const ReadResult first = WsReadMessage(fd(), buffer_, &text, true, &viewer_->writeLock, limits);
    if (first == ReadResult::Timeout) {
      RecordSlowHandshake();
      return false;
    }
    if (first != ReadResult::Message) {
      RecordAuthFailure(state_, ip_, Steady());
      return false;
    }
    const Json hello = Json::parse(text, nullptr, false);
    const Json& payload = PayloadOf(hello);
    const std::string token = StringMember(payload, "token");
    const std::string role = StringMember(payload, "role");
    int64_t protocol = 0;
    if (auto it = payload.find("protocol"); it != payload.end() && it->is_number_integer() && !it->is_number_unsigned()) {
      protocol = it->get<int64_t>();
    } else if (it != payload.end() && it->is_number_unsigned()) {
      protocol = it->get<uint64_t>() == 2 ? 2 : 0;
    }
    const int64_t now = ServerNowSec(state_);
    ViewTokenClaims claims;
    std::string code;
    if (StringMember(hello, "type") != "hello" || role != "viewer" || protocol != 2) {
      code = kCodeRoleDenied;
    } else {
      code = state_.registry.VerifyViewToken(token, now, false, &claims);
    }
    if (code.empty()) {
      std::lock_guard<std::mutex> lock(state_.mutex);
      code = AdmissionCodeLocked(claims);
    }
    // The answer too must leave by the deadline.
    if (!ArmSend()) {
      RecordSlowHandshake();
      return false;
    }
    if (!code.empty()) {
      RefuseHello(claims, code);
      return false;
    }
    code = state_.registry.VerifyViewToken(token, now, true, &claims);
    if (!code.empty()) {
      RecordAuthFailure(state_, ip_, Steady());
      LogHello(claims.jti, code);
      return false;
    }
    Viewer& v = *viewer_;
    v.subject = claims.sub;
    v.name = claims.name;
    v.shareId = claims.share;
    v.jti = claims.jti;
    v.expSec = claims.exp;
    v.connectedAtMs = state_.clock.wallMs();
    {
      std::lock_guard<std::mutex> lock(v.mutex);
      v.lastMessageAtMs = v.lastSendAtMs = Steady();
    }
    bool stopping;
    {
      // The limit again where the viewer is added: two hellos may both have passed the first look.
      // A listener that began stopping meanwhile would never close a viewer added now.
      std::lock_guard<std::mutex> lock(state_.mutex);
      stopping = state_.stopping;
      if (!stopping) code = AdmissionCodeLocked(claims);
      if (!stopping && code.empty()) {
        v.connId = "rv" + std::to_string(state_.viewerCounter.fetch_add(1) + 1);
        state_.viewers.push_back(viewer_);
      }
    }
    if (stopping) {
      std::lock_guard<std::mutex> lock(v.writeLock);
      if (v.socket >= 0) WsSendClose(v.socket, kCloseDisabled, "remote_access_disabled");
      return false;
    }
    if (!code.empty()) {
      RefuseHello(claims, code);
      return false;
    }
    const Json ok = {{"type", "hello-ok"},
                     {"payload",
                      {{"protocol", 2},
                       {"role", "viewer"},
                       {"scopes", claims.scopes},
                       {"connId", v.connId},
                       {"capabilities", Json::array({"remoteShareSources"})},
                       {"shareId", claims.share}}}};
    SendJson(v, ok);
    LogHello(claims.jti, "ok");
    EmitListenerStatus(state_);
    SetSocketTimeouts(fd(), kSessionReceiveMs, kSendTimeoutMs);
    return true;
  }

  void Loop() {
    Viewer& v = *viewer_;
    const int64_t idleLimitMs = state_.idleLimitMs.load();
    // Frames read so far: a ping (answered by the wire layer) shows the viewer is there as much
    // as a message does.
    uint64_t frames = 0, framesSeen = 0;
    ReadLimits counting;
    counting.frames = &frames;
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(v.mutex);
        if (v.closed) return;
        if (frames != framesSeen) {
          framesSeen = frames;
          v.lastMessageAtMs = Steady();
        }
        if (Steady() - v.lastMessageAtMs > idleLimitMs) return;
      }
      if (ServerNowSec(state_) >= v.expSec + kExpiryGraceSec) return;
      if (std::optional<Json> next = PumpOutbound(state_, v)) {
        Json out;
        if (StringMember(*next, "type") == "source-ended") {
          Json payload = {{"source", StringMember(*next, "source")},
                          {"state", "ended"},
                          {"shareId", v.shareId},
                          {"lastSeq", 0}};
          if (auto last = next->find("lastSeq"); last != next->end() && last->is_number_integer()) {
            payload["lastSeq"] = *last;
          }
          if (auto gap = next->find("gap"); gap != next->end()) payload["gap"] = *gap;
          out = {{"type", "rt.source"}, {"payload", std::move(payload)}};
        } else {
          out = {{"type", "rt.batch"}, {"frames", Json::array({std::move(*next)})}};
        }
        if (!SendJson(v, out)) return;
      }
      std::string text;
      ReadResult r = WsReadMessage(fd(), buffer_, &text, true, &v.writeLock, counting);
      if (r == ReadResult::Closed) return;
      if (r == ReadResult::Timeout) {
        std::lock_guard<std::mutex> lock(v.mutex);
        if (!v.controlQueue.empty() || !v.frameQueue.empty()) {
          const int64_t quiet = Steady() - v.lastSendAtMs;
          if (quiet > kSlowRateAfterMs) v.rate = std::max(1, v.baseRate / 2);
          if (quiet > kSlowCloseAfterMs) v.closed = true;
        }
        continue;
      }
      if (!HandleMessage(text)) return;
    }
  }

  // False when the session must end.
  bool HandleMessage(const std::string& text) {
    Viewer& v = *viewer_;
    const Json message = Json::parse(text, nullptr, false);
    const Json& payload = PayloadOf(message);
    {
      std::lock_guard<std::mutex> lock(v.mutex);
      const int64_t now = Steady();
      v.lastMessageAtMs = now;
      if (!v.windowStarted || now - v.windowStartMs >= 1000) {
        v.windowStarted = true;
        v.windowStartMs = now;
        v.receivedInWindow = 0;
      }
      if (++v.receivedInWindow > kInboundPerWindow) {
        v.receivedInWindow = kInboundPerWindow + 1;  // stays above the limit, never wraps
        return SendError(kCodeRateLimited);
      }
    }
    const std::string type = StringMember(message, "type");
    if (type == "renew") return Renew(payload);
    if (type == "live.unsubscribe") {
      {
        std::lock_guard<std::mutex> lock(v.mutex);
        v.subscribed = false;
        v.controlQueue.clear();
        v.frameQueue.clear();
        v.frameQueueBytes = 0;
      }
      return SendJson(v, Json{{"type", "unsubscribe-ok"}});
    }
    if (type == "live.subscribe") return Subscribe(payload);
    return SendError(kCodeTransportDenied);
  }

  bool SendError(const std::string& code) { return SendJson(*viewer_, Json{{"type", "error"}, {"code", code}}); }

  bool Renew(const Json& payload) {
    Viewer& v = *viewer_;
    ViewTokenClaims claims;
    std::string code = state_.registry.VerifyViewToken(StringMember(payload, "token"), ServerNowSec(state_), false, &claims);
    if (code.empty() && (claims.sub != v.subject || claims.share != v.shareId)) code = kCodeAudience;
    if (code.empty()) {
      std::lock_guard<std::mutex> lock(state_.mutex);
      if (claims.iat < state_.revokedBeforeSec || IsShareRevoked(state_, claims.share) ||
          IsJtiRevoked(state_, claims.jti)) {
        code = kCodeRevoked;
      }
    }
    LogPrintf("[remote] renew ip=%s jti=%s result=%s\n", ip_.c_str(), ShortJti(claims.jti).c_str(),
              code.empty() ? "ok" : code.c_str());
    if (!code.empty()) {
      SendErrorAndClose(v, code, kCloseAuth);
      return false;
    }
    {
      std::lock_guard<std::mutex> lock(v.mutex);
      v.jti = claims.jti;
      v.name = claims.name;
      v.expSec = claims.exp;
    }
    return SendJson(v, Json{{"type", "renew-ok"}, {"payload", {{"scopes", claims.scopes}}}});
  }

  bool Subscribe(const Json& payload) {
    Viewer& v = *viewer_;
    SubscribeArgs args = ParseSubscribeArgs(payload);
    std::string code = args.code;
    if (code.empty()) {
      std::lock_guard<std::recursive_mutex> cache(state_.cacheMutex);
      if (v.shareId.empty()) {
        std::lock_guard<std::mutex> lock(v.mutex);
        if (v.boundSource.boundSource.empty()) {
          for (const auto& [key, entry] : state_.sourceCache) {
            if (entry.ended || (!args.source.empty() && key != args.source)) continue;
            v.boundSource = Subscription{key, key, entry.cacheGeneration, entry.streamDeclaration, false, entry.lastSeq};
            break;
          }
        }
      }
      const std::vector<Subscription> allowed = SubscriptionsOf(state_, v);
      auto nameOf = [](const Subscription& s) { return s.boundSource.empty() ? s.requestedSource : s.boundSource; };
      std::vector<std::pair<std::string, SubscribeSnapshot>> snapshots;
      if (!v.shareId.empty() && allowed.empty()) {
        code = kCodeShareSourcesRequired;
      } else if (!args.source.empty() &&
                 std::none_of(allowed.begin(), allowed.end(), [&](const Subscription& s) {
                   return nameOf(s) == args.source || s.requestedSource == args.source;
                 })) {
        code = kCodeScopeDenied;
      } else {
        for (const Subscription& s : allowed) {
          const std::string name = nameOf(s);
          if (name.empty()) continue;
          if (!args.source.empty() && name != args.source && s.requestedSource != args.source) continue;
          int64_t from = args.fromSeq;
          bool resumed = false;
          if (args.resume.is_object()) {
            auto it = args.resume.find(name);
            resumed = it != args.resume.end();
            if (resumed && !ReadSeqNumber(*it, &from)) {
              code = kCodeSubscribeInvalid;
              break;
            }
          }
          snapshots.emplace_back(s.boundSource, BuildSubscribeSnapshot(state_, s, from, resumed));
        }
      }
      if (code.empty()) {
        std::lock_guard<std::mutex> lock(v.mutex);
        v.baseRate = v.rate = args.rate;
        v.subscribed = true;
        v.lastSendAtMs = Steady();
        v.nextSendAtMs = 0;
        if (!args.source.empty()) {
          if (std::find(v.subscribedSources.begin(), v.subscribedSources.end(), args.source) ==
              v.subscribedSources.end()) {
            v.subscribedSources.push_back(args.source);
          }
          v.allSources = false;
          // The snapshot replaces everything still queued of the source, live frames included:
          // left queued, they would go out a second time after it, behind newer seqs. What was
          // pending to be reported missing is the snapshot's to say as well.
          auto replaced = [&](const QueuedMessage& m) {
            const std::string source = StringMember(*m.message.shared(), "source");
            return source == args.source ||
                   std::any_of(snapshots.begin(), snapshots.end(), [&](const auto& s) { return s.first == source; });
          };
          std::erase_if(v.controlQueue, replaced);
          std::erase_if(v.frameQueue, replaced);
          v.queuedBytes = 0;
          for (const QueuedMessage& m : v.controlQueue) v.queuedBytes += m.size;
          v.frameQueueBytes = 0;
          for (const QueuedMessage& m : v.frameQueue) v.frameQueueBytes += m.size;
          v.lastSeqBySource.erase(args.source);
          for (const auto& [source, snapshot] : snapshots) v.lastSeqBySource.erase(source);
        } else {
          v.allSources = true;
          v.subscribedSources.clear();
          v.controlQueue.clear();
          v.frameQueue.clear();
          v.frameQueueBytes = 0;
          v.lastSeqBySource.clear();
          v.queuedBytes = 0;
        }
        bool full = false;
        for (auto& [source, snapshot] : snapshots) {
          if (snapshot.pendingSkip && !source.empty()) v.lastSeqBySource[source] = snapshot.pendingSkipFrom;
          for (Json& m : snapshot.messages) {
            if (full) break;
            const uint64_t size = CompactSize(m);
            if (v.queuedBytes + size > kSnapshotByteCap) {
              full = true;
              break;
            }
            v.queuedBytes += size;
            v.controlQueue.push_back({std::move(m), size});
          }
        }
      }
    }
    if (!code.empty()) return SendError(code);
    return SendJson(v, Json{{"type", "subscribe-ok"}, {"payload", {{"maxHz", args.rate}, {"fromSeq", args.fromSeq}}}});
  }

  void End() {
    Viewer& v = *viewer_;
    uint64_t bytes;
    {
      std::lock_guard<std::mutex> lock(v.mutex);
      v.closed = true;
      bytes = v.bytesSent;
    }
    CloseSocket();
    {
      std::lock_guard<std::mutex> lock(state_.mutex);
      RemoveFrom(state_.viewers, viewer_.get());
    }
    LogPrintf("[remote] bye ip=%s jti=%s bytes=%llu\n", ip_.c_str(), ShortJti(v.jti).c_str(),
              static_cast<unsigned long long>(bytes));
    EmitListenerStatus(state_);
  }

  State& state_;
  ViewerPtr viewer_;
  std::string ip_;
  std::string buffer_;  // the read buffer, kept across reads
  int64_t deadline_ = 0;
};

void SessionThreadBody(State& state, ViewerPtr viewer, std::string ip, int64_t deadlineMs,
                       std::shared_ptr<std::atomic<bool>> done) {
  try {
    Session(state, std::move(viewer), std::move(ip), deadlineMs).Run();
  } catch (const std::exception& e) {
    LogPrintf("[remote] viewer session failed: %s\n", e.what());
  } catch (...) {
    LogPrintf("[remote] viewer session failed\n");
  }
  done->store(true);
}

void AcceptThread(State& state) {
  int listenFd, wakeFd;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    listenFd = state.listenSocket;
    wakeFd = state.wakeFds[0];
  }
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(state.mutex);
      if (state.stopping) return;
    }
    net::WaitResult wait = net::WaitReadable(listenFd, wakeFd, kAddressRefreshMs);
    if (wait == net::WaitResult::Woken || wait == net::WaitResult::Failed) return;
    if (wait == net::WaitResult::TimedOut) {
      std::vector<LanAddress> fresh = state.addressProvider();
      std::string category = platform::netinfo::GetNetworkCategory();
      bool changed;
      {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (state.stopping) return;
        changed = fresh != state.addresses || category != state.networkCategory;
        state.addresses = std::move(fresh);
        state.networkCategory = std::move(category);
      }
      if (changed) EmitListenerStatus(state);
      continue;
    }
    int fd = net::AcceptConnection(listenFd);
    if (fd < 0) continue;
    // Viewers' requests and the events pushed to them are small and follow one another: Nagle's
    // wait for a delayed ACK would hold each one back.
    net::SetNoDelay(fd);
    const std::string ip = net::PeerIpv4(fd);
    std::vector<std::thread> finished;
    bool refused = false, locked = false;
    {
      std::lock_guard<std::mutex> lock(state.mutex);
      if (state.stopping) {
        net::CloseSocket(fd);
        return;
      }
      // Ended sessions are joined as new ones come, so their threads do not pile up.
      for (auto it = state.viewerThreads.begin(); it != state.viewerThreads.end();) {
        if (it->done->load()) {
          finished.push_back(std::move(it->thread));
          it = state.viewerThreads.erase(it);
        } else {
          ++it;
        }
      }
      // A locked address is turned away before it can hold a slot; one address never holds more
      // than its share of the slots, so others are still admitted while it stalls.
      const int fromAddress = static_cast<int>(std::count_if(
          state.connecting.begin(), state.connecting.end(), [&](const ViewerPtr& v) { return v->ip == ip; }));
      if (!IsAdmitted(state, ip, state.clock.steadyMs())) {
        refused = locked = true;
      } else if (state.pendingHandshakes >= kMaxPendingHandshakes || fromAddress >= kMaxPendingHandshakesPerAddress) {
        refused = true;
      } else {
        auto viewer = std::make_shared<Viewer>();
        viewer->socket = fd;
        viewer->ip = ip;
        auto done = std::make_shared<std::atomic<bool>>(false);
        try {
          const int64_t deadline = state.clock.steadyMs() + kHandshakeDeadlineMs;
          std::thread t(SessionThreadBody, std::ref(state), viewer, ip, deadline, done);
          ++state.pendingHandshakes;
          state.connecting.push_back(viewer);
          state.viewerThreads.push_back({std::move(t), done});
        } catch (...) {
          refused = true;
        }
      }
    }
    if (refused) net::CloseSocket(fd);
    if (locked) LogPrintf("[remote] handshake rejected ip=%s\n", ip.c_str());
    for (std::thread& t : finished) t.join();
  }
}

bool ToSeq(double d, int64_t* out) {
  if (std::isnan(d) || d < 0) return false;
  *out = d >= 9.2e18 ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(d);
  return true;
}

}  // namespace

bool ReadSeqNumber(const Json& value, int64_t* out) {
  if (value.is_number_unsigned()) {
    *out = static_cast<int64_t>(std::min<uint64_t>(value.get<uint64_t>(), std::numeric_limits<int64_t>::max()));
    return true;
  }
  if (value.is_number_integer()) {
    if (value.get<int64_t>() < 0) return false;
    *out = value.get<int64_t>();
    return true;
  }
  if (value.is_number_float()) return ToSeq(value.get<double>(), out);
  return false;
}

SubscribeArgs ParseSubscribeArgs(const Json& payload) {
  SubscribeArgs args;
  auto member = [&](const char* key) -> const Json* {
    auto it = payload.find(key);
    return it == payload.end() ? nullptr : &*it;
  };
  if (const Json* hz = member("maxHz")) {
    if (!hz->is_number()) {
      args.code = kCodeSubscribeInvalid;
      return args;
    }
    // Clamped as a double first: a huge, infinite or NaN value never reaches an integer cast.
    const double d = hz->get<double>();
    args.rate = !(d >= 1) ? 1 : d > kMaxRate ? kMaxRate : static_cast<int32_t>(d);
  }
  const Json* source = member("source");
  const Json* from = member("fromSeq");
  const Json* resume = member("resume");
  if ((source && !source->is_string()) || (from && !from->is_number()) || (resume && !resume->is_object())) {
    args.code = kCodeSubscribeInvalid;
    return args;
  }
  if (source) args.source = source->get<std::string>();
  if (from && !ReadSeqNumber(*from, &args.fromSeq)) args.code = kCodeSubscribeInvalid;
  if (resume) args.resume = *resume;
  return args;
}

std::optional<Json> PumpOutbound(State& state, Viewer& viewer) {
  std::lock_guard<std::mutex> lock(viewer.mutex);
  if (viewer.closed || !viewer.subscribed) return std::nullopt;
  const int64_t now = state.clock.steadyMs();
  if (!viewer.windowStarted || now - viewer.windowStartMs >= 1000) {
    viewer.windowStarted = true;
    viewer.windowStartMs = now;
    viewer.windowBytes = 0;
    viewer.sentInWindow = 0;
    viewer.receivedInWindow = 0;
  }
  if (now < viewer.nextSendAtMs) return std::nullopt;
  const bool control = !viewer.controlQueue.empty();
  std::deque<QueuedMessage>& queue = control ? viewer.controlQueue : viewer.frameQueue;
  if (queue.empty()) return std::nullopt;
  const uint64_t size = CompactSize(queue.front().message);
  if (viewer.windowBytes != 0 && viewer.windowBytes + size > kWindowByteBudget) {
    viewer.nextSendAtMs = viewer.windowStartMs + 1000;
    return std::nullopt;
  }
  viewer.windowBytes += size;
  viewer.bytesSent += size;
  ++viewer.sentInWindow;
  viewer.nextSendAtMs = now + 1000 / std::max(1, viewer.rate);
  viewer.lastSendAtMs = now;
  Json message = std::move(queue.front().message);
  if (!control) viewer.frameQueueBytes -= std::min(viewer.frameQueueBytes, queue.front().size);
  queue.pop_front();
  return message;
}

bool HostMatchesListener(const State& state, const std::string& host) {
  for (const LanAddress& a : state.addresses) {
    if (host == a.ip + ":" + std::to_string(state.boundPort)) return true;
  }
  return false;
}

std::string ShortJti(const std::string& jti) { return jti.substr(0, 8); }

void CloseViewer(Viewer& viewer, uint16_t code, const std::string& reason) {
  {
    std::lock_guard<std::mutex> lock(viewer.mutex);
    viewer.closed = true;
  }
  std::lock_guard<std::mutex> lock(viewer.writeLock);
  if (viewer.socket < 0) return;
  WsSendClose(viewer.socket, code, reason);
  net::ShutdownSocket(viewer.socket);
}

namespace {

void StopListenerLocked(State& state) {
  std::vector<ViewerPtr> viewers, connecting;
  std::thread accept;
  int listenFd, wake[2];
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.stopping = true;
    state.listening = false;
    viewers = std::move(state.viewers);
    state.viewers.clear();
    connecting = state.connecting;
    accept = std::move(state.acceptThread);
    listenFd = std::exchange(state.listenSocket, -1);
    wake[0] = std::exchange(state.wakeFds[0], -1);
    wake[1] = std::exchange(state.wakeFds[1], -1);
    state.boundPort = 0;
  }
  if (wake[1] >= 0) net::WakeUp(wake[1]);
  for (const ViewerPtr& v : viewers) CloseViewer(*v, kCloseDisabled, "remote_access_disabled");
  // Connections still in their handshake are only woken: they end without a viewer.
  for (const ViewerPtr& v : connecting) {
    std::lock_guard<std::mutex> lock(v->writeLock);
    if (v->socket >= 0) net::ShutdownSocket(v->socket);
  }
  if (accept.joinable()) accept.join();
  if (listenFd >= 0) net::CloseSocket(listenFd);
  if (wake[0] >= 0) net::CloseSocket(wake[0]);
  if (wake[1] >= 0) net::CloseSocket(wake[1]);
  std::vector<SessionThread> threads;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    threads = std::move(state.viewerThreads);
    state.viewerThreads.clear();
  }
  for (SessionThread& t : threads) {
    if (t.thread.joinable()) t.thread.join();
  }
}

}  // namespace

void StopListener(State& state) {
  std::lock_guard<std::mutex> lock(state.startStopLock);
  StopListenerLocked(state);
}

std::string StartListener(State& state) {
  std::lock_guard<std::mutex> guard(state.startStopLock);
  StopListenerLocked(state);
  std::vector<LanAddress> fresh = state.addressProvider();
  int32_t port;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    port = state.port < 0 ? 0 : state.port;
  }
  uint16_t bound = 0;
  int fd = port > 65535 ? -1 : net::ListenAnyIpv4(static_cast<uint16_t>(port), kBacklog, &bound);
  int wake[2] = {-1, -1};
  if (fd >= 0 && !net::MakeWakePipe(wake)) {
    net::CloseSocket(fd);
    fd = -1;
  }
  if (fd < 0) {
    {
      std::lock_guard<std::mutex> lock(state.mutex);
      state.enabled = true;
      state.listening = false;
      state.lastError = "E_REMOTE_BIND";
      state.addresses = std::move(fresh);
      state.boundPort = 0;
    }
    LogPrintf("[remote] bind %d failed: E_REMOTE_BIND\n", port);
    return "E_REMOTE_BIND";
  }
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.listenSocket = fd;
    state.wakeFds[0] = wake[0];
    state.wakeFds[1] = wake[1];
    state.boundPort = bound;
    state.listening = true;
    state.lastError.clear();
    state.enabled = true;
    state.addresses = std::move(fresh);
    state.stopping = false;
    state.acceptThread = std::thread(AcceptThread, std::ref(state));
  }
  LogPrintf("[remote] listening 0.0.0.0:%d\n", static_cast<int>(bound));
  return "";
}

int64_t IdleLimitFromTestSetting(const char* seconds) {
  if (!seconds || !*seconds) return kViewerIdleLimitMs;
  const std::string text = seconds;
  const bool valid = text.size() <= 2 && text.find_first_not_of("0123456789") == std::string::npos &&
                     std::stoi(text) >= 1 && std::stoi(text) * 1000 <= kViewerIdleLimitMs;
  if (!valid) {
    LogPrintf("[remote] QVN_REMOTE_TEST_IDLE_SECONDS ignored: only 1 to 60 seconds are taken\n");
    return kViewerIdleLimitMs;
  }
  LogPrintf("[remote] test idle bound %s s\n", text.c_str());
  return std::stoi(text) * 1000;
}

void Start(State& state) {
  state.idleLimitMs = IdleLimitFromTestSetting(std::getenv("QVN_REMOTE_TEST_IDLE_SECONDS"));
  std::string path;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.settingsPath.empty()) state.settingsPath = RemoteSettingsPath();
    path = state.settingsPath;
  }
  const RemoteSettings settings = LoadRemoteSettings(path);
  if (settings.port != 0 && settings.port != kRemotePort) SaveRemoteSettings(path, settings.enabled, kRemotePort);
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.port = kRemotePort;
  }
  if (!settings.enabled) return;
  LogPrintf("[remote] network %s\n", platform::netinfo::GetNetworkCategory().c_str());
  StartListener(state);
  EmitListenerStatus(state);
}

void Shutdown(State& state) {
  StopListener(state);
  std::lock_guard<std::mutex> lock(state.mutex);
  state.listening = false;
}

}  // namespace remote
