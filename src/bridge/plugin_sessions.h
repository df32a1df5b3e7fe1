#pragma once
// Plugin connections of the bridge: hello, renewal, realtime publishing and pushed tokens, the
// list of authenticated sessions, and the kick of one plugin's connections.
//
// Sessions hold the connection's peer object, never a descriptor number, so a kick or a pushed
// token can only ever reach the connection the session belongs to.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/tokens/capability_token_registry.h"
#include "bridge/ws_peer.h"

// What the realtime hub answers to one publish.
struct PublishResult {
  std::string code;  // empty when accepted
  int64_t seq = 0;
  bool stale = false;  // the publisher's run is not the current one
  nlohmann::json rejectedChannels = nlohmann::json::array();
};

// What plugin sessions need of the plugin registry and the realtime hub. Every hook left empty
// behaves as if there were no plugin registry and the hub refused the publisher.
struct PluginSessionHooks {
  // Generation of the plugin's current run; 0 when it has none.
  std::function<uint64_t(const std::string& pluginId)> getPluginGeneration;
  std::function<bool(const std::string& pluginId)> isPluginProcessAlive;
  // True when the plugin is registered and running; it then reports the needs-online state itself.
  std::function<bool(const std::string& pluginId)> markPluginNeedsOnline;
  std::function<void(const std::string& pluginId, const std::string& state, int64_t pid, int64_t restarts,
                     bool needsOnline)>
      publishPluginStatus;
  std::function<void(const std::string& pluginId, int64_t nowSeconds)> setPluginTokenStamp;
  std::function<PublishResult(const CapabilityClaims& claims, bool verified, const nlohmann::json& payload,
                              uint64_t generation)>
      publish;
};

struct PluginTokenDelivery {
  bool delivered = false;
  std::string code;
};

class PluginSessions : public std::enable_shared_from_this<PluginSessions> {
 public:
  // Token-registry clock in seconds.
  using Clock = std::function<int64_t()>;
  // The steady clock that the hello deadline and the session re-checks are scheduled on.
  using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;

  // Build with std::make_shared: connection handlers share ownership of the session list.
  // An empty clock reads the registry's server clock, an empty steady clock the real one.
  explicit PluginSessions(CapabilityTokenRegistry& registry, PluginSessionHooks hooks = {}, Clock clock = {},
                          SteadyClock steadyClock = {});
  PluginSessions(const PluginSessions&) = delete;
  PluginSessions& operator=(const PluginSessions&) = delete;

  // For the listener: one handler per accepted plugin connection.
  PluginConnectionFactory Factory();
  std::unique_ptr<PluginConnectionHandler> NewConnection(WsPeerPtr peer);

  // Ends every connection with a session of the plugin and waits (about 2 s at most) until
  // their handlers have seen the end.
  void KickPluginSessions(const std::string& pluginId);

  // Pushes a renewed token to the session whose token it renews.
  PluginTokenDelivery DeliverPluginToken(const std::string& token, int64_t nowSeconds, const std::string& pluginId,
                                         const std::string& packageSha256);

  size_t SessionCount() const;

  // Used by the connection handlers.
  struct SessionCopy {
    CapabilityClaims claims;
    int64_t authTimeSeconds = 0;
  };
  void RegisterSession(const WsPeerPtr& peer, const CapabilityClaims& claims, const std::string& role,
                       int64_t authTimeSeconds);
  // False when the peer has no session entry; copy is then unchanged.
  bool RefreshSessionCopy(const WsPeerPtr& peer, SessionCopy& copy) const;
  void ConnectionEnded(const WsPeerPtr& peer);

  CapabilityTokenRegistry& Registry() const { return registry_; }
  const PluginSessionHooks& Hooks() const { return hooks_; }
  int64_t NowSeconds() const { return clock_(); }
  std::chrono::steady_clock::time_point SteadyNow() const { return steadyClock_(); }

 private:
  struct Session {
    WsPeerPtr peer;
    CapabilityClaims claims;
    std::string role;
    int64_t authTimeSeconds = 0;
    bool kicked = false;  // shut down; no token goes to it any more
  };

  CapabilityTokenRegistry& registry_;
  PluginSessionHooks hooks_;
  Clock clock_;
  SteadyClock steadyClock_;

  mutable std::mutex sessionLock_;
  std::vector<Session> sessions_;

  // Connections whose handler has not yet seen the end (what a kick waits for).
  mutable std::mutex connectionLock_;
  std::vector<WsPeerPtr> liveConnections_;
  std::condition_variable connectionEnded_;  // a live connection went
};
