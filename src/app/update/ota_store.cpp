#include "app/update/ota_store.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <mutex>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/assets/asset_pack.h"
#include "base/log.h"
#include "base/strings.h"
#include "platform/crypto.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace {

constexpr size_t kMaxMetaBytes = 64 * 1024;
constexpr const char kFinalizingPrefix[] = "finalizing-";
constexpr const char kNewActivePrefix[] = "active.new-";
constexpr const char kOldActivePrefix[] = "active.old-";

std::string UnderOta(const char* name) {
  std::string root = GetOtaRoot();
  return root.empty() ? std::string() : platform::JoinPath(root, name);
}
std::string UnderActive(const char* name) {
  std::string active = GetOtaActiveDir();
  return active.empty() ? std::string() : platform::JoinPath(active, name);
}

std::mutex& StoreMutex() {
  static auto* m = new std::mutex;  // never destroyed: workers may run during exit
  return *m;
}

std::string RandomSuffix() {
  uint8_t bytes[8];
  if (!platform::RandomBytes(bytes, sizeof bytes)) return {};
  return HexLower(bytes, sizeof bytes);
}

bool EqualsIgnoringAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

void RemoveTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

// What an earlier run left when it was killed in the middle of a finalise.
void RemoveLeftovers(const std::string& root) {
  for (const std::string& name : platform::ListDirectory(root)) {
    if (name.rfind(kFinalizingPrefix, 0) == 0 || name.rfind(kNewActivePrefix, 0) == 0 ||
        name.rfind(kOldActivePrefix, 0) == 0) {
      RemoveTree(platform::JoinPath(root, name));
    }
  }
}

// Puts the prepared folder in the active one's place in one step. renameat2 with
// RENAME_EXCHANGE swaps the two folders atomically; where the file system cannot, the old
// folder is moved aside first (a crash in that short gap leaves the built-in pack in use).
bool SwapInActive(const std::string& prepared, const std::string& active, const std::string& root, int* err) {
  struct stat st {};
  if (lstat(active.c_str(), &st) != 0) {
    if (rename(prepared.c_str(), active.c_str()) == 0) return true;
    *err = errno;
    return false;
  }
  if (renameat2(AT_FDCWD, prepared.c_str(), AT_FDCWD, active.c_str(), RENAME_EXCHANGE) == 0) {
    RemoveTree(prepared);  // now the old active folder
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    *err = errno;
    return false;
  }
  std::string aside = platform::JoinPath(root, std::string(kOldActivePrefix) + RandomSuffix());
  if (rename(active.c_str(), aside.c_str()) != 0) {
    *err = errno;
    return false;
  }
  if (rename(prepared.c_str(), active.c_str()) != 0) {
    *err = errno;
    rename(aside.c_str(), active.c_str());
    return false;
  }
  RemoveTree(aside);
  return true;
}

// The file parses as the asset loader parses a pack of this kind; a full pack replaces every
// page file, so it must also hold the start page.
bool IsUsablePack(const std::string& path, bool overlay) {
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, bytes)) return false;
  AssetPack probe{AssetPackSources{}};
  if (overlay) return probe.ParseOverlay(bytes.data(), bytes.size());
  size_t size = 0;
  std::string mime;
  return probe.Parse(bytes.data(), bytes.size()) && probe.Find("index.html", size, mime) != nullptr;
}

FinalizeResult Fail(const std::string& error, bool log) {
  if (log) LogPrintf("[ota] Finalize FAILED: %s\n", error.c_str());
  return {false, error};
}

}  // namespace

std::string GetOtaRoot() {
  std::string base = platform::LocalAppDataDir();
  if (base.empty()) return {};
  return platform::JoinPath(platform::JoinPath(base, "Quorvane"), "ota");
}

std::string OtaRootUnresolvedText() {
  return std::string("could not resolve the data folder (") + platform::kLocalAppDataRule +
         "): neither is set to an absolute path";
}

std::string GetOtaStagingPath() { return UnderOta("staging.qvnpack"); }
std::string GetOtaActiveDir() { return UnderOta("active"); }
std::string GetOtaWebPackPath() { return UnderActive("web.pack"); }
std::string GetOtaOverlayPackPath() { return UnderActive("ota.pack"); }
std::string GetOtaMetaPath() { return UnderActive("meta.json"); }

std::string ReadOtaMetaString(const std::string& metaPath, const char* member) {
  if (metaPath.empty()) return {};
  std::string text;
  if (!platform::ReadFile(metaPath, &text, kMaxMetaBytes)) return {};
  nlohmann::json meta = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!meta.is_object()) return {};
  auto it = meta.find(member);
  if (it == meta.end() || !it->is_string()) return {};
  return it->get<std::string>();
}

