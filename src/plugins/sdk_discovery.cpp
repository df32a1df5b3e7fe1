#include "plugins/sdk_discovery.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <initializer_list>

#include "base/json.h"
#include "base/log.h"
#include "base/thread.h"
#include "bridge/rpc_routes.h"
#include "platform/paths.h"

namespace reg = platform::registry;
using nlohmann::json;

namespace {

constexpr const char kPiDaeClass[] = "{C56F2FAA-CC2A-11D4-891A-00508B60DCA6}";
constexpr const char kBms2ApiClass[] = "{ADA4F637-C3BC-4081-90C4-BE034E679C99}";
const char* const kDataSubfolders[] = {"BMSAPI", "Bosch/BMSAPI", "Bosch Motorsport/BMSAPI", "Bosch Motorsport/BMS-API",
                                       "PDS", "Cosworth/PDS", "Cosworth Electronics/PDS SDK", "Quorvane/local-decoders"};
const char* const kInstallRootVariables[] = {"ProgramFiles", "ProgramFiles(x86)", "ProgramW6432", "ProgramData"};
const char* const kVendorFolders[] = {"Cosworth", "Cosworth Electronics", "Pi Toolbox", "Pi Data Access Objects",
                                      "PDS", "Bosch", "Bosch Motorsport"};
const char* const kMatchWords[] = {"cosworth", "pi toolbox", "pds", "bosch", "pi data access"};
constexpr int kMaxWalkDepth = 3;
constexpr int kMaxWalkFolders = 256;
constexpr size_t kMaxRegistryValueBytes = 65536;
constexpr size_t kMaxExpandedPath = 32768;

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Exists and is not a folder.
bool FileExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool AllExist(const std::string& place, std::initializer_list<const char*> names) {
  for (const char* n : names) {
    if (!FileExists(platform::JoinPath(place, n))) return false;
  }
  return true;
}

std::string KindOf(bool bms, bool pds) {
  if (bms && pds) return "both";
  if (bms) return "bmsapi";
  if (pds) return "pds";
  return "";
}

std::string ParentFolder(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

const reg::Registry& RegistryOf(const SdkSearchPlaces& places) {
  return places.registry ? *places.registry : reg::SystemRegistry();
}

// A path value: strings only, below 64 KiB; expandable ones get their %VARIABLES% replaced
// (an unknown variable stays as written, as the system does).
std::string ReadRegistryPathValue(const reg::Registry& registry, reg::Hive hive, reg::View view,
                                  const std::string& key, const std::string& name, const SdkSearchPlaces& places) {
  std::optional<reg::Value> v = registry.Read(hive, view, key, name);
  if (!v || v->type == reg::ValueType::Other || v->data.size() >= kMaxRegistryValueBytes) return "";
  if (v->type == reg::ValueType::String) return v->data;
  std::string out;
  const std::string& s = v->data;
  for (size_t i = 0; i < s.size();) {
    size_t end = s[i] == '%' ? s.find('%', i + 1) : std::string::npos;
    if (end == std::string::npos) {
      out += s[i++];
      continue;
    }
    std::string variable = s.substr(i + 1, end - i - 1);
    const char* value = places.getEnv ? places.getEnv(variable.c_str()) : nullptr;
    out += value ? std::string(value) : s.substr(i, end - i + 1);
    i = end + 1;
  }
  return out.size() < kMaxExpandedPath ? out : "";
}

class CandidateList {
 public:
  void Add(const std::string& folder) {
    if (folder.empty() || Seen(folder)) return;
    probed_.push_back(Lower(folder));
    SdkRecord record = ProbeSdkFolder(folder);
    if (record.kind.empty()) return;
    LogPrintf("[plugin] SDK discovered: %s (%s)\n", folder.c_str(), record.kind.c_str());
    records_.push_back(std::move(record));
  }

  // The root, then a breadth-first walk of at most three levels and 256 folders below it.
  void ScanVendorFolder(const std::string& root) {
    if (root.empty() || !IsFolder(root)) return;
    Add(root);
    std::vector<std::string> level = {root};
    int counted = 0;
    for (int depth = 0; depth < kMaxWalkDepth && !level.empty(); ++depth) {
      std::vector<std::string> next;
      for (const std::string& folder : level) {
        for (const std::string& name : platform::ListDirectory(folder)) {
          if (name.empty() || name[0] == '.') continue;
          std::string child = platform::JoinPath(folder, name);
          struct stat st {};
          // lstat: a symbolic link is this walk's reparse point and is not followed.
          if (lstat(child.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
          if (++counted > kMaxWalkFolders) return;
          Add(child);
          next.push_back(child);
        }
      }
      level = std::move(next);
    }
  }

  std::vector<SdkRecord> Take() { return std::move(records_); }

 private:
  bool Seen(const std::string& folder) const {
    std::string lower = Lower(folder);
    for (const std::string& p : probed_) {
      if (p == lower) return true;
    }
    return false;
  }
  std::vector<std::string> probed_;  // lowercased
  std::vector<SdkRecord> records_;
};

}  // namespace

SdkSearchPlaces DefaultSdkSearchPlaces() {
  SdkSearchPlaces places;
  places.localAppData = platform::LocalAppDataDir();
  places.getEnv = [](const char* name) -> const char* { return std::getenv(name); };
  places.extraInstallRoots = {"/opt", "/usr/local"};
  return places;
}

SdkRecord ProbeSdkFolder(const std::string& folder) {
  SdkRecord record;
  record.folder = folder;
  if (!IsFolder(folder)) return record;
  bool bms = false, pds = false;
  for (const std::string& place : {folder, platform::JoinPath(folder, "bin"), platform::JoinPath(folder, "lib")}) {
    if (!bms) bms = AllExist(place, {"BMS2API.dll", "WinDarab.DSP.dll", "zlib64.dll"});
    if (!pds) pds = AllExist(place, {"DAE.dll", "PiDataAccess.dll"});
  }
  record.kind = KindOf(bms, pds);
  if (!record.kind.empty()) record.version = ReadSdkVersion(folder);
  return record;
}

std::string ReadSdkVersion(const std::string& folder) {
  for (const char* name : {"version.txt", "VERSION"}) {
    std::string path = platform::JoinPath(folder, name);
    if (!IsRegularFile(path)) continue;  // never wait on a FIFO planted there
    std::ifstream in(path, std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line)) continue;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (!line.empty()) return line.substr(0, 80);
  }
  return "unknown";
}

std::string FindComServerFolder(const std::string& clsid, const SdkSearchPlaces& places) {
  const reg::Registry& registry = RegistryOf(places);
  for (reg::Hive hive : {reg::Hive::CurrentUser, reg::Hive::LocalMachine}) {
    std::string file = ReadRegistryPathValue(registry, hive, reg::View::Registry64,
                                             "Software\\Classes\\CLSID\\" + clsid + "\\InprocServer32", "", places);
    if (!file.empty() && FileExists(file)) return ParentFolder(file);
  }
  return "";
}

std::vector<SdkRecord> DiscoverLocalLibraries(const std::string& configured, const SdkSearchPlaces& places) {
  CandidateList list;
  if (configured.size() > 2 && configured[0] == '/') list.Add(configured);
  list.Add(FindComServerFolder(kPiDaeClass, places));
  list.Add(FindComServerFolder(kBms2ApiClass, places));
  if (!places.localAppData.empty()) {
    for (const char* sub : kDataSubfolders) list.Add(platform::JoinPath(places.localAppData, sub));
  }
  std::vector<std::string> roots;
  for (const char* variable : kInstallRootVariables) {
    const char* value = places.getEnv ? places.getEnv(variable) : nullptr;
    if (value && *value && std::string(value).size() <= 32767) roots.push_back(value);
  }
  roots.insert(roots.end(), places.extraInstallRoots.begin(), places.extraInstallRoots.end());
  for (const std::string& root : roots) {
    for (const char* vendor : kVendorFolders) list.ScanVendorFolder(platform::JoinPath(root, vendor));
  }
  const reg::Registry& registry = RegistryOf(places);
  for (reg::Hive hive : {reg::Hive::LocalMachine, reg::Hive::CurrentUser}) {
    for (reg::View view : {reg::View::Registry64, reg::View::Registry32}) {
      for (const char* key : {"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
                              "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths"}) {
        for (const std::string& sub : registry.Subkeys(hive, view, key)) {
          if (sub.size() > 256) continue;
          std::string subkey = std::string(key) + "\\" + sub;
          std::string text =
              Lower(ReadRegistryPathValue(registry, hive, view, subkey, "DisplayName", places) + " " + sub);
          bool matches = false;
          for (const char* word : kMatchWords) matches = matches || text.find(word) != std::string::npos;
          if (!matches) continue;
          list.ScanVendorFolder(ReadRegistryPathValue(registry, hive, view, subkey, "InstallLocation", places));
          list.ScanVendorFolder(ReadRegistryPathValue(registry, hive, view, subkey, "Path", places));
        }
      }
    }
  }
  return list.Take();
}

std::vector<SdkRecord> DiscoverLocalLibraries(const std::string& configured) {
  return DiscoverLocalLibraries(configured, DefaultSdkSearchPlaces());
}

bool SdkKindMatchesInput(const SdkRecord& record, const std::string& inputName) {
  size_t dot = inputName.rfind('.');
  std::string ext = dot == std::string::npos ? "" : Lower(inputName.substr(dot + 1));
  if (ext == "pds") return record.kind == "pds" || record.kind == "both";
  if (ext == "bmsbin") return record.kind == "bmsapi" || record.kind == "both";
  return false;
}

std::optional<SdkRecord> SelectLocalLibrary(const json& payload, bool developerMode, const std::string& inputName,
                                            const SdkSearchPlaces& places) {
  PayloadReader r(payload);
  std::string configured = r.String("localLibraryRoot");
  if (configured.empty() && developerMode) configured = r.String("extraDir");
  for (SdkRecord& record : DiscoverLocalLibraries(configured, places)) {
    if (!inputName.empty() && !SdkKindMatchesInput(record, inputName)) continue;
    LogPrintf("[plugin] SDK selected: %s\n", record.folder.c_str());
    return std::move(record);
  }
  return std::nullopt;
}

json ProbeLocalLibraries(const json& payload, bool developerMode, const SdkSearchPlaces& places) {
  std::string configured = developerMode ? PayloadReader(payload).String("extraDir") : std::string();
  json libraries = json::array();
  for (const SdkRecord& record : DiscoverLocalLibraries(configured, places)) {
    libraries.push_back(record.kind + "@" + record.version);
  }
  return {{"ok", true}, {"pluginLaunchOk", true}, {"libraries", std::move(libraries)}};
}

std::optional<RealtimeSdkRoot> ProbeRealtimeSdkRoot(const std::string& root) {
  if (root.empty() || root[0] != '/') return std::nullopt;
  bool bms = false, pds = false;
  for (const std::string& place : {root, platform::JoinPath(root, "bin"), platform::JoinPath(root, "lib")}) {
    if (IsRegularFile(platform::JoinPath(place, "BMS2API.dll"))) bms = true;
    if (IsRegularFile(platform::JoinPath(place, "DAE.dll")) &&
        IsRegularFile(platform::JoinPath(place, "PiDataAccess.dll"))) {
      pds = true;
    }
  }
  if (!bms && !pds) return std::nullopt;
  LogPrintf("[plugin] realtime SDK selected: %s\n", root.c_str());
  return RealtimeSdkRoot{KindOf(bms, pds), "unknown"};
}

namespace plugins {

void RegisterSdkRows(RpcRouteTable& routes, std::function<bool()> developerMode) {
  routes.Register({"probeLocalLibraries"}, [developerMode](const RpcRequest& r) {
    const bool dev = developerMode ? developerMode() : false;
    bool started = base::StartDetachedThread("plugin", [outlet = r.outlet, id = r.id, payload = r.payload, dev] {
      json reply = ProbeLocalLibraries(payload, dev, DefaultSdkSearchPlaces());
      if (outlet) outlet->SendText(MakeRpcReply(id, "data", reply));
    });
    if (!started) r.ReplyError("could not start worker");
  });
}

}  // namespace plugins
