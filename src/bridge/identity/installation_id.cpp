#include "bridge/identity/installation_id.h"

#include <sys/stat.h>

#include <mutex>

#include "base/constants.h"
#include "base/strings.h"
#include "base/version.h"
#include "platform/crypto.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/protect.h"

namespace {

constexpr const char kDescription[] = "Quorvane installation";

struct ProcessId {
  std::mutex mutex;
  std::string made;  // the id this process made when the file held none
};
ProcessId& Made() {
  static auto* p = new ProcessId;
  return *p;
}

bool IsValidId(const std::string& s) {
  if (s.size() != 32) return false;
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::string RandomHex16() {
  uint8_t bytes[16];
  if (!platform::RandomBytes(bytes, sizeof bytes)) return {};
  return HexLower(bytes, sizeof bytes);
}

}  // namespace

std::string InstallationIdPath() {
  std::string appData = platform::LocalAppDataDir();
  if (appData.empty()) return {};
  std::string folder = platform::JoinPath(appData, "Quorvane");
  platform::CreateDirectories(folder, 0700);
  chmod(folder.c_str(), 0700);
  return platform::JoinPath(folder, "installation-id.bin");
}

bool SaveInstallationId(const std::string& path, const std::string& id) {
  std::string blob;
  if (!platform::ProtectData(id, kDescription, &blob)) return false;
  return platform::WriteFileAtomic(path, blob, 0600);
}

std::string LoadOrCreateInstallationId() {
  const std::string path = InstallationIdPath();
  std::string blob, plain;
  if (!path.empty() && platform::ReadFile(path, &blob, 1 << 16) && platform::UnprotectData(blob, &plain) &&
      IsValidId(plain)) {
    return plain;
  }
  ProcessId& made = Made();
  std::lock_guard<std::mutex> lock(made.mutex);
  if (made.made.empty()) {
    made.made = RandomHex16();
    if (made.made.empty()) return {};
  }
  if (!path.empty()) SaveInstallationId(path, made.made);
  return made.made;
}

std::string MakeSessionHandle() { return RandomHex16(); }

void ResetInstallationIdForTesting() {
  std::lock_guard<std::mutex> lock(Made().mutex);
  Made().made.clear();
}
