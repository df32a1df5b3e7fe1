#include "bridge/tokens/plugin_permissions.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::array<MethodPermission, 10> kMethodPermissions = {{
    {"setAlwaysOnTop", "app", "", false},
    {"isAlwaysOnTop", "app", "", false},
    {"getAlwaysOnTop", "app", "", false},
    {"decodeTelemetryPlugin", "app", "", false},
    {"decodeNativePlugin", "app", "", false},
    {"rt.subscribe", "app", "", false},
    {"rt.unsubscribe", "app", "", false},
    {"rt.publish", "source", "rt.publish", true},
    {"plugin.job.next", "plugin", "decode.job", true},
    {"plugin.job.result", "plugin", "decode.job", true},
}};

}  // namespace

const MethodPermission* FindMethodPermission(std::string_view method) {
  for (const auto& row : kMethodPermissions) {
    if (row.method == method) return &row;
  }
  return nullptr;
}

bool HasPluginScope(const std::vector<std::string>& scopes, const std::string& scope, const std::string& pluginId) {
  const std::string wanted = scope + ":" + pluginId;
  const bool channelForm = scope == "rt.publish";
  return std::any_of(scopes.begin(), scopes.end(), [&](const std::string& s) {
    if (s == wanted) return true;
    // "rt.publish:<pluginId>/<channel>" grants publishing to that plugin as well.
    return channelForm && s.size() > wanted.size() + 1 && s.compare(0, wanted.size(), wanted) == 0 &&
           s[wanted.size()] == '/';
  });
}

std::string CheckRenewal(const CapabilityClaims& session, const CapabilityClaims& renewed) {
  if (renewed.renewOf.empty() || renewed.renewOf != session.jti) return kTokenSignature;
  if (renewed.pluginId != session.pluginId || renewed.pkg != session.pkg || renewed.cap != session.cap) {
    return kTokenAudience;
  }
  return "";
}

std::string CheckMethodPermission(const CapabilityClaims& claims, const std::string& role, const std::string& method) {
  const MethodPermission* row = FindMethodPermission(method);
  if (!row || !row->allowedForPlugins) return kScopeDenied;
  if (role != row->role) return kRoleDenied;
  if (!HasPluginScope(claims.scopes, std::string(row->scope), claims.pluginId)) return kScopeDenied;
  return "";
}
