#include "plugins/launch_spec.h"

#include <algorithm>
#include <mutex>

#include "base/constants.h"
#include "base/json.h"
#include "plugins/launch_command.h"
#include "plugins/package_store.h"

using nlohmann::json;

namespace {

const char* const kHintKeys[] = {"executable", "interpreter", "kind", "script", "args", "transport",
                                 "legacySystemInterpreter"};
const char* const kStringHintKeys[] = {"executable", "interpreter", "kind", "script", "transport",
                                       "legacySystemInterpreter"};

LaunchSpec Refuse(std::string* error, const std::string& text) {
  LogLaunchRejected(text);
  if (error) *error = text;
  return LaunchSpec{};
}

bool ArrayHoldsString(const json& array, const std::string& value) {
  if (!array.is_array()) return false;
  return std::any_of(array.begin(), array.end(), [&](const json& e) { return e.is_string() && e == value; });
}

bool GrantsProgram(const json& permissions, const std::string& capability, const std::string& program) {
  if (!permissions.is_object()) return false;
  const auto grants = permissions.find(capability);
  if (grants == permissions.end() || !grants->is_array()) return false;
  for (const json& grant : *grants) {
    if (!grant.is_object()) continue;
    const auto kind = grant.find("kind");
    const auto resources = grant.find("resources");
    if (kind != grant.end() && *kind == "native.execute" && resources != grant.end() &&
        ArrayHoldsString(*resources, program)) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string DefaultTransportFor(const std::string& capability) { return capability == "decode" ? "stdio" : "ws"; }

bool HasLegacyInterpreterKey(const json& value) { return value.is_object() && value.contains("legacySystemInterpreter"); }

LaunchSpec ParseLaunchHint(const std::string& payloadText, std::string* error) {
  if (error) error->clear();
  const json payload = json::parse(payloadText, nullptr, false);
  if (payload.is_discarded()) return Refuse(error, "plugin launch invalid: payload is not valid JSON");
  const bool hasLaunchObject = payload.is_object() && payload.contains("launch") && payload["launch"].is_object();
  if (payload.is_object() && payload.contains("executable") && !hasLaunchObject) return Refuse(error, "path rejected");
  if (!hasLaunchObject) return Refuse(error, "launch missing: decode/start payload has no launch object");

  if (payload.contains("platform") && payload["platform"] != PluginPlatformName()) {
    return Refuse(error, "platform rejected");
  }
  const json& launch = payload["launch"];
  for (auto it = launch.begin(); it != launch.end(); ++it) {
    if (std::find(std::begin(kHintKeys), std::end(kHintKeys), it.key()) == std::end(kHintKeys)) {
      return Refuse(error, "plugin launch invalid: launch hint contains an unsupported field");
    }
  }
  for (const char* key : kStringHintKeys) {
    if (launch.contains(key) && !launch[key].is_string()) {
      return Refuse(error,
                    "plugin launch invalid: executable/interpreter/kind/script/transport/legacy hint must be strings");
    }
  }
  if (launch.contains("args") && !launch["args"].is_array()) return Refuse(error, "argument rejected");
  if (launch.contains("legacySystemInterpreter") && launch["legacySystemInterpreter"] != "python") {
    return Refuse(error, "plugin launch invalid: legacy interpreter must be python");
  }
  PayloadReader reader(launch);
  LaunchSpec plan;
  plan.executable = reader.String("executable");
  plan.interpreter = reader.String("interpreter");
  plan.kind = reader.String("kind");
  plan.script = reader.String("script");
  plan.transport = reader.String("transport");
  plan.legacySystemInterpreter = launch.contains("legacySystemInterpreter");
  if (launch.contains("args")) {
    for (const json& arg : launch["args"]) {
      if (!arg.is_string()) return Refuse(error, "argument rejected");
      plan.args.push_back(arg.get<std::string>());
    }
  }
  return plan;
}

std::string ResolveSignedLaunch(const json& manifest, const std::string& capability, LaunchSpec& out) {
  out = LaunchSpec{};
  if (capability != "decode" && capability != "realtime") return "capability rejected";
  if (!manifest.is_object() || !manifest.contains("capabilities") ||
      !ArrayHoldsString(manifest["capabilities"], capability)) {
    return "capability rejected";
  }
  const bool hasPlatforms = manifest.contains("platforms");
  if (hasPlatforms && !ArrayHoldsString(manifest["platforms"], PluginPlatformName())) return "platform rejected";

  json entry;
  if (manifest.contains("launch")) {
    const json& launch = manifest["launch"];
    const json* forCapability = nullptr;
    if (launch.is_object() && launch.contains(PluginPlatformName())) {
      const json& forPlatform = launch[PluginPlatformName()];
      if (forPlatform.is_object() && forPlatform.contains(capability)) forCapability = &forPlatform[capability];
    }
    if (!forCapability) return "plugin launch invalid: signed launch does not declare this platform/capability";
    if (!forCapability->is_object() || HasLegacyInterpreterKey(*forCapability)) {
      return "plugin launch invalid: signed launch is not an object or contains a legacy override";
    }
    for (auto it = forCapability->begin(); it != forCapability->end(); ++it) {
      if (std::find(std::begin(kHintKeys), std::end(kHintKeys) - 1, it.key()) == std::end(kHintKeys) - 1) {
        return "plugin launch invalid: signed launch contains an unsupported field";
      }
    }
    entry = *forCapability;
  } else {
    const std::string file =
        manifest.contains("entry") && manifest["entry"].is_string() ? manifest["entry"].get<std::string>() : "";
    if (file.size() >= 3 && file.compare(file.size() - 3, 3, ".py") == 0) {
      if (hasPlatforms) {
        return "plugin launch invalid: system Python inference requires a historical manifest without platforms";
      }
      entry = {{"legacySystemInterpreter", "python"}, {"script", file}};
    } else {
      entry = {{"executable", file}};
    }
  }
  std::string error;
  LaunchSpec plan = ParseLaunchHint(DumpCompact(json{{"launch", entry}}), &error);
  if (!error.empty()) return error;
  if (plan.transport.empty()) plan.transport = DefaultTransportFor(capability);

  if (manifest.contains("permissions")) {
    const std::string& program =
        plan.legacySystemInterpreter ? plan.script : (!plan.executable.empty() ? plan.executable : plan.interpreter);
    if (!GrantsProgram(manifest["permissions"], capability, program)) {
      return "launch permission denied: signed native.execute does not grant the selected program";
    }
  }
  out = plan;
  return "";
}

bool LaunchSpecEquals(const LaunchSpec& a, const LaunchSpec& b, const std::string& capability) {
  LaunchSpec left = a, right = b;
  if (left.transport.empty()) left.transport = DefaultTransportFor(capability);
  if (right.transport.empty()) right.transport = DefaultTransportFor(capability);
  return left == right;
}

std::string CheckSignedLaunch(const InstalledPackage& package, const std::string& capability, const LaunchSpec* hint,
                              LaunchSpec& out) {
  std::lock_guard<std::recursive_mutex> lock(PackageStoreMutex());
  std::string result;
  try {
    // Both names come from the stored identity; refuse ones that would leave the plugin folder.
    std::string zipBytes, signatureText;
    if (!IsValidPluginId(package.pluginId) || !IsValidPluginVersion(package.version) ||
        !ReadFileBytes(PackageVersionFile(package.pluginId, package.version, ".zip"), zipBytes, kMaxPackageZipBytes) ||
        !ReadFileBytes(PackageVersionFile(package.pluginId, package.version, ".signature.json"), signatureText,
                       kMaxSignatureFileBytes)) {
      result = "package signature missing";
    } else {
      const json manifest = json::parse(signatureText);  // throws on invalid JSON
      result = VerifySignedManifest(package, zipBytes, manifest);
      if (result.empty()) result = ResolveSignedLaunch(manifest, capability, out);
      if (result.empty() && hint && !LaunchSpecEquals(*hint, out, capability)) result = "signed launch mismatch";
    }
  } catch (const std::exception&) {
    result = "package signature invalid";
  }
  return LogLaunchRejected(result);
}
