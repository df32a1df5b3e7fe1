#include "plugins/package_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <filesystem>
#include <system_error>

#include "base/constants.h"
#include "base/json.h"
#include "base/log.h"
#include "base/strings.h"
#include "bridge/rpc_routes.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/unique_fd.h"
#include "plugins/launch_command.h"
#include "plugins/package_zip.h"
#include "plugins/sha256.h"

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

bool IsNameOf(const std::string& s, size_t maxLength, bool (*allowed)(char)) {
  if (s.empty() || s.size() > maxLength || s == "." || s == "..") return false;
  return std::all_of(s.begin(), s.end(), allowed);
}

void RemoveTree(const std::string& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
}

void RemoveFile(const std::string& path) {
  std::error_code ec;
  fs::remove(path, ec);
}

// Makes every folder of name's parent below destination. An existing entry must be a real
// folder: extraction never follows a link out of the version folder.
bool MakeParents(const std::string& destination, const std::string& name) {
  for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
    const std::string folder = destination + "/" + name.substr(0, slash);
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return false;
    struct stat st;
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  }
  return true;
}

// The programs the package's own manifest names as its launch on this platform, as relative
// paths with '/' separators: those are the files the launcher may execute, so only they get the
// execute bits.
std::set<std::string> LaunchPrograms(const json& manifest) {
  std::set<std::string> programs;
  auto add = [&](std::string file) {
    if (!IsSafeRelativePath(file)) return;
    std::replace(file.begin(), file.end(), '\\', '/');
    programs.insert(std::move(file));
  };
  if (!manifest.is_object()) return programs;
  const auto launch = manifest.find("launch");
  if (launch == manifest.end()) {
    const auto entry = manifest.find("entry");
    if (entry != manifest.end() && entry->is_string()) {
      const std::string file = entry->get<std::string>();
      if (!(file.size() >= 3 && file.compare(file.size() - 3, 3, ".py") == 0)) add(file);
    }
    return programs;
  }
  if (!launch->is_object()) return programs;
  const auto forPlatform = launch->find(PluginPlatformName());
  if (forPlatform == launch->end() || !forPlatform->is_object()) return programs;
  for (const json& granted : *forPlatform) {
    if (!granted.is_object()) continue;
    for (const char* key : {"executable", "interpreter"}) {
      const auto it = granted.find(key);
      if (it != granted.end() && it->is_string()) add(it->get<std::string>());
    }
  }
  return programs;
}

void MakeProgramsRunnable(const std::string& destination, const std::set<std::string>& programs) {
  for (const std::string& program : programs) {
    const std::string path = destination + "/" + program;
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::chmod(path.c_str(), kRunnableFileMode);
  }
}

std::string StringOf(const json& object, const char* key) {
  if (!object.is_object()) return "";
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : "";
}

const char kVersionsWriteFailed[] = "package versions write failed";

}  // namespace

std::recursive_mutex& PackageStoreMutex() {
  static std::recursive_mutex* mutex = new std::recursive_mutex;  // never destroyed: used until exit
  return *mutex;
}

