#include "app/assets/ota_store.h"

#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

#include "platform/paths.h"

std::string GetOtaRoot() {
  std::string base = platform::LocalAppDataDir();
  if (base.empty()) return {};
  return platform::JoinPath(platform::JoinPath(base, "Quorvane"), "ota");
}

namespace {
std::string UnderOta(const char* name) {
  std::string root = GetOtaRoot();
  return root.empty() ? std::string() : platform::JoinPath(root, name);
}
std::string UnderActive(const char* name) {
  std::string active = GetOtaActiveDir();
  return active.empty() ? std::string() : platform::JoinPath(active, name);
}
}  // namespace

std::string GetOtaStagingPath() { return UnderOta("staging.qvnpack"); }
std::string GetOtaActiveDir() { return UnderOta("active"); }
std::string GetOtaWebPackPath() { return UnderActive("web.pack"); }
std::string GetOtaOverlayPackPath() { return UnderActive("ota.pack"); }
std::string GetOtaMetaPath() { return UnderActive("meta.json"); }

std::string ReadOtaMetaString(const std::string& metaPath, const char* member) {
  if (metaPath.empty()) return {};
  std::ifstream in(metaPath, std::ios::binary);
  if (!in) return {};
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  nlohmann::json meta = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!meta.is_object()) return {};
  auto it = meta.find(member);
  if (it == meta.end() || !it->is_string()) return {};
  return it->get<std::string>();
}

std::string ReadOtaMetaVersion() { return ReadOtaMetaString(GetOtaMetaPath(), "version"); }
std::string ReadOtaMetaKind() { return ReadOtaMetaString(GetOtaMetaPath(), "kind"); }