std::string ReadOtaMetaVersion() { return ReadOtaMetaString(GetOtaMetaPath(), "version"); }
std::string ReadOtaMetaKind() { return ReadOtaMetaString(GetOtaMetaPath(), "kind"); }

std::string HashFileSha256(const std::string& path) {
  uint8_t digest[32];
  if (path.empty() || !platform::Sha256File(path, digest)) return {};
  return HexLower(digest, sizeof digest);
}

void CreateDirectoryTree(const std::string& path) {
  if (!path.empty()) platform::CreateDirectories(path, 0700);
}

FinalizeResult FinalizeOtaFile(const std::string& file, const std::string& expectedSha256,
                               const std::string& version, const std::string& kind) {
  std::string canonical;
  if (EqualsIgnoringAsciiCase(kind, "full")) {
    canonical = "full";
  } else if (EqualsIgnoringAsciiCase(kind, "overlay")) {
    canonical = "overlay";
  } else {
    return Fail("unsupported OTA kind: " + kind, false);
  }
  const std::string root = GetOtaRoot();
  const std::string active = GetOtaActiveDir();
  if (file.empty() || root.empty() || active.empty()) return Fail(OtaRootUnresolvedText(), false);

  std::lock_guard<std::mutex> lock(StoreMutex());
  CreateDirectoryTree(root);
  RemoveLeftovers(root);
  // From here on no other writer of the file's name can change what is hashed and moved.
  const std::string suffix = RandomSuffix();
  const std::string mine = platform::JoinPath(root, std::string(kFinalizingPrefix) + suffix);
  std::string actual;
  if (!suffix.empty() && rename(file.c_str(), mine.c_str()) == 0) actual = HashFileSha256(mine);
  if (actual.empty()) {
    unlink(mine.c_str());
    unlink(file.c_str());
    return Fail("failed to hash staged file (missing or unreadable)", false);
  }
  if (!EqualsIgnoringAsciiCase(actual, expectedSha256)) {
    unlink(mine.c_str());
    return Fail("sha256 mismatch: expected " + expectedSha256 + " got " + actual, true);
  }
  // A pack the loader cannot use would still name its version in meta.json, and every later
  // check would take that version as installed.
  if (!IsUsablePack(mine, canonical == "overlay")) {
    unlink(mine.c_str());
    return Fail("staged file is not a usable " + canonical + " pack", true);
  }

  // The new active folder is built beside the old one and swapped in whole: the old pack goes
  // away only once the new one is in place, and meta.json always describes the pack beside it.
  const std::string prepared = platform::JoinPath(root, std::string(kNewActivePrefix) + suffix);
  const std::string target = platform::JoinPath(prepared, canonical == "overlay" ? "ota.pack" : "web.pack");
  if (!platform::CreateDirectory(prepared, 0700) || rename(mine.c_str(), target.c_str()) != 0) {
    int err = errno;
    unlink(mine.c_str());
    RemoveTree(prepared);
    return Fail("MoveFileExW failed, code=" + std::to_string(err), true);
  }
  nlohmann::json meta = {{"version", version}, {"sha256", actual}, {"kind", canonical}};
  std::string metaText = meta.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  if (!platform::WriteFileAtomic(platform::JoinPath(prepared, "meta.json"), metaText, 0600)) {
    RemoveTree(prepared);
    return Fail("failed to write meta.json", true);
  }
  int err = 0;
  if (!SwapInActive(prepared, active, root, &err)) {
    RemoveTree(prepared);
    return Fail("MoveFileExW failed, code=" + std::to_string(err), true);
  }
  LogPrintf("[ota] Finalize OK: version=%s kind=%s sha256=%s\n", version.c_str(), canonical.c_str(), actual.c_str());
  return {true, ""};
}

FinalizeResult FinalizeOtaUpdate(const std::string& expectedSha256, const std::string& version,
                                 const std::string& kind) {
  return FinalizeOtaFile(GetOtaStagingPath(), expectedSha256, version, kind);
}

void ClearOtaUpdate() {
  const std::string root = GetOtaRoot();
  if (root.empty()) return;
  std::lock_guard<std::mutex> lock(StoreMutex());
  unlink(GetOtaWebPackPath().c_str());
  unlink(GetOtaOverlayPackPath().c_str());
  unlink(GetOtaMetaPath().c_str());
  rmdir(GetOtaActiveDir().c_str());
  unlink(GetOtaStagingPath().c_str());
  rmdir(root.c_str());
  LogPrintf("[ota] Clear done\n");
}