bool IsValidPluginId(const std::string& id) {
  return IsNameOf(id, 64, [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-'; });
}

bool IsValidPluginVersion(const std::string& version) {
  return IsNameOf(version, 64, [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
           c == '.' || c == '_';
  });
}

bool IsValidPackageHash(const std::string& hash) {
  return hash.size() == 64 &&
         std::all_of(hash.begin(), hash.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string PluginsRoot() {
  const std::string data = platform::LocalAppDataDir();
  if (data.empty()) return "";
  return platform::JoinPath(platform::JoinPath(data, kProductFolderName), "plugins");
}

std::string PluginPackageDir(const std::string& pluginId) {
  const std::string root = PluginsRoot();
  return root.empty() ? "" : platform::JoinPath(root, pluginId);
}

std::string PackageVersionFile(const std::string& pluginId, const std::string& version, const char* suffix) {
  return PluginPackageDir(pluginId) + "/" + version + suffix;
}

bool ReadFileBytes(const std::string& path, std::string& out, size_t maxBytes) {
  return platform::ReadFile(path, &out, maxBytes);
}

bool WriteFileBytes(const std::string& path, const void* data, size_t length) {
  return WriteFileBytes(path, std::string(static_cast<const char*>(data), length));
}

bool WriteFileBytes(const std::string& path, const std::string& data) {
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0 && !platform::CreateDirectories(path.substr(0, slash))) return false;
  return platform::WriteFileAtomic(path, data, 0644);
}

bool ExtractPackageZip(const std::string& zipBytes, const std::string& destination, PackageFileHashes* hashes,
                       std::string* error) {
  auto fail = [&](const char* text) {
    if (error) *error = text;
    return false;
  };
  plugins::PackageZip zip;
  if (!zip.Open(zipBytes)) return fail("package zip invalid");
  if (!platform::CreateDirectories(destination)) return fail("package zip invalid");
  plugins::PackageEntryWalk walk;
  json packageManifest;
  const uint64_t count = zip.EntryCount();
  for (uint64_t i = 0; i < count; ++i) {
    plugins::PackageZipEntry entry;
    if (!zip.Entry(i, entry)) return fail("package zip invalid");
    const auto verdict = walk.Admit(entry);
    if (verdict == plugins::PackageEntryWalk::Verdict::kSkip) continue;
    if (verdict == plugins::PackageEntryWalk::Verdict::kUnsafePath) return fail("path rejected");
    if (verdict != plugins::PackageEntryWalk::Verdict::kTake) return fail("package zip invalid");
    if (!MakeParents(destination, entry.name)) return fail("package zip invalid");
    const std::string path = destination + "/" + entry.name;
    platform::UniqueFd fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kStoredFileMode));
    // The mode is part of what the tamper check compares, so it must not depend on the umask.
    if (!fd.valid() || ::fchmod(fd.get(), kStoredFileMode) != 0) return fail("package zip invalid");
    const bool isManifest = entry.name == "plugin.json";
    std::string manifestText;
    plugins::Sha256 hasher;
    const bool ok = zip.Read(i, entry.size, [&](const char* data, size_t length) {
      hasher.Update(data, length);
      if (isManifest) manifestText.append(data, length);
      return platform::WriteAll(fd.get(), data, length);
    });
    if (!ok || ::close(fd.Release()) != 0) return fail("package zip invalid");
    if (hashes) {
      const auto digest = hasher.Finish();
      (*hashes)[entry.name] = HexLower(digest.data(), digest.size());
    }
    if (isManifest) packageManifest = json::parse(manifestText, nullptr, false);
  }
  MakeProgramsRunnable(destination, LaunchPrograms(packageManifest));
  return true;
}

bool WriteFilesManifest(const std::string& path, const PackageFileHashes& hashes) {
  json files = json::object();
  for (const auto& [name, hash] : hashes) files[name] = hash;
  const std::string text = DumpCompact(json{{"files", files}});
  return WriteFileBytes(path, text.data(), text.size());
}

std::vector<std::string> ReadVersionsList(const std::string& pluginFolder) {
  std::vector<std::string> versions;
  std::string text;
  if (!ReadFileBytes(pluginFolder + "/versions.json", text, 1024 * 1024)) return versions;
  const json list = json::parse(text, nullptr, false);
  if (!list.is_array()) return versions;
  for (const json& v : list) {
    // A version names files and folders that get deleted: one that is not a valid version
    // (say "../..") is never used as a path.
    if (v.is_string() && IsValidPluginVersion(v.get<std::string>())) versions.push_back(v.get<std::string>());
  }
  return versions;
}

bool VerifyPackageTree(const std::string& versionFolder, const PackageFileHashes& expected,
                       const std::set<std::string>& programs, std::string* difference) {
  auto differs = [&](const std::string& what) {
    if (difference) *difference = what;
    return false;
  };
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(versionFolder, ec))) return differs("version folder missing");
  size_t seen = 0;
  fs::recursive_directory_iterator it(versionFolder, ec), end;
  if (ec) return differs("version folder unreadable");
  for (; it != end; it.increment(ec)) {
    if (ec) return differs("version folder unreadable");
    const fs::file_status status = it->symlink_status(ec);
    if (ec) return differs("version folder unreadable");
    if (!fs::is_regular_file(status)) continue;
    std::string relative = fs::relative(it->path(), versionFolder, ec).generic_string();
    if (ec) return differs("version folder unreadable");
    const auto want = expected.find(relative);
    if (want == expected.end()) return differs(relative + " is not in the package");
    std::string content;
    if (!ReadFileBytes(it->path().string(), content, size_t(plugins::kMaxPackageUncompressedBytes))) {
      return differs(relative + " unreadable");
    }
    if (Sha256Hex(content) != want->second) return differs(relative + " content changed");
    struct stat st;
    if (::lstat(it->path().c_str(), &st) != 0) return differs(relative + " unreadable");
    const unsigned mode = st.st_mode & 07777;
    const unsigned wanted = programs.count(relative) ? kRunnableFileMode : kStoredFileMode;
    if (mode != wanted) {
      char text[64];
      std::snprintf(text, sizeof text, " mode %04o instead of %04o", mode, wanted);
      return differs(relative + text);
    }
    ++seen;
  }
  if (ec) return differs("version folder unreadable");
  if (seen != expected.size()) return differs(std::to_string(expected.size() - seen) + " file(s) missing");
  return true;
}

