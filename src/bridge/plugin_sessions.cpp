#include "bridge/plugin_sessions.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <thread>
#include <utility>

#include "base/log.h"
#include "base/json.h"
#include "bridge/tokens/plugin_permissions.h"
#include "bridge/tokens/token_format.h"
#include "bridge/ws_limits.h"

using nlohmann::json;

namespace {

// How long a kick waits for the kicked connections' threads to end.
constexpr std::chrono::milliseconds kKickWait{2000};

PluginSessionHooks WithDefaults(PluginSessionHooks h) {
  if (!h.getPluginGeneration) h.getPluginGeneration = [](const std::string&) { return uint64_t{0}; };
  if (!h.isPluginProcessAlive) h.isPluginProcessAlive = [](const std::string&) { return false; };
  if (!h.markPluginNeedsOnline) h.markPluginNeedsOnline = [](const std::string&) { return false; };
  if (!h.publishPluginStatus) {
    h.publishPluginStatus = [](const std::string&, const std::string&, int64_t, int64_t, bool) {};
  }
  if (!h.setPluginTokenStamp) h.setPluginTokenStamp = [](const std::string&, int64_t) {};
  if (!h.publish) {
    // Without a hub every publisher is refused, as the hub refuses one it holds no scope for.
    h.publish = [](const CapabilityClaims&, bool, const json&, uint64_t) {
      PublishResult r;
      r.code = kScopeDenied;
      return r;
    };
  }
  return h;
}

// A member that must be a string when present: false when it has another type.
bool ReadString(const json& object, const char* key, std::string& out) {
  auto it = object.find(key);
  if (it == object.end()) return true;
  if (!it->is_string()) return false;
  out = it->get<std::string>();
  return true;
}

class PluginConnection final : public PluginConnectionHandler {
 public:
  PluginConnection(std::shared_ptr<PluginSessions> sessions, WsPeerPtr peer)
      : sessions_(std::move(sessions)),
        peer_(std::move(peer)),
        // Counted from the upgrade, not from the last byte: dribbling does not buy time.
        nextCheck_(sessions_->SteadyNow() + kWsPluginHelloTimeout) {}
  ~PluginConnection() override { End(); }

  bool OnText(const std::string& text) override {
    try {
      return HandleMessage(text);
    } catch (const std::exception& e) {
      LogPrintf("[ws] plugin message failed: %s\n", e.what());
    } catch (...) {
      LogPrintf("[ws] plugin message failed\n");
    }
    return Refuse(kTokenSignature);
  }

  bool OnCheckDue() override {
    try {
      if (!helloDone_) return Refuse(kTokenSignature);  // no hello in time
      nextCheck_ = sessions_->SteadyNow() + kWsSessionRecheckInterval;
      const int64_t now = sessions_->NowSeconds();
      Refresh();
      const std::string code = sessions_->Registry().RecheckSession(claims_, authTimeSeconds_, now);
      if (code == kTokenExpired) {
        NeedsOnline();
        return true;
      }
      if (!code.empty()) return Refuse(code);
      return true;
    } catch (...) {
      return Refuse(kTokenSignature);
    }
  }

  TimePoint NextCheckTime() const override { return nextCheck_; }
  bool HelloDone() const override { return helloDone_; }

  void OnEnded() override { End(); }

 private:
  bool HandleMessage(const std::string& text) {
    json message;
    if (!tokens::ParseJsonText(text, message) || !message.is_object()) return Refuse(kTokenSignature);
    std::string type;
    if (!ReadString(message, "type", type)) return Refuse(kTokenSignature);
    json payload = json::object();
    if (auto it = message.find("payload"); it != message.end() && it->is_object()) payload = std::move(*it);

    const int64_t now = sessions_->NowSeconds();
    if (!helloDone_) return Hello(type, payload, now);

    Refresh();
    const std::string recheck = sessions_->Registry().RecheckSession(claims_, authTimeSeconds_, now);
    if (recheck == kTokenExpired) {
      NeedsOnline();
    } else if (!recheck.empty()) {
      return Refuse(recheck);
    }

    if (type == "renew") return Renew(payload, now);
    if (type == "rt.publish") return Publish(payload);
    std::string code = CheckMethodPermission(claims_, role_, type);
    if (code.empty()) code = "E_UNKNOWN_METHOD";
    return Reply({{"type", "error"}, {"code", code}});
  }

