#pragma once
// The process-wide store of the token system: issuer key, installation and instance ids, audience,
// server clock, revocations, seen token ids and the capability tokens armed for plugins.
//
// Every check returns an error code: empty when accepted, else one of the kToken* codes below.
// Checks neither throw nor log. The registry mutex is a leaf: nothing is called out of the
// registry while it is held.
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bridge/tokens/ed25519.h"

inline constexpr const char* kTokenSignature = "E_TOKEN_SIGNATURE";
inline constexpr const char* kTokenAudience = "E_TOKEN_AUDIENCE";
inline constexpr const char* kTokenExpired = "E_TOKEN_EXPIRED";
inline constexpr const char* kTokenRevoked = "E_TOKEN_REVOKED";
inline constexpr const char* kTokenReplay = "E_TOKEN_REPLAY";
inline constexpr const char* kPlatformUnsupported = "E_PLATFORM_UNSUPPORTED";
inline constexpr const char* kRoleDenied = "E_ROLE_DENIED";
inline constexpr const char* kScopeDenied = "E_SCOPE_DENIED";

// The verified claims of a capability token.
struct CapabilityClaims {
  std::string pluginId;
  std::string pkg;
  std::string cap;
  std::string jti;
  std::string renewOf;
  std::vector<std::string> scopes;
  int64_t exp = 0;
  std::string platform;
  bool offline = false;
};

// The verified claims of a remote viewer's "view" token.
struct ViewTokenClaims {
  std::string sub;
  std::string name;  // at most 128 bytes, cut on a UTF-8 character boundary
  std::string share;
  std::string jti;
  std::vector<std::string> scopes;
  std::vector<std::string> addr;
  int64_t iat = 0;
  int64_t exp = 0;
};

// What a caller demands of a capability token.
struct TokenExpectations {
  std::string platform;  // empty = any
  std::string role;      // empty = any; "plugin" needs cap "decode", "source" needs cap "realtime"
  std::string pluginId;
  std::string pkg;
  int64_t nowSeconds = 0;
  bool consume = false;  // record the token's use (replay protection, armed grant marked used)
};

// A token that the page armed for a plugin.
struct ArmedGrant {
  CapabilityClaims claims;
  std::string token;
  std::string audience;      // the registry audience at arming
  int64_t armedAt = 0;       // arming time, replaced by the first launch check's time
  bool active = false;       // a launch has checked this grant
  bool used = false;         // the running plugin has presented the token
  bool consumedBefore = false;
  bool reuseAllowed = false;  // one more presentation after a restart of the plugin
};

struct SeenJti {
  std::string jti;
  int64_t keepUntil = 0;
};

struct PluginLaunchCredentials {
  std::string port;   // decimal bridge port, or empty
  std::string token;  // the plugin's armed token, or empty
};

struct RevocationResult {
  bool applied = false;
  std::string code;
};

// Wall clock in milliseconds since 1970-01-01 UTC.
using WallClockMs = std::function<int64_t()>;
int64_t SystemWallClockMs();

class CapabilityTokenRegistry {
 public:
  // The process-wide registry, built on first use from the issuer key and issuer string of the build.
  static CapabilityTokenRegistry& Instance();

  CapabilityTokenRegistry(const Ed25519PublicKey& issuerKey, std::string issuer, WallClockMs clock = SystemWallClockMs);
  CapabilityTokenRegistry(const CapabilityTokenRegistry&) = delete;
  CapabilityTokenRegistry& operator=(const CapabilityTokenRegistry&) = delete;

  // Installation id and per-run session handle (the instance id); the audience is empty while
  // either is empty.
  void SetInstallation(const std::string& installationId, const std::string& sessionHandle);
  std::string InstallationId() const;
  std::string InstanceId() const;
  std::string Audience() const;
  void SetRpcPort(int32_t port);

  // The token clock: localMs corrected by the offset of the last revocation list that carried the
  // issuer's time, in whole seconds.
  int64_t ServerNowSeconds(int64_t localMs) const;

  std::string VerifyCapToken(const std::string& token, const TokenExpectations& expect,
                             CapabilityClaims* claims = nullptr);
  std::string VerifyViewToken(const std::string& token, int64_t nowSeconds, bool recordJti,
                              ViewTokenClaims* claims = nullptr);

  // Verifies a signed revocation list and replaces the revocation state (and the clock offset) with it.
  RevocationResult ApplyRevocations(const std::string& listJson);

  // Armed grants.
  std::string CheckArmedGrant(const std::string& token, const TokenExpectations& expect,
                              CapabilityClaims* claims = nullptr);
  // The code CheckArmedGrant would give, changing nothing: lets a caller finish its own checks
  // before the grant is consumed by a second, committing CheckArmedGrant.
  std::string PreviewArmedGrant(const std::string& token, const TokenExpectations& expect,
                                CapabilityClaims* claims = nullptr);
  std::string ArmPluginToken(const std::string& pluginId, const std::string& packageSha256,
                             const std::string& token, int64_t nowSeconds);
  void DisarmPlugin(const std::string& pluginId, const std::string& token);
  // Forgets every armed token, allowed package and grant (all plugins stopped).
  void DisarmAllPlugins();
  void ReopenArmedGrant(const std::string& pluginId);
  std::string CheckLaunchToken(const std::string& pluginId, const std::string& packageSha256,
                               const std::string& mode, const std::string& platform, int64_t nowSeconds);
  std::string RecheckSession(const CapabilityClaims& claims, int64_t authTimeSeconds, int64_t nowSeconds);
  PluginLaunchCredentials GetPluginLaunchCredentials(const std::string& pluginId);
  // Whether the first grant armed with exactly this token text is an offline one.
  bool IsArmedTokenOffline(const std::string& token);
  // A copy of the plugin's grant, if one is armed.
  std::optional<ArmedGrant> FindArmedGrant(const std::string& pluginId);

 private:
  std::string CheckArmedGrantLocked(const std::string& token, const TokenExpectations& expect,
                                    CapabilityClaims* claims, bool commit);
  void DropExpiredSeenLocked(int64_t nowSeconds);
  bool IsRevokedLocked(const std::string& jti) const;
  const std::string* ArmedTokenLocked(const std::string& pluginId) const;

  const std::string issuer_;
  const WallClockMs clock_;

  mutable std::mutex mutex_;
  std::vector<ArmedGrant> armedGrants_;
  const Ed25519PublicKey issuerKey_;
  std::string installationId_;
  std::string sessionHandle_;
  std::string audience_;
  int32_t rpcPort_ = 0;
  bool clockSynced_ = false;
  int64_t serverMsAtSync_ = 0;
  int64_t localMsAtSync_ = 0;
  bool revocationApplied_ = false;
  int64_t revocationRev_ = -1;
  std::vector<std::string> revokedJtis_;
  std::vector<SeenJti> seenJtis_;
  std::vector<std::pair<std::string, std::string>> allowedPackages_;  // (pluginId, packageSha256)
  std::vector<std::pair<std::string, std::string>> armedTokens_;      // (pluginId, token text)
};

// "user:<id>/plugin:<pluginId>" -> pluginId; empty when the subject names no plugin.
std::string ParsePluginSubject(const std::string& sub);