namespace {

// StorePluginPackage with the zip's hash already taken (zipSha256 of zipBytes).
std::string StoreHashedPackage(const std::string& pluginId, const std::string& version,
                               const std::string& packageSha256, const std::string& zipBytes,
                               const std::string& zipSha256) {
  std::lock_guard<std::recursive_mutex> lock(PackageStoreMutex());
  if (!IsValidPluginId(pluginId) || !IsValidPluginVersion(version) || !IsValidPackageHash(packageSha256)) {
    return "package hash mismatch";
  }
  const std::string pluginFolder = PluginPackageDir(pluginId);
  if (zipBytes.empty() || pluginFolder.empty()) return "package missing";
  if (zipSha256 != packageSha256) return "package hash mismatch";

  const std::string versionFolder = PackageVersionFile(pluginId, version, "");
  RemoveTree(versionFolder);
  PackageFileHashes hashes;
  std::string error;
  if (!ExtractPackageZip(zipBytes, versionFolder, &hashes, &error)) {
    RemoveTree(versionFolder);
    return error.empty() ? "package zip invalid" : error;
  }
  if (!WriteFileBytes(PackageVersionFile(pluginId, version, ".zip"), zipBytes)) {
    return "package zip invalid";
  }
  WriteFilesManifest(PackageVersionFile(pluginId, version, ".files.json"), hashes);

  std::vector<std::string> versions = ReadVersionsList(pluginFolder);
  versions.erase(std::remove(versions.begin(), versions.end(), version), versions.end());
  versions.push_back(version);
  while (versions.size() > MaxStoredVersions) {
    const std::string oldest = versions.front();
    versions.erase(versions.begin());
    RemoveTree(PackageVersionFile(pluginId, oldest, ""));
    for (const char* suffix : {".zip", ".files.json", ".signature.json"}) {
      RemoveFile(PackageVersionFile(pluginId, oldest, suffix));
    }
  }
  const std::string list = DumpCompact(json(versions));
  // Without its entry in versions.json the package can never be found again.
  if (!WriteFileBytes(pluginFolder + "/versions.json", list.data(), list.size())) return kVersionsWriteFailed;
  return "";
}

}  // namespace

std::string StorePluginPackage(const std::string& pluginId, const std::string& version,
                               const std::string& packageSha256, const std::string& zipBytes) {
  return StoreHashedPackage(pluginId, version, packageSha256, zipBytes, Sha256Hex(zipBytes));
}

bool FindInstalledPackage(const std::string& pluginId, const std::string& packageSha256, InstalledPackage* out) {
  if (!IsValidPluginId(pluginId) || !IsValidPackageHash(packageSha256)) return false;
  const std::string pluginFolder = PluginPackageDir(pluginId);
  if (pluginFolder.empty()) return false;
  const std::vector<std::string> versions = ReadVersionsList(pluginFolder);
  for (auto it = versions.rbegin(); it != versions.rend(); ++it) {
    std::string zipBytes;
    if (!ReadFileBytes(PackageVersionFile(pluginId, *it, ".zip"), zipBytes)) continue;
    if (Sha256Hex(zipBytes) != packageSha256) continue;
    if (out) *out = InstalledPackage{pluginId, *it, packageSha256, PackageVersionFile(pluginId, *it, "")};
    return true;
  }
  return false;
}

std::string CheckPackageIntact(const InstalledPackage& package) {
  std::lock_guard<std::recursive_mutex> lock(PackageStoreMutex());
  if (!IsValidPluginId(package.pluginId) || !IsValidPluginVersion(package.version)) return "package tampered";
  std::string zipBytes;
  if (!ReadFileBytes(PackageVersionFile(package.pluginId, package.version, ".zip"), zipBytes) ||
      Sha256Hex(zipBytes) != package.packageSha256) {
    return "package tampered";
  }
  PackageFileHashes hashes;
  if (!ReadPackageZip(zipBytes, nullptr, &hashes) || hashes.empty()) return "package zip invalid";
  // The modes the store gives: a program that lost its execute bit fails every start.
  json manifest;
  if (!ReadPackageZip(zipBytes, &manifest, nullptr)) manifest = nullptr;
  std::string difference;
  if (VerifyPackageTree(package.directory, hashes, LaunchPrograms(manifest), &difference)) return "";

  // The launch is refused; the next attempt finds the tree rebuilt from the zip.
  const std::string versionFolder = PackageVersionFile(package.pluginId, package.version, "");
  RemoveTree(versionFolder);
  PackageFileHashes rebuilt;
  const bool repaired = ExtractPackageZip(zipBytes, versionFolder, &rebuilt, nullptr);
  if (repaired) WriteFilesManifest(PackageVersionFile(package.pluginId, package.version, ".files.json"), rebuilt);
  LogPrintf("[plugin] package tampered plugin=%s version=%s: %s; %s\n", package.pluginId.c_str(),
            package.version.c_str(), difference.c_str(),
            repaired ? "repaired from the stored zip" : "repair failed");
  return "package tampered";
}

