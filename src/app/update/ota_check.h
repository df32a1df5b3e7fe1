#pragma once
// The update check: asks the update server for the latest web asset pack version, fetches the
// download descriptor of a newer one, downloads the pack and finalises it; and the page's
// update requests.
//
// The server's interface (README, "Update server"), under <base>/api/v1/win/:
//   manifest?native=<v>[&installId=<id>]             -> {"version": latest}
//   download?native=<v>&version=<latest>[&installId=]  -> {"downloadPath", "token", "sha256",
//                                                         "version", "kind"}
// and the pack itself at downloadPath resolved against that folder, fetched with
// "Authorization: Bearer <token>". Only https is used, for every step and every redirect.
//
// Threads: one check at a time runs on its own detached thread (the host's start-up flag sees
// to that); it shares nothing with the request workers but the store (ota_store.h). The
// download goes to a file of its own, never to the page's staging file.
#include <cstddef>
#include <functional>
#include <string>

#include "bridge/rpc_routes.h"
#include "platform/http.h"

// The manifest and the download descriptor are a few hundred bytes; anything near this is not
// an answer of the update server's.
inline constexpr size_t kMaxJsonAnswerBytes = 64 * 1024;

struct OtaServerConfig {
  std::string baseUrl;  // https://host[:port], no trailing slash
  std::string caFile;   // the only CAs trusted; empty: the system's
  std::string extraCaFile;  // CAs trusted besides those (the test setting's); empty: none
  size_t maxDownloadBytes = 0;  // 0: the asset pack reader's own file limit
  // Whole-request deadlines: short for the JSON answers, generous for the pack (up to the pack
  // limit on a slow line).
  long jsonDeadlineMs = 30 * 1000;
  long packDeadlineMs = 15 * 60 * 1000;
};

// The build's update server (QV_UPDATE_SERVER_URL, QV_UPDATE_CA_FILE), with the test setting
// applied (QVN_UPDATE_TEST_SERVER, QVN_UPDATE_TEST_CA, QVN_UPDATE_TEST_DEADLINE from the
// environment).
OtaServerConfig DefaultOtaServerConfig();
// The test setting, so whole-program tests can run the host against a server of their own:
// server replaces the base URL only when it is https on a loopback host with a port
// ("https://127.0.0.1:<port>", "https://[::1]:<port>", "https://localhost:<port>"), and
// caFile is then trusted besides the build's CAs. With such a server, deadlineSeconds (1 to 600)
// shortens both request deadlines to that many seconds; it never lengthens one. It cannot name
// another host or scheme, and nothing of it turns a check off; a refused value is logged and
// changes nothing.
OtaServerConfig ApplyOtaTestSettings(OtaServerConfig config, const char* server, const char* caFile,
                                     const char* deadlineSeconds = nullptr);

// Logs a failed step ("manifest", "descriptor", "bundle") and answers false; true for 2xx.
bool CheckHttpResult(const platform::HttpResult& result, const char* step);
// downloadPath resolved against <base>/api/v1/win/ ("/x" from the server's root, an absolute
// URL as it is); "" when it is malformed or does not resolve to an https URL.
std::string MakeDownloadUrl(const std::string& downloadPath, const std::string& baseUrl);
std::string MakeManifestUrl(const std::string& baseUrl, const std::string& nativeVersion,
                            const std::string& installId);

// One pass of the check; onApplied runs after a new pack was finalised. Never throws.
void OtaCheckWorker(const OtaServerConfig& config, const std::function<void()>& onApplied);

// "getOtaStagingPath", "finalizeOtaUpdate" and "clearOtaUpdate".
void RegisterOtaRows(RpcRouteTable& routes);
