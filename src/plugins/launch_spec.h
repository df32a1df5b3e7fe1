#pragma once
// Launch specifications: the launch record a plugin run works from, the page's launch hint, the
// launch the signed manifest grants for a capability (historical manifests that only name an
// "entry" included), and the pre-start check tying a stored package, its signature and a launch
// together. The platform name in hints and manifests is PluginPlatformName().
//
// Threads: any. All functions are pure except CheckSignedLaunch, which reads the store under
// PackageStoreMutex (package_store.h) and logs what it refuses.
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "plugins/signed_manifest.h"

struct LaunchSpec {
  std::string executable;   // relative path inside the package; empty for an interpreter launch
  std::string interpreter;  // relative path inside the package
  std::string kind;         // "python" is the only interpreter kind that is started
  std::string script;       // relative path given to the interpreter
  std::vector<std::string> args;
  std::string transport;  // "stdio" or "ws"; empty: DefaultTransportFor(capability)
  bool legacySystemInterpreter = false;  // run script with the Python found on the machine

  bool operator==(const LaunchSpec&) const = default;
};

// What the page chose for one run; the run's record keeps it and the child gets it in its environment.
struct PluginRunInputs {
  std::string gt7Host;
  std::string bmsTelemetryUrl;
  std::string localLibraryRoot;
  std::string localLibraryKind;
  std::string localLibraryVersion;
  std::string pluginSettings = "{}";
};

// What a plugin start or a decode works from.
struct PluginLaunchContext {
  std::string pluginId;
  std::string packageSha256;
  std::string capability;  // "decode" or "realtime"
  LaunchSpec launch;
  PluginRunInputs inputs;
};

// "stdio" for "decode", "ws" for anything else.
std::string DefaultTransportFor(const std::string& capability);

// The page's "launch" object from a start or decode payload (JSON text). On failure *error is
// set (and logged) and the result is to be ignored.
LaunchSpec ParseLaunchHint(const std::string& payloadText, std::string* error);

// The launch the signed manifest grants for capability; "" or the refusal text.
std::string ResolveSignedLaunch(const nlohmann::json& signedManifest, const std::string& capability, LaunchSpec& out);

// Field by field, with an empty transport read as the capability's default on both sides.
bool LaunchSpecEquals(const LaunchSpec& a, const LaunchSpec& b, const std::string& capability);

// Verifies the stored zip against its stored signed manifest, resolves the signed launch and,
// when hint is given, requires it to be the same launch. Holds PackageStoreMutex; logs refusals.
std::string CheckSignedLaunch(const InstalledPackage& package, const std::string& capability, const LaunchSpec* hint,
                              LaunchSpec& out);

// The value is an object holding "legacySystemInterpreter".
bool HasLegacyInterpreterKey(const nlohmann::json& value);
