#pragma once
// Finding installed vendor telemetry SDKs: the probe of one folder, the ordered search over the
// places vendors install to, the choice of a folder for a launch and the "probeLocalLibraries"
// reply. The host never loads these libraries; it only names the folder to plugin children.
//
// Threads: any (request workers, the bridge connection thread). Nothing is cached: every call
// reads the disk and the registry again. The walk is bounded (three levels, 256 folders a root).
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/registry.h"

class RpcRouteTable;

struct SdkRecord {
  std::string folder;   // as found
  std::string kind;     // "pds", "bmsapi", "both", or "" (not an SDK folder)
  std::string version;  // "" when kind is ""
};

// Where the search looks. The defaults are this machine's; tests give their own.
struct SdkSearchPlaces {
  const platform::registry::Registry* registry = nullptr;  // null: the system registry
  std::string localAppData;                                // "" skips the data-folder subfolders
  std::function<const char*(const char*)> getEnv;          // the install-root variables
  std::vector<std::string> extraInstallRoots;              // after the variables' roots
};
SdkSearchPlaces DefaultSdkSearchPlaces();

SdkRecord ProbeSdkFolder(const std::string& folder);
std::string ReadSdkVersion(const std::string& folder);
std::string FindComServerFolder(const std::string& clsid, const SdkSearchPlaces& places);
std::vector<SdkRecord> DiscoverLocalLibraries(const std::string& configured, const SdkSearchPlaces& places);
std::vector<SdkRecord> DiscoverLocalLibraries(const std::string& configured);
bool SdkKindMatchesInput(const SdkRecord& record, const std::string& inputName);

// The folder a launch or decode uses: the first discovered record that suits the input (every
// record when inputName is empty). Nothing when none does. The caller copies it into its launch
// context (root, kind, version).
std::optional<SdkRecord> SelectLocalLibrary(const nlohmann::json& payload, bool developerMode,
                                            const std::string& inputName, const SdkSearchPlaces& places);

nlohmann::json ProbeLocalLibraries(const nlohmann::json& payload, bool developerMode, const SdkSearchPlaces& places);

struct RealtimeSdkRoot {
  std::string kind;
  std::string version;  // always "unknown"
};
// The looser probe of a realtime start: an absolute root with BMS2API.dll alone will do.
std::optional<RealtimeSdkRoot> ProbeRealtimeSdkRoot(const std::string& root);

namespace plugins {
// "probeLocalLibraries", answered from its own worker thread.
void RegisterSdkRows(RpcRouteTable& routes, std::function<bool()> developerMode);
}  // namespace plugins
