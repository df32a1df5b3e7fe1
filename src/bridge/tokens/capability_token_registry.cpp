#include "bridge/tokens/capability_token_registry.h"

#include <algorithm>
#include <chrono>

#include <nlohmann/json.hpp>

#include "bridge/tokens/plugin_permissions.h"
#include "bridge/tokens/token_format.h"
#include "build_config.h"

using nlohmann::json;
using namespace tokens;

namespace {

constexpr int64_t kClockSkewSeconds = 30;
constexpr int64_t kGraceSeconds = 900;
constexpr size_t kViewNameMaxBytes = 128;

bool ContainsString(const std::vector<std::string>& list, const std::string& s) {
  return std::find(list.begin(), list.end(), s) != list.end();
}

bool IsViewAccountChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
         c == '.' || c == '@' || c == '_';
}

bool IsShareChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

bool IsValidViewSubject(const std::string& sub) {
  static const std::string kPrefix = "user:";
  if (sub.size() < kPrefix.size() + 1 || sub.compare(0, kPrefix.size(), kPrefix) != 0) return false;
  const size_t accountLength = sub.size() - kPrefix.size();
  if (accountLength > 128) return false;
  return std::all_of(sub.begin() + kPrefix.size(), sub.end(), IsViewAccountChar);
}

// Cuts s to at most maxBytes without splitting a UTF-8 sequence, so the name stays valid text.
std::string CutUtf8(const std::string& s, size_t maxBytes) {
  if (s.size() <= maxBytes) return s;
  size_t end = maxBytes;
  while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
  return s.substr(0, end);
}

std::vector<std::string> StringItems(const json& value) {
  std::vector<std::string> out;
  if (!value.is_array()) return out;
  for (const auto& item : value) {
    if (item.is_string()) out.push_back(item.get<std::string>());
  }
  return out;
}

// A token is current when nbf <= now + 30 and now - 30 < exp.
bool InTimeWindow(int64_t nbf, int64_t exp, int64_t now) {
  return nbf <= SaturatingAdd(now, kClockSkewSeconds) && SaturatingAdd(now, -kClockSkewSeconds) < exp;
}

}  // namespace

int64_t SystemWallClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string ParsePluginSubject(const std::string& sub) {
  static const std::string kUser = "user:";
  static const std::string kPlugin = "/plugin:";
  if (sub.compare(0, kUser.size(), kUser) != 0) return "";
  const size_t at = sub.find(kPlugin);
  if (at == std::string::npos || at == 0) return "";
  std::string id = sub.substr(at + kPlugin.size());
  if (id.empty() || id.find('/') != std::string::npos) return "";
  return id;
}

CapabilityTokenRegistry& CapabilityTokenRegistry::Instance() {
  static CapabilityTokenRegistry registry(Ed25519KeyFromHex(QV_TOKEN_ISSUER_PUBLIC_KEY_HEX), QV_TOKEN_ISSUER);
  return registry;
}

CapabilityTokenRegistry::CapabilityTokenRegistry(const Ed25519PublicKey& issuerKey, std::string issuer,
                                                 WallClockMs clock)
    : issuer_(std::move(issuer)), clock_(clock ? std::move(clock) : WallClockMs(SystemWallClockMs)),
      issuerKey_(issuerKey) {}

void CapabilityTokenRegistry::SetInstallation(const std::string& installationId, const std::string& sessionHandle) {
  std::lock_guard<std::mutex> lock(mutex_);
  installationId_ = installationId;
  sessionHandle_ = sessionHandle;
  audience_ = installationId.empty() || sessionHandle.empty()
                  ? std::string()
                  : "qvn-install:" + installationId + "/" + sessionHandle;
}

std::string CapabilityTokenRegistry::InstallationId() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return installationId_;
}

std::string CapabilityTokenRegistry::InstanceId() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sessionHandle_;
}

std::string CapabilityTokenRegistry::Audience() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return audience_;
}

void CapabilityTokenRegistry::SetRpcPort(int32_t port) {
  std::lock_guard<std::mutex> lock(mutex_);
  rpcPort_ = port;
}

int64_t CapabilityTokenRegistry::ServerNowSeconds(int64_t localMs) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const int64_t offset = clockSynced_ ? SaturatingAdd(serverMsAtSync_, -localMsAtSync_) : 0;
  return SaturatingAdd(localMs, offset) / 1000;
}