  bool Hello(const std::string& type, const json& payload, int64_t now) {
    if (type != "hello") return Refuse(kTokenSignature);
    std::string role;
    std::string token;
    if (!ReadString(payload, "role", role) || !ReadString(payload, "token", token)) return Refuse(kTokenSignature);
    if (role != "plugin" && role != "source") return Refuse(kRoleDenied);

    CapabilityTokenRegistry& registry = sessions_->Registry();
    const PluginSessionHooks& hooks = sessions_->Hooks();
    TokenExpectations expect;
    expect.role = role;
    expect.nowSeconds = now;
    expect.consume = true;
    CapabilityClaims claims;
    std::string code = registry.VerifyCapToken(token, expect, &claims);
    if (code == kTokenExpired) {
      // The armed grant's second chance counts only for a plugin that is running; it is looked
      // at first without being used up, so a refused hello leaves it for the next one.
      CapabilityClaims armed;
      if (registry.PreviewArmedGrant(token, expect, &armed).empty() &&
          hooks.getPluginGeneration(armed.pluginId) != 0 && registry.CheckArmedGrant(token, expect, &armed).empty()) {
        claims = std::move(armed);
        code.clear();
      }
    }
    if (!code.empty()) {
      LogPrintf("[ws] plugin hello rejected: %s\n", code.c_str());
      return Refuse(code);
    }

    helloDone_ = true;
    nextCheck_ = sessions_->SteadyNow() + kWsSessionRecheckInterval;
    claims_ = std::move(claims);
    role_ = role;
    authTimeSeconds_ = now;
    generation_ = hooks.getPluginGeneration(claims_.pluginId);
    sessions_->RegisterSession(peer_, claims_, role_, now);
    return Reply({{"type", "hello-ok"}, {"payload", {{"protocol", 2}, {"role", role_}, {"scopes", claims_.scopes}}}});
  }

  bool Renew(const json& payload, int64_t now) {
    std::string token;
    std::string code;
    CapabilityClaims renewed;
    if (!ReadString(payload, "token", token)) {
      code = kTokenSignature;
    } else {
      TokenExpectations expect;
      expect.role = role_;
      expect.nowSeconds = now;
      expect.consume = true;
      code = sessions_->Registry().VerifyCapToken(token, expect, &renewed);
      if (code.empty()) code = CheckRenewal(claims_, renewed);
    }
    if (!code.empty()) {
      LogPrintf("[ws] plugin renew rejected: %s\n", code.c_str());
      return Refuse(code);
    }
    claims_ = std::move(renewed);
    authTimeSeconds_ = now;
    sessions_->RegisterSession(peer_, claims_, role_, now);
    sessions_->Hooks().setPluginTokenStamp(claims_.pluginId, now);
    return Reply({{"type", "renew-ok"}, {"payload", {{"scopes", claims_.scopes}}}});
  }

  bool Publish(const json& payload) {
    const std::string code = CheckMethodPermission(claims_, role_, "rt.publish");
    if (!code.empty()) return Refuse(code);
    const PluginSessionHooks& hooks = sessions_->Hooks();
    const PublishResult result =
        hooks.publish(claims_, hooks.isPluginProcessAlive(claims_.pluginId), payload, generation_);
    if (result.stale) return Refuse("stale");
    if (!result.code.empty()) return Reply({{"type", "error"}, {"code", result.code}});
    json out = {{"seq", result.seq}};
    if (result.rejectedChannels.is_array() && !result.rejectedChannels.empty()) {
      out["rejectedChannels"] = result.rejectedChannels;
    }
    return Reply({{"type", "publish-ok"}, {"payload", std::move(out)}});
  }

  // An expired session stays connected; its plugin is reported once per connection.
  void NeedsOnline() {
    const PluginSessionHooks& hooks = sessions_->Hooks();
    if (!hooks.markPluginNeedsOnline(claims_.pluginId) && !needsOnlineReported_) {
      needsOnlineReported_ = true;
      hooks.publishPluginStatus(claims_.pluginId, "stopped", 0, 0, true);
    }
  }

  // A token pushed from another thread reaches this connection through its session entry.
  void Refresh() {
    PluginSessions::SessionCopy copy{claims_, authTimeSeconds_};
    if (sessions_->RefreshSessionCopy(peer_, copy)) {
      claims_ = std::move(copy.claims);
      authTimeSeconds_ = copy.authTimeSeconds;
    }
  }

  bool Refuse(const std::string& code) {
    peer_->SendClose(code);
    return false;
  }

  // A reply that cannot be sent means the connection is gone.
  bool Reply(const json& message) { return peer_->SendText(DumpCompact(message)); }

  void End() {
    if (ended_) return;
    ended_ = true;
    sessions_->ConnectionEnded(peer_);
  }

  const std::shared_ptr<PluginSessions> sessions_;
  const WsPeerPtr peer_;
  bool helloDone_ = false;
  CapabilityClaims claims_;
  std::string role_;
  int64_t authTimeSeconds_ = 0;
  uint64_t generation_ = 0;
  bool needsOnlineReported_ = false;
  bool ended_ = false;
  TimePoint nextCheck_;
};

}  // namespace

PluginSessions::PluginSessions(CapabilityTokenRegistry& registry, PluginSessionHooks hooks, Clock clock,
                               SteadyClock steadyClock)
    : registry_(registry),
      hooks_(WithDefaults(std::move(hooks))),
      clock_(std::move(clock)),
      steadyClock_(std::move(steadyClock)) {
  if (!clock_) {
    clock_ = [&registry] { return registry.ServerNowSeconds(SystemWallClockMs()); };
  }
  if (!steadyClock_) steadyClock_ = [] { return std::chrono::steady_clock::now(); };
}