std::string RemovePluginPackages(const std::string& pluginId) {
  std::lock_guard<std::recursive_mutex> lock(PackageStoreMutex());
  const std::string pluginFolder = PluginPackageDir(pluginId);
  if (!IsValidPluginId(pluginId) || pluginFolder.empty()) return "path rejected";
  std::error_code ec;
  fs::remove_all(pluginFolder, ec);
  return ec ? "package removal failed" : "";
}

std::string StagePluginPackage(const std::string& payloadText) {
  const json payload = json::parse(payloadText, nullptr, false);
  if (payload.is_discarded()) return LogLaunchRejected("package signature invalid");
  return StagePluginPackage(payload);
}

std::string StagePluginPackage(const json& payload) {
  std::lock_guard<std::recursive_mutex> lock(PackageStoreMutex());
  std::string result;
  try {
    const std::string pluginId = StringOf(payload, "pluginId");
    const std::string version = StringOf(payload, "version");
    const std::string packageSha256 = StringOf(payload, "packageSha256");
    // The base64 text is read where the parse left it: tens of MiB are not copied first.
    static const std::string kNoText;
    const auto zipText = payload.is_object() ? payload.find("zipBase64") : payload.end();
    const std::string& zipBase64 =
        zipText != payload.end() && zipText->is_string() ? zipText->get_ref<const std::string&>() : kNoText;
    std::string zipBytes;
    if (!IsValidPluginId(pluginId) || !IsValidPluginVersion(version) || !IsValidPackageHash(packageSha256)) {
      result = "package hash mismatch";
    } else if (!DecodeBase64Loose(zipBase64, zipBytes) || zipBytes.size() > kMaxPackageZipBytes) {
      result = "package zip invalid";
    } else if (!payload.contains("signedManifest")) {
      result = "package signature missing";
    } else {
      const json& manifest = payload["signedManifest"];
      // Hashed once: the signature check and the store both compare this digest.
      const std::string zipSha256 = Sha256Hex(zipBytes);
      result = VerifySignedManifest({pluginId, version, packageSha256, ""}, zipBytes, zipSha256, manifest);
      const json platforms = manifest.contains("platforms") ? manifest["platforms"] : json::array({PluginPlatformName()});
      const bool platformSigned =
          platforms.is_array() && std::find(platforms.begin(), platforms.end(), PluginPlatformName()) != platforms.end();
      if (result.empty() && !platformSigned) result = "platform rejected";
      if (result.empty() && payload.contains("platform") && payload["platform"] != PluginPlatformName()) {
        result = "platform rejected";
      }
      if (result.empty()) {
        InstalledPackage found;
        const bool intact = FindInstalledPackage(pluginId, packageSha256, &found) && found.version == version &&
                            CheckPackageIntact(found).empty();
        if (!intact) result = StoreHashedPackage(pluginId, version, packageSha256, zipBytes, zipSha256);
      }
      if (result.empty()) {
        const std::string text = DumpCompact(manifest);
        if (!WriteFileBytes(PackageVersionFile(pluginId, version, ".signature.json"), text.data(), text.size())) {
          result = "package signature storage failed";
        }
      }
    }
  } catch (const std::exception&) {
    result = "package signature invalid";
  }
  return LogLaunchRejected(result);
}

namespace plugins {

void RegisterPackageStoreRows(RpcRouteTable& routes, std::function<void(const std::string&)> stopPlugin) {
  routes.Register({"stagePluginPackage"}, [](const RpcRequest& r) {
    // The payload is used as the dispatcher parsed it: a 64 MiB package is not written out
    // and parsed again.
    const std::string error = StagePluginPackage(r.payload);
    if (!error.empty()) return r.ReplyError(error);
    r.Reply({{"ok", true}, {"pluginId", StringOf(r.payload, "pluginId")}});
  }, kMaxStageRequestBytes);
  routes.Register({"unstagePluginPackage"}, [stopPlugin](const RpcRequest& r) {
    PayloadReader reader(r.payload);
    const std::string pluginId = reader.String("pluginId");
    if (!reader.ok()) return r.ReplyError(reader.Error());
    if (stopPlugin) stopPlugin(pluginId);
    const std::string error = RemovePluginPackages(pluginId);
    if (!error.empty()) return r.ReplyError(error);
    r.Reply({{"ok", true}, {"pluginId", pluginId}});
  });
}

}  // namespace plugins