void CapabilityTokenRegistry::DropExpiredSeenLocked(int64_t nowSeconds) {
  seenJtis_.erase(std::remove_if(seenJtis_.begin(), seenJtis_.end(),
                                 [&](const SeenJti& s) { return s.keepUntil <= nowSeconds; }),
                  seenJtis_.end());
}

bool CapabilityTokenRegistry::IsRevokedLocked(const std::string& jti) const {
  return ContainsString(revokedJtis_, jti);
}

const std::string* CapabilityTokenRegistry::ArmedTokenLocked(const std::string& pluginId) const {
  for (auto it = armedTokens_.rbegin(); it != armedTokens_.rend(); ++it) {
    if (it->first == pluginId) return &it->second;
  }
  return nullptr;
}

std::string CapabilityTokenRegistry::VerifyCapToken(const std::string& token, const TokenExpectations& expect,
                                                    CapabilityClaims* claims) {
  json payload;
  if (!VerifySignedToken(token, issuerKey_, issuer_, payload)) return kTokenSignature;

  std::string audience, installationId;
  bool revocationApplied = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    audience = audience_;
    installationId = installationId_;
    revocationApplied = revocationApplied_;
  }

  CapabilityClaims c;
  if (payload.contains("offline")) {
    if (!payload["offline"].is_boolean()) return kTokenSignature;
    c.offline = payload["offline"].get<bool>();
  }

  const std::string aud = StringMember(payload, "aud");
  if (c.offline) {
    if (installationId.empty() || aud != "qvn-install:" + installationId) return kTokenAudience;
  } else if (audience.empty() || aud != audience) {
    return kTokenAudience;
  }

  c.pluginId = ParsePluginSubject(StringMember(payload, "sub"));
  c.pkg = StringMember(payload, "pkg");
  if (c.pluginId.empty() || !IsLowerHex(c.pkg, 64)) return kTokenAudience;

  if (!expect.pluginId.empty() || !expect.pkg.empty()) {
    if (expect.pluginId != c.pluginId || expect.pkg != c.pkg) return kTokenAudience;
  } else {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto wanted = std::make_pair(c.pluginId, c.pkg);
    if (std::find(allowedPackages_.begin(), allowedPackages_.end(), wanted) == allowedPackages_.end()) {
      return kTokenAudience;
    }
  }

  int64_t nbf = 0;
  if (!ReadInt64Member(payload, "nbf", nbf) || !ReadInt64Member(payload, "exp", c.exp)) return kTokenSignature;
  if (!InTimeWindow(nbf, c.exp, expect.nowSeconds)) return kTokenExpired;

  c.jti = StringMember(payload, "jti");
  if (!IsLowerHex(c.jti, 32)) return kTokenSignature;

  c.cap = StringMember(payload, "cap");
  if (c.cap != "decode" && c.cap != "realtime") return kTokenSignature;

  const bool hasPlatform = payload.contains("platform");
  if (!expect.platform.empty() && hasPlatform &&
      !(payload["platform"].is_string() && payload["platform"].get<std::string>() == expect.platform)) {
    return kPlatformUnsupported;
  }

  if (!expect.role.empty() &&
      !((c.cap == "decode" && expect.role == "plugin") || (c.cap == "realtime" && expect.role == "source"))) {
    return kRoleDenied;
  }

  // Every remaining claim is read before the registry records anything, so a malformed token
  // is refused without burning its id or its grant.
  if (hasPlatform) {
    if (!payload["platform"].is_string()) return kTokenSignature;
    c.platform = payload["platform"].get<std::string>();
  }
  if (payload.contains("renewOf")) {
    if (!payload["renewOf"].is_string()) return kTokenSignature;
    c.renewOf = payload["renewOf"].get<std::string>();
  }
  if (payload.contains("scope")) c.scopes = StringItems(payload["scope"]);

  if (!revocationApplied) return kTokenRevoked;

  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (IsRevokedLocked(c.jti)) return kTokenRevoked;
    DropExpiredSeenLocked(expect.nowSeconds);
    if (expect.consume) {
      if (c.offline) {
        auto grant = std::find_if(armedGrants_.begin(), armedGrants_.end(),
                                  [&](const ArmedGrant& g) { return g.token == token; });
        if (grant == armedGrants_.end()) return kTokenAudience;
        if (grant->used) return kTokenReplay;
        grant->used = true;
        grant->consumedBefore = true;
        grant->reuseAllowed = false;
      } else {
        const bool seen = std::any_of(seenJtis_.begin(), seenJtis_.end(),
                                      [&](const SeenJti& s) { return s.jti == c.jti; });
        if (seen) return kTokenReplay;
        seenJtis_.push_back({c.jti, SaturatingAdd(c.exp, kClockSkewSeconds)});
        for (auto& grant : armedGrants_) {
          if (grant.token == token && grant.active) {
            grant.used = true;
            grant.consumedBefore = true;
            grant.reuseAllowed = false;
          }
        }
      }
    }
  }

  if (claims) *claims = std::move(c);
  return "";
}