PluginConnectionFactory PluginSessions::Factory() {
  std::weak_ptr<PluginSessions> weak = weak_from_this();
  return [weak](WsPeerPtr peer) -> std::unique_ptr<PluginConnectionHandler> {
    auto self = weak.lock();
    if (!self || !peer) return nullptr;
    return self->NewConnection(std::move(peer));
  };
}

std::unique_ptr<PluginConnectionHandler> PluginSessions::NewConnection(WsPeerPtr peer) {
  {
    std::lock_guard<std::mutex> lock(connectionLock_);
    liveConnections_.push_back(peer);
  }
  return std::make_unique<PluginConnection>(shared_from_this(), std::move(peer));
}

void PluginSessions::RegisterSession(const WsPeerPtr& peer, const CapabilityClaims& claims, const std::string& role,
                                     int64_t authTimeSeconds) {
  std::lock_guard<std::mutex> lock(sessionLock_);
  auto it = std::find_if(sessions_.begin(), sessions_.end(), [&](const Session& s) { return s.peer == peer; });
  if (it == sessions_.end()) {
    sessions_.push_back(Session{peer, claims, role, authTimeSeconds, false});
    return;
  }
  it->claims = claims;
  it->role = role;
  it->authTimeSeconds = authTimeSeconds;
}

bool PluginSessions::RefreshSessionCopy(const WsPeerPtr& peer, SessionCopy& copy) const {
  std::lock_guard<std::mutex> lock(sessionLock_);
  auto it = std::find_if(sessions_.begin(), sessions_.end(), [&](const Session& s) { return s.peer == peer; });
  if (it == sessions_.end()) return false;
  copy.claims = it->claims;
  copy.authTimeSeconds = it->authTimeSeconds;
  return true;
}

void PluginSessions::ConnectionEnded(const WsPeerPtr& peer) {
  {
    std::lock_guard<std::mutex> lock(sessionLock_);
    sessions_.erase(std::remove_if(sessions_.begin(), sessions_.end(), [&](const Session& s) { return s.peer == peer; }),
                    sessions_.end());
  }
  std::lock_guard<std::mutex> lock(connectionLock_);
  auto it = std::find(liveConnections_.begin(), liveConnections_.end(), peer);
  if (it != liveConnections_.end()) liveConnections_.erase(it);
  connectionEnded_.notify_all();
}

size_t PluginSessions::SessionCount() const {
  std::lock_guard<std::mutex> lock(sessionLock_);
  return sessions_.size();
}

void PluginSessions::KickPluginSessions(const std::string& pluginId) {
  std::vector<WsPeerPtr> peers;
  {
    std::lock_guard<std::mutex> lock(sessionLock_);
    for (auto& s : sessions_) {
      if (s.claims.pluginId != pluginId) continue;
      s.kicked = true;
      if (std::find(peers.begin(), peers.end(), s.peer) == peers.end()) peers.push_back(s.peer);
    }
  }
  for (const auto& peer : peers) peer->Shutdown();

  // The connection threads close their sockets and drop the sessions themselves.
  std::unique_lock<std::mutex> lock(connectionLock_);
  connectionEnded_.wait_for(lock, kKickWait, [&] {
    return std::none_of(peers.begin(), peers.end(), [&](const WsPeerPtr& p) {
      return std::find(liveConnections_.begin(), liveConnections_.end(), p) != liveConnections_.end();
    });
  });
}

PluginTokenDelivery PluginSessions::DeliverPluginToken(const std::string& token, int64_t nowSeconds,
                                                       const std::string& pluginId,
                                                       const std::string& packageSha256) {
  TokenExpectations expect;
  expect.pluginId = pluginId;
  expect.pkg = packageSha256;
  expect.nowSeconds = nowSeconds;
  expect.consume = false;
  CapabilityClaims claims;
  PluginTokenDelivery out;
  out.code = registry_.VerifyCapToken(token, expect, &claims);
  if (!out.code.empty() || claims.renewOf.empty()) return out;

  WsPeerPtr target;
  {
    std::lock_guard<std::mutex> lock(sessionLock_);
    auto it = std::find_if(sessions_.begin(), sessions_.end(),
                           [&](const Session& s) { return !s.kicked && s.claims.jti == claims.renewOf; });
    if (it == sessions_.end()) return out;
    out.delivered = true;
    if (it->claims.pluginId == claims.pluginId && it->claims.pkg == claims.pkg && it->claims.cap == claims.cap) {
      it->claims = claims;
      it->authTimeSeconds = nowSeconds;
      target = it->peer;
    } else {
      out.code = kTokenAudience;
    }
  }
  if (target) {
    hooks_.setPluginTokenStamp(pluginId, nowSeconds);
    // The peer belongs to that session's connection only; once it has ended the send just fails.
    target->SendText(
        DumpCompact({{"type", "rt.token"}, {"payload", {{"token", token}, {"jti", claims.jti}, {"exp", claims.exp}}}}));
  }
  return out;
}
