#pragma once
// The plugin package store: one folder per plugin id under the per-user data folder
// (…/Quorvane/plugins/<id>/), holding for each kept version the extracted tree, the zip as
// staged, the file hashes and the signed manifest, and "versions.json" (oldest first, at most
// two). Staging verifies a package against its signed manifest before anything is written; the
// launcher finds a stored version by its hash and re-checks zip and tree before every run.
//
// Threads: the UI connection thread (the request rows) and plugin start/decode threads. Every
// operation that changes or checks the store holds PackageStoreMutex (recursive: staging calls
// the others); FindInstalledPackage takes no lock. Lock order: PluginLifecycleLock before
// PackageStoreMutex before PluginRegistryMutex. Files that name the store's state (versions.json,
// signatures, file hashes, zips) are written to a temporary file and renamed.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "plugins/signed_manifest.h"

class RpcRouteTable;

inline constexpr size_t MaxStoredVersions = 2;
inline constexpr size_t kMaxPackageZipBytes = 64 * 1024 * 1024;
inline constexpr size_t kMaxSignatureFileBytes = 16 * 1024 * 1024;
// The longest "stagePluginPackage" request the page may send: the base64 of the largest zip, a
// signed manifest as large as the store keeps, and room for the other members.
inline constexpr uint64_t kMaxStageRequestBytes =
    (kMaxPackageZipBytes + 2) / 3 * 4 + kMaxSignatureFileBytes + 64 * 1024;
// The modes the store gives extracted files, whatever the umask: the launch programs the
// package's manifest names are runnable, nothing else is. The tamper check compares them.
inline constexpr unsigned kStoredFileMode = 0644;
inline constexpr unsigned kRunnableFileMode = 0755;

std::recursive_mutex& PackageStoreMutex();

// 1-64 of a-z 0-9 '.' '-', not "." or "..".
bool IsValidPluginId(const std::string& id);
// 1-64 of A-Z a-z 0-9 '+' '-' '.' '_', not "." or "..".
bool IsValidPluginVersion(const std::string& version);
// 64 of 0-9 a-f.
bool IsValidPackageHash(const std::string& hash);

// <data folder>/Quorvane/plugins, "" when the data folder is unknown.
std::string PluginsRoot();
std::string PluginPackageDir(const std::string& pluginId);
// PluginPackageDir(pluginId) + "/" + version + suffix (suffix "" names the version folder).
std::string PackageVersionFile(const std::string& pluginId, const std::string& version, const char* suffix);

bool ReadFileBytes(const std::string& path, std::string& out, size_t maxBytes = kMaxPackageZipBytes);
// Creates missing parent folders, then replaces the file (temporary file + rename).
bool WriteFileBytes(const std::string& path, const void* data, size_t length);
bool WriteFileBytes(const std::string& path, const std::string& data);

// Extracts every file of the zip under destination (which must not exist yet or be empty), never
// outside it. Unsafe names, special files and names equal after lower-casing: "path rejected";
// everything else that fails: "package zip invalid". Programs the package's own manifest names
// as its launch for this platform are made runnable.
bool ExtractPackageZip(const std::string& zipBytes, const std::string& destination, PackageFileHashes* hashes,
                       std::string* error);
// {"files": {path: hash}}; false when it could not be written.
bool WriteFilesManifest(const std::string& path, const PackageFileHashes& hashes);
// The valid version strings of versions.json in order; empty when it is missing or unreadable.
std::vector<std::string> ReadVersionsList(const std::string& pluginFolder);
// Every regular file under the folder is listed with its hash and has the mode the store gives
// it (kRunnableFileMode for the programs, relative paths with '/', else kStoredFileMode), and
// every listed file is there. difference, when given, receives the first mismatch found.
bool VerifyPackageTree(const std::string& versionFolder, const PackageFileHashes& expected,
                       const std::set<std::string>& programs, std::string* difference = nullptr);

std::string StorePluginPackage(const std::string& pluginId, const std::string& version,
                               const std::string& packageSha256, const std::string& zipBytes);
bool FindInstalledPackage(const std::string& pluginId, const std::string& packageSha256, InstalledPackage* out);
// "" when the stored zip and tree (contents and modes) are unchanged; otherwise the tree is
// rebuilt from the zip, the difference is logged and the result is "package tampered" (or
// "package zip invalid").
std::string CheckPackageIntact(const InstalledPackage& package);
std::string RemovePluginPackages(const std::string& pluginId);
// The "stagePluginPackage" payload as JSON text, or already parsed; "" on success.
std::string StagePluginPackage(const std::string& payloadText);
std::string StagePluginPackage(const nlohmann::json& payload);

namespace plugins {
// "stagePluginPackage" and "unstagePluginPackage". stopPlugin ends the plugin's run before its
// packages are removed (empty: nothing runs yet).
void RegisterPackageStoreRows(RpcRouteTable& routes, std::function<void(const std::string& pluginId)> stopPlugin);
}  // namespace plugins