std::string CapabilityTokenRegistry::VerifyViewToken(const std::string& token, int64_t nowSeconds, bool recordJti,
                                                     ViewTokenClaims* claims) {
  json payload;
  if (!VerifySignedToken(token, issuerKey_, issuer_, payload)) return kTokenSignature;

  std::string audience;
  bool revocationApplied = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    audience = audience_;
    revocationApplied = revocationApplied_;
  }

  if (StringMember(payload, "cap") != "view") return kTokenSignature;
  if (audience.empty() || StringMember(payload, "aud") != audience) return kTokenAudience;

  ViewTokenClaims c;
  c.sub = StringMember(payload, "sub");
  if (!IsValidViewSubject(c.sub)) return kTokenAudience;

  if (payload.contains("share")) {
    const json& share = payload["share"];
    if (!share.is_string()) return kTokenSignature;
    c.share = share.get<std::string>();
    if (c.share.empty() || c.share.size() > 64 || !std::all_of(c.share.begin(), c.share.end(), IsShareChar)) {
      return kTokenSignature;
    }
  }

  int64_t nbf = 0;
  if (!ReadInt64Member(payload, "nbf", nbf) || !ReadInt64Member(payload, "exp", c.exp) ||
      !ReadInt64Member(payload, "iat", c.iat)) {
    return kTokenSignature;
  }
  if (!InTimeWindow(nbf, c.exp, nowSeconds)) return kTokenExpired;

  c.jti = StringMember(payload, "jti");
  if (!IsLowerHex(c.jti, 32)) return kTokenSignature;

  if (!payload.contains("scope") || !payload["scope"].is_array()) return kScopeDenied;
  c.scopes = StringItems(payload["scope"]);
  if (!ContainsString(c.scopes, "live.subscribe")) return kScopeDenied;

  if (!revocationApplied) return kTokenRevoked;

  // Optional display members of another type are ignored rather than refusing the viewer.
  if (payload.contains("name") && payload["name"].is_string()) {
    c.name = CutUtf8(payload["name"].get<std::string>(), kViewNameMaxBytes);
  }
  if (payload.contains("addr")) c.addr = StringItems(payload["addr"]);

  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (IsRevokedLocked(c.jti)) return kTokenRevoked;
    DropExpiredSeenLocked(nowSeconds);
    const bool seen =
        std::any_of(seenJtis_.begin(), seenJtis_.end(), [&](const SeenJti& s) { return s.jti == c.jti; });
    if (seen) return kTokenReplay;
    if (recordJti) seenJtis_.push_back({c.jti, SaturatingAdd(c.exp, kClockSkewSeconds)});
  }

  if (claims) *claims = std::move(c);
  return "";
}

RevocationResult CapabilityTokenRegistry::ApplyRevocations(const std::string& listJson) {
  const RevocationResult rejected{false, kTokenSignature};
  SignedRevocationList list;
  if (!ParseSignedRevocationList(listJson, issuerKey_, list)) return rejected;

  std::lock_guard<std::mutex> lock(mutex_);
  if (list.rev >= 0) {
    // An older list than the one in force is acknowledged and changes nothing.
    if (revocationApplied_ && list.rev < revocationRev_) return {true, ""};
    revocationRev_ = list.rev;
  }
  revokedJtis_ = std::move(list.jtis);
  revocationApplied_ = true;
  if (list.serverNowMs > 0) {
    serverMsAtSync_ = list.serverNowMs;
    localMsAtSync_ = clock_();
    clockSynced_ = true;
  }
  return {true, ""};
}

