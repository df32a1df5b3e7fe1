#include "app/update/ota_check.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdlib>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/assets/asset_pack.h"
#include "app/update/ota_store.h"
#include "base/json.h"
#include "base/log.h"
#include "base/strings.h"
#include "base/thread.h"
#include "base/version.h"
#include "bridge/identity/installation_id.h"
#include "platform/crypto.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/unique_fd.h"

using nlohmann::json;

namespace {

constexpr const char kApiFolder[] = "/api/v1/win/";
constexpr const char kDownloadPrefix[] = "download-";

bool IsAsciiAlnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

bool StartsWithIgnoringCase(const std::string& s, const char* prefix) {
  for (size_t i = 0; prefix[i]; ++i) {
    if (i >= s.size()) return false;
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

bool IsSendableInstallId(const std::string& installId) {
  if (installId.size() < 16 || installId.size() > 128) return false;
  for (char c : installId) {
    if (!IsAsciiAlnum(c) && c != '-' && c != '_') return false;
  }
  return true;
}

// <base>/api/v1/win/<endpoint>?native=<v>[&<name>=<value>...][&installId=<id>], every value
// percent-encoded.
std::string ApiUrl(const std::string& baseUrl, const char* endpoint, const std::string& nativeVersion,
                   const std::vector<std::pair<const char*, std::string>>& query, const std::string& installId) {
  std::string url = platform::ResolveUrl(baseUrl, std::string(kApiFolder) + endpoint);
  url = platform::AppendQueryParameter(url, "native", nativeVersion);
  for (const auto& [name, value] : query) url = platform::AppendQueryParameter(url, name, value);
  if (IsSendableInstallId(installId)) url = platform::AppendQueryParameter(url, "installId", installId);
  return url;
}

// One request with the check's log lines around it.
platform::HttpResult OtaHttp(const std::string& url, platform::HttpRequestOptions options) {
  LogPrintf("[ota-native] HTTP %s %s\n", options.verb.c_str(), url.c_str());
  size_t bytes = 0;
  if (options.sink) {
    auto inner = options.sink;
    options.sink = [inner, &bytes](const uint8_t* data, size_t length) {
      bytes += length;
      return inner(data, length);
    };
  }
  platform::HttpResult result = platform::HttpRequest(url, options);
  if (result.status != 0) LogPrintf("[ota-native] HTTP response status=%lu\n", static_cast<unsigned long>(result.status));
  if (!options.sink) bytes = result.body.size();
  if (result.error.empty()) LogPrintf("[ota-native] HTTP complete bytes=%zu\n", bytes);
  return result;
}

std::string BodyText(const platform::HttpResult& r) { return std::string(r.body.begin(), r.body.end()); }

// A download file left by a check that was killed; only one check runs at a time.
void RemoveStaleDownloads(const std::string& root) {
  for (const std::string& name : platform::ListDirectory(root)) {
    if (name.rfind(kDownloadPrefix, 0) == 0) unlink(platform::JoinPath(root, name).c_str());
  }
}

void RunPass(const OtaServerConfig& config, const std::function<void()>& onApplied) {
  const std::string nativeVersion = GetExeProductVersion();
  const std::string installId = LoadOrCreateInstallationId();
  // The two JSON answers are small: bounded in size and time. The pack gets its own limits below.
  platform::HttpRequestOptions plain;
  plain.caFile = config.caFile;
  plain.extraCaFile = config.extraCaFile;
  plain.maxBodyBytes = kMaxJsonAnswerBytes;
  plain.deadlineMs = config.jsonDeadlineMs;

  platform::HttpResult manifest = OtaHttp(MakeManifestUrl(config.baseUrl, nativeVersion, installId), plain);
  if (!CheckHttpResult(manifest, "manifest")) return;
  const std::string latest = json::parse(BodyText(manifest)).at("version").get<std::string>();

  std::string current = ReadOtaMetaVersion();
  if (current.empty()) current = nativeVersion;
  LogPrintf("[ota-native] version current=%s (base=%s) latest=%s (base=%s)\n", current.c_str(),
            StripBuildDateSuffix(current).c_str(), latest.c_str(), StripBuildDateSuffix(latest).c_str());
  if (!IsVersionNewer(latest, current)) {
    LogPrintf("[ota-native] up to date (same or older release base)\n");
    return;
  }

  platform::HttpResult descriptorReply =
      OtaHttp(ApiUrl(config.baseUrl, "download", nativeVersion, {{"version", latest}}, installId), plain);
  if (!CheckHttpResult(descriptorReply, "descriptor")) return;
  json descriptor = json::parse(BodyText(descriptorReply));
  const std::string downloadPath = descriptor.at("downloadPath").get<std::string>();
  const std::string token = descriptor.at("token").get<std::string>();
  const std::string sha256 = descriptor.at("sha256").get<std::string>();
  const std::string version = descriptor.at("version").get<std::string>();
  const std::string kind = descriptor.at("kind").get<std::string>();

  const std::string url = MakeDownloadUrl(downloadPath, config.baseUrl);
  // A token in a header line would let the server inject further headers.
  if (url.empty() || token.find_first_of("\r\n") != std::string::npos) {
    LogPrintf("[ota-native] invalid downloadPath\n");
    return;
  }
  LogPrintf("[ota-native] downloading version=%s kind=%s\n", version.c_str(),
            StartsWithIgnoringCase(kind, "overlay") && kind.size() == 7 ? "overlay" : "full");

  const std::string root = GetOtaRoot();
  uint8_t random[8];
  platform::UniqueFd fd;
  std::string part;
  if (!root.empty() && platform::RandomBytes(random, sizeof random)) {
    CreateDirectoryTree(root);
    RemoveStaleDownloads(root);
    part = platform::JoinPath(root, std::string(kDownloadPrefix) + HexLower(random, sizeof random) + ".part");
    fd = platform::UniqueFd(open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  }
  if (!fd) {
    LogPrintf("[ota-native] failed to write staging file\n");
    return;
  }
  // Streamed to the file with the pack reader's own size limit, so a hostile server cannot
  // fill memory; the bearer token travels only over https (the facility refuses anything else).
  bool writeFailed = false;
  platform::HttpRequestOptions download = plain;
  download.headers = {"Authorization: Bearer " + token};
  download.maxBodyBytes = config.maxDownloadBytes ? config.maxDownloadBytes : kMaxPackFileBytes;
  download.deadlineMs = config.packDeadlineMs;
  download.sink = [&](const uint8_t* data, size_t length) {
    if (!platform::WriteAll(fd.get(), data, length)) writeFailed = true;
    return !writeFailed;
  };
  platform::HttpResult bundle = OtaHttp(url, download);
  if (!writeFailed && bundle.error.empty() && fsync(fd.get()) != 0) writeFailed = true;
  fd.Reset();
  if (writeFailed) {
    LogPrintf("[ota-native] failed to write staging file\n");
    unlink(part.c_str());
    return;
  }
  if (!CheckHttpResult(bundle, "bundle")) {
    unlink(part.c_str());
    return;
  }
  FinalizeResult finalized = FinalizeOtaFile(part, sha256, version, kind);
  unlink(part.c_str());
  if (!finalized.ok) {
    LogPrintf("[ota-native] finalize failed: %s\n", finalized.error.c_str());
    return;
  }
  LogPrintf("[ota-native] applied; requesting native WebView reload\n");
  if (onApplied) onApplied();
}

}  // namespace

OtaServerConfig DefaultOtaServerConfig() {
  OtaServerConfig config;
  config.baseUrl = QV_UPDATE_SERVER_URL;
  config.caFile = QV_UPDATE_CA_FILE;
  return ApplyOtaTestSettings(std::move(config), std::getenv("QVN_UPDATE_TEST_SERVER"),
                              std::getenv("QVN_UPDATE_TEST_CA"), std::getenv("QVN_UPDATE_TEST_DEADLINE"));
}

OtaServerConfig ApplyOtaTestSettings(OtaServerConfig config, const char* server, const char* caFile,
                                     const char* deadlineSeconds) {
  if (!server || !*server) return config;
  const std::string url = server;
  bool loopback = false;
  for (const char* host : {"https://127.0.0.1:", "https://[::1]:", "https://localhost:"}) {
    if (url.rfind(host, 0) != 0) continue;
    const std::string port = url.substr(std::char_traits<char>::length(host));
    loopback = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos &&
               std::stoul(port) >= 1 && std::stoul(port) <= 65535;
  }
  if (!loopback) {
    LogPrintf("[ota-native] QVN_UPDATE_TEST_SERVER ignored: only https://<loopback host>:<port> is taken\n");
    return config;
  }
  config.baseUrl = url;
  config.extraCaFile = caFile ? caFile : "";
  LogPrintf("[ota-native] test update server %s (added CA: %s)\n", url.c_str(),
            config.extraCaFile.empty() ? "none" : config.extraCaFile.c_str());
  if (deadlineSeconds && *deadlineSeconds) {
    const std::string text = deadlineSeconds;
    const bool valid = text.size() <= 3 && text.find_first_not_of("0123456789") == std::string::npos &&
                       std::stoi(text) >= 1 && std::stoi(text) <= 600;
    if (!valid) {
      LogPrintf("[ota-native] QVN_UPDATE_TEST_DEADLINE ignored: only 1 to 600 seconds are taken\n");
      return config;
    }
    const long ms = std::stol(text) * 1000;
    config.jsonDeadlineMs = std::min(config.jsonDeadlineMs, ms);
    config.packDeadlineMs = std::min(config.packDeadlineMs, ms);
    LogPrintf("[ota-native] test update deadline %s s\n", text.c_str());
  }
  return config;
}

bool CheckHttpResult(const platform::HttpResult& result, const char* step) {
  if (!result.error.empty()) {
    LogPrintf("[ota-native] %s failed: %s\n", step, result.error.c_str());
    return false;
  }
  if (result.status >= 200 && result.status <= 299) return true;
  std::string body = BodyText(result).substr(0, 1000);
  LogPrintf("[ota-native] %s failed: HTTP %lu body=%s\n", step, static_cast<unsigned long>(result.status),
            body.c_str());
  return false;
}

std::string MakeManifestUrl(const std::string& baseUrl, const std::string& nativeVersion,
                            const std::string& installId) {
  return ApiUrl(baseUrl, "manifest", nativeVersion, {}, installId);
}

std::string MakeDownloadUrl(const std::string& downloadPath, const std::string& baseUrl) {
  if (downloadPath.empty() || downloadPath.size() > 4096) return {};
  for (unsigned char c : downloadPath) {
    if (c <= 0x20 || c == 0x7f || c == '\\') return {};
  }
  std::string url = platform::ResolveUrl(platform::ResolveUrl(baseUrl, kApiFolder), downloadPath);
  if (platform::UrlScheme(url) != "https") return {};
  return url;
}

void OtaCheckWorker(const OtaServerConfig& config, const std::function<void()>& onApplied) {
  try {
    RunPass(config, onApplied);
  } catch (const std::exception& e) {
    LogPrintf("[ota-native] exception: %s\n", e.what());
  }
}

void RegisterOtaRows(RpcRouteTable& routes) {
  routes.Register({"getOtaStagingPath"}, [](const RpcRequest& r) {
    std::string path = GetOtaStagingPath();
    if (path.empty()) return r.ReplyError("could not resolve OTA staging path: " + OtaRootUnresolvedText());
    CreateDirectoryTree(GetOtaRoot());  // the page writes the file next
    r.Reply({{"path", path}});
  });
  routes.Register({"finalizeOtaUpdate"}, [](const RpcRequest& r) {
    PayloadReader reader(r.payload);
    std::string sha256 = reader.String("sha256");
    std::string version = reader.String("version");
    std::string kind = reader.String("kind");
    if (!reader.ok()) return r.ReplyError(reader.Error());
    if (sha256.empty() || version.empty()) return r.ReplyError("sha256 and version are required");
    if (kind.empty()) kind = "full";
    bool started = base::StartDetachedThread("ota-finalize", [outlet = r.outlet, id = r.id, sha256, version, kind] {
      FinalizeResult result = FinalizeOtaUpdate(sha256, version, kind);
      if (!outlet) return;
      if (result.ok) {
        outlet->SendText(MakeRpcReply(id, "data", {{"success", true}}));
      } else {
        outlet->SendText(MakeRpcReply(id, "error", result.error.empty() ? "finalize failed" : result.error));
      }
    });
    if (!started) r.ReplyError("could not start worker");
  });
  routes.Register({"clearOtaUpdate"}, [](const RpcRequest& r) {
    bool started = base::StartDetachedThread("ota-clear", [outlet = r.outlet, id = r.id] {
      ClearOtaUpdate();
      if (outlet) outlet->SendText(MakeRpcReply(id, "data", {{"success", true}}));
    });
    if (!started) r.ReplyError("could not start worker");
  });
}
