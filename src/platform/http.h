#pragma once
// Blocking HTTPS requests for the update check, over libcurl. Only https is spoken: a URL of
// another scheme is refused before anything is sent, and a redirect is followed only to https.
// The peer's certificate and host name are always verified (against the system's trust store,
// or only against caFile when one is given; extraCaFile adds its CAs to either, it never
// loosens a check). Custom headers (the bearer token) are never sent
// to a host other than the one asked. User agent "Quorvane/OTA"; resolve and connect within
// 15 s together; a transfer that moves no byte for 120 s is cut, and one that outlasts its
// deadline too. Of an answer that is not 2xx only the first kMaxErrorBodyBytes are read.
//
// The URL helpers parse and join with libcurl's URL API, so a URL means here what it means to
// the transfer.
//
// libcurl and the libraries it brings are a module of their own (kHttpEngineModule), loaded the
// first time any of these is called (the update check, after the page's first load), so the
// host does not map them at start-up. Without the module a request fails with "HTTP engine
// unavailable: <why>" and the URL helpers answer "".
//
// Threads: any thread; each call is self-contained (the module loads once, libcurl's global
// start-up runs once).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

inline constexpr size_t kMaxErrorBodyBytes = 64 * 1024;

struct HttpResult {
  uint32_t status = 0;        // the HTTP status; 0 when no response came
  std::vector<uint8_t> body;  // empty when the body went to a sink
  std::string error;          // empty when the exchange completed
};

struct HttpRequestOptions {
  std::string verb = "GET";
  std::vector<std::string> headers;  // "Name: value", without line ends
  std::string body;
  std::string caFile;  // empty: the system's trust store
  std::string extraCaFile;  // PEM CAs trusted besides those; unreadable: the request fails
  // When set, the body of a 2xx answer is handed here in pieces instead of kept (any other
  // answer's body stays in the result, for the caller's error text); returning false ends the
  // transfer with an error.
  std::function<bool(const uint8_t* data, size_t length)> sink;
  // A 2xx body larger than this ends the transfer with "response too large" (0: no limit).
  size_t maxBodyBytes = 0;
  // The whole exchange, redirects included, ends with an error after this long (0: no deadline).
  long deadlineMs = 0;
};

HttpResult HttpRequest(const std::string& url, const HttpRequestOptions& options);

// reference resolved against the absolute URL base as RFC 3986 says (a relative path lands in
// base's folder, "/x" at its root, "//host/x" on base's scheme, an absolute URL stays itself),
// normalised; "" when either does not parse.
std::string ResolveUrl(const std::string& base, const std::string& reference);
// url with "name=value" added to its query, value percent-encoded; "" when url does not parse.
std::string AppendQueryParameter(const std::string& url, const std::string& name, const std::string& value);
// The scheme of an absolute URL in lower case; "" when it does not parse.
std::string UrlScheme(const std::string& url);

// What the module provides: the four calls above.
class HttpEngine {
 public:
  virtual ~HttpEngine() = default;
  virtual HttpResult Request(const std::string& url, const HttpRequestOptions& options) const = 0;
  virtual std::string ResolveUrl(const std::string& base, const std::string& reference) const = 0;
  virtual std::string AppendQueryParameter(const std::string& url, const std::string& name,
                                           const std::string& value) const = 0;
  virtual std::string UrlScheme(const std::string& url) const = 0;
};

// The module's file name and the entry point it exports (platform/module_loader.h).
inline constexpr const char* kHttpEngineModule = "libqv_http_curl.so";
inline constexpr const char* kHttpEngineEntry = "QvHttpEngine";

// Tests: the next call loads the engine through loader (null: the module beside the executable,
// the default).
void InstallHttpEngineLoader(std::function<const HttpEngine*(std::string* error)> loader);
const HttpEngine* LoadHttpEngineModule(const std::string& file, std::string* error);

}  // namespace platform