std::string CapabilityTokenRegistry::CheckArmedGrantLocked(const std::string& token, const TokenExpectations& expect,
                                                           CapabilityClaims* claims, bool commit) {
  auto grant = std::find_if(armedGrants_.begin(), armedGrants_.end(),
                            [&](const ArmedGrant& g) { return g.token == token && g.active; });
  if (grant == armedGrants_.end()) return kTokenAudience;

  const CapabilityClaims& c = grant->claims;
  if (grant->audience != audience_) return kTokenAudience;
  if (!expect.pluginId.empty() && expect.pluginId != c.pluginId) return kTokenAudience;
  if (!expect.pkg.empty() && expect.pkg != c.pkg) return kTokenAudience;
  const auto pair = std::make_pair(c.pluginId, c.pkg);
  if (std::find(allowedPackages_.begin(), allowedPackages_.end(), pair) == allowedPackages_.end()) {
    return kTokenAudience;
  }

  if (!expect.platform.empty() && !c.platform.empty() && expect.platform != c.platform) return kPlatformUnsupported;
  if (!expect.role.empty() && expect.role != (c.cap == "realtime" ? "source" : "plugin")) return kRoleDenied;
  if (!revocationApplied_ || IsRevokedLocked(c.jti)) return kTokenRevoked;

  const bool withinGrace = c.offline || expect.nowSeconds < SaturatingAdd(grant->armedAt, kGraceSeconds) ||
                           (expect.consume && grant->reuseAllowed);
  if (!withinGrace) {
    // The claims go out with the refusal so the caller can tell the plugin needs the network.
    if (claims) *claims = c;
    return kTokenExpired;
  }
  if (expect.consume) {
    if (!grant->reuseAllowed) return grant->used ? kTokenReplay : kTokenExpired;
    if (grant->used) return kTokenReplay;
    if (commit) {
      grant->used = true;
      grant->consumedBefore = true;
      grant->reuseAllowed = false;
    }
  }
  if (claims) *claims = c;
  return "";
}

std::string CapabilityTokenRegistry::CheckArmedGrant(const std::string& token, const TokenExpectations& expect,
                                                     CapabilityClaims* claims) {
  std::lock_guard<std::mutex> lock(mutex_);
  return CheckArmedGrantLocked(token, expect, claims, true);
}

std::string CapabilityTokenRegistry::PreviewArmedGrant(const std::string& token, const TokenExpectations& expect,
                                                       CapabilityClaims* claims) {
  std::lock_guard<std::mutex> lock(mutex_);
  return CheckArmedGrantLocked(token, expect, claims, false);
}

std::string CapabilityTokenRegistry::ArmPluginToken(const std::string& pluginId, const std::string& packageSha256,
                                                    const std::string& token, int64_t nowSeconds) {
  TokenExpectations expect;
  expect.pluginId = pluginId;
  expect.pkg = packageSha256;
  expect.nowSeconds = nowSeconds;
  CapabilityClaims claims;
  std::string code = VerifyCapToken(token, expect, &claims);
  if (!code.empty()) return code;
  if (!IsArmableTokenText(token)) return kTokenSignature;

  std::lock_guard<std::mutex> lock(mutex_);
  auto upsert = [&](std::vector<std::pair<std::string, std::string>>& list, const std::string& value) {
    auto it = std::find_if(list.begin(), list.end(), [&](const auto& p) { return p.first == pluginId; });
    if (it != list.end()) {
      it->second = value;
    } else {
      list.emplace_back(pluginId, value);
    }
  };
  upsert(allowedPackages_, packageSha256);
  upsert(armedTokens_, token);

  ArmedGrant fresh;
  fresh.claims = claims;
  fresh.token = token;
  fresh.audience = audience_;
  fresh.armedAt = nowSeconds;
  auto old = std::find_if(armedGrants_.begin(), armedGrants_.end(),
                          [&](const ArmedGrant& g) { return g.claims.pluginId == pluginId; });
  if (old == armedGrants_.end()) {
    armedGrants_.push_back(std::move(fresh));
    return "";
  }
  const bool sameGrant = old->claims.pkg == claims.pkg && old->claims.cap == claims.cap;
  const bool sameToken = old->token == token;
  fresh.active = sameGrant && old->active;
  fresh.consumedBefore =
      sameGrant && old->consumedBefore && (sameToken || (!claims.renewOf.empty() && claims.renewOf == old->claims.jti));
  if (sameToken && !claims.offline) {
    fresh.used = old->used;
    fresh.reuseAllowed = old->reuseAllowed;
  }
  *old = std::move(fresh);
  return "";
}

