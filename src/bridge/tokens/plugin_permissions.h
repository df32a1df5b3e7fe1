#pragma once
// What an authenticated plugin connection may do: the method table, scope and renewal checks.
// These read only their arguments and take no lock.
#include <string>
#include <string_view>
#include <vector>

#include "bridge/tokens/capability_token_registry.h"

struct MethodPermission {
  std::string_view method;
  std::string_view role;   // "app", "source" or "plugin"
  std::string_view scope;  // empty when the method needs no scope
  bool allowedForPlugins;
};

// The row of a plugin-socket method, or nullptr when the method is not in the table.
const MethodPermission* FindMethodPermission(std::string_view method);

// True when scopes grant scope to pluginId: "<scope>:<pluginId>", and for "rt.publish" also
// "rt.publish:<pluginId>/<channel>".
bool HasPluginScope(const std::vector<std::string>& scopes, const std::string& scope, const std::string& pluginId);

// A renewal must name the session's token in renewOf and keep plugin id, package and cap.
std::string CheckRenewal(const CapabilityClaims& session, const CapabilityClaims& renewed);

// "", "E_SCOPE_DENIED" or "E_ROLE_DENIED" for a plugin-socket message of the given method.
std::string CheckMethodPermission(const CapabilityClaims& claims, const std::string& role, const std::string& method);