void CapabilityTokenRegistry::DisarmPlugin(const std::string& pluginId, const std::string& token) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!token.empty()) {
    const auto pair = std::make_pair(pluginId, token);
    if (std::find(armedTokens_.begin(), armedTokens_.end(), pair) == armedTokens_.end()) return;
  }
  auto samePlugin = [&](const auto& p) { return p.first == pluginId; };
  armedTokens_.erase(std::remove_if(armedTokens_.begin(), armedTokens_.end(), samePlugin), armedTokens_.end());
  allowedPackages_.erase(std::remove_if(allowedPackages_.begin(), allowedPackages_.end(), samePlugin),
                         allowedPackages_.end());
  armedGrants_.erase(std::remove_if(armedGrants_.begin(), armedGrants_.end(),
                                    [&](const ArmedGrant& g) { return g.claims.pluginId == pluginId; }),
                     armedGrants_.end());
}

void CapabilityTokenRegistry::DisarmAllPlugins() {
  std::lock_guard<std::mutex> lock(mutex_);
  armedTokens_.clear();
  allowedPackages_.clear();
  armedGrants_.clear();
}

void CapabilityTokenRegistry::ReopenArmedGrant(const std::string& pluginId) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string* armed = ArmedTokenLocked(pluginId);
  if (!armed) return;
  const std::string jti = TokenPayloadJti(*armed);
  if (jti.empty()) return;
  for (auto& grant : armedGrants_) {
    if (grant.claims.pluginId == pluginId && grant.token == *armed) {
      grant.reuseAllowed = grant.consumedBefore;
      grant.used = false;
    }
  }
  seenJtis_.erase(
      std::remove_if(seenJtis_.begin(), seenJtis_.end(), [&](const SeenJti& s) { return s.jti == jti; }),
      seenJtis_.end());
}

std::string CapabilityTokenRegistry::CheckLaunchToken(const std::string& pluginId, const std::string& packageSha256,
                                                      const std::string& mode, const std::string& platform,
                                                      int64_t nowSeconds) {
  const PluginLaunchCredentials credentials = GetPluginLaunchCredentials(pluginId);
  if (credentials.port.empty() || credentials.token.empty()) return kTokenAudience;

  const bool decode = mode == "decode";
  TokenExpectations expect;
  expect.platform = platform;
  expect.role = decode ? "plugin" : "source";
  expect.pluginId = pluginId;
  expect.pkg = packageSha256;
  expect.nowSeconds = std::max(nowSeconds, clock_() / 1000);
  CapabilityClaims claims;
  std::string code = VerifyCapToken(credentials.token, expect, &claims);
  if (!code.empty()) return code;
  if (claims.cap != mode) return kRoleDenied;
  if (!HasPluginScope(claims.scopes, decode ? "decode.job" : "rt.publish", pluginId)) return kScopeDenied;

  std::lock_guard<std::mutex> lock(mutex_);
  auto grant = std::find_if(armedGrants_.begin(), armedGrants_.end(), [&](const ArmedGrant& g) {
    return g.claims.pluginId == pluginId && g.token == credentials.token;
  });
  if (grant == armedGrants_.end()) return kTokenAudience;
  if (!grant->active) grant->armedAt = nowSeconds;
  grant->active = true;
  return "";
}

std::string CapabilityTokenRegistry::RecheckSession(const CapabilityClaims& claims, int64_t authTimeSeconds,
                                                    int64_t nowSeconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!revocationApplied_ || IsRevokedLocked(claims.jti)) return kTokenRevoked;
  if (claims.offline || nowSeconds < SaturatingAdd(authTimeSeconds, kGraceSeconds)) return "";
  return kTokenExpired;
}

PluginLaunchCredentials CapabilityTokenRegistry::GetPluginLaunchCredentials(const std::string& pluginId) {
  std::lock_guard<std::mutex> lock(mutex_);
  PluginLaunchCredentials out;
  if (rpcPort_ > 0) out.port = std::to_string(rpcPort_);
  const std::string* armed = ArmedTokenLocked(pluginId);
  if (armed && IsArmableTokenText(*armed)) out.token = *armed;
  return out;
}

bool CapabilityTokenRegistry::IsArmedTokenOffline(const std::string& token) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto grant = std::find_if(armedGrants_.begin(), armedGrants_.end(),
                            [&](const ArmedGrant& g) { return g.token == token; });
  return grant != armedGrants_.end() && grant->claims.offline;
}

std::optional<ArmedGrant> CapabilityTokenRegistry::FindArmedGrant(const std::string& pluginId) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& grant : armedGrants_) {
    if (grant.claims.pluginId == pluginId) return grant;
  }
  return std::nullopt;
}
