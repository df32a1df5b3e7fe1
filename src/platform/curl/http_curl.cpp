// The HTTP engine module: the libcurl side of the HTTP facility and the one symbol the module
// exports, its entry point.
#include "platform/http.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <mutex>

namespace platform {
namespace {

std::string CurlUrlScheme(const std::string& url);

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Transfer {
  CURL* curl;
  const HttpRequestOptions* options;
  HttpResult* result;
  size_t received = 0;
  bool tooLarge = false;
  bool sinkFailed = false;
  bool errorBodyCut = false;
};

size_t OnData(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t length = size * count;
  const auto* bytes = reinterpret_cast<const uint8_t*>(data);
  long status = 0;
  curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
  const bool success = status >= 200 && status <= 299;
  std::vector<uint8_t>& body = t->result->body;
  if (!success) {
    // Only the start of an error answer is of use (the caller logs it); the rest is not read.
    const size_t room = kMaxErrorBodyBytes - body.size();
    body.insert(body.end(), bytes, bytes + std::min(length, room));
    if (length < room) return length;
    t->errorBodyCut = true;
    return 0;  // ends the transfer; the answer counts as complete
  }
  if (t->options->maxBodyBytes != 0 &&
      (t->received > t->options->maxBodyBytes || length > t->options->maxBodyBytes - t->received)) {
    t->tooLarge = true;
    return 0;  // ends the transfer
  }
  t->received += length;
  if (t->options->sink) {
    if (!t->options->sink(bytes, length)) {
      t->sinkFailed = true;
      return 0;
    }
  } else {
    body.insert(body.end(), bytes, bytes + length);
  }
  return length;
}

// Adds the CAs of one PEM file to the trust store libcurl has already set up for the connection;
// a file that does not load fails the connection rather than leaving the store as it was.
CURLcode AddTrustedCas(CURL*, void* sslContext, void* user) {
  const auto* file = static_cast<const std::string*>(user);
  X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
  if (!store || X509_STORE_load_file(store, file->c_str()) != 1) return CURLE_SSL_CACERT_BADFILE;
  return CURLE_OK;
}

HttpResult CurlRequest(const std::string& url, const HttpRequestOptions& options) {
  HttpResult result;
  if (CurlUrlScheme(url) != "https") {
    result.error = "refused: not an https URL";
    return result;
  }
  GlobalInit();
  CURL* curl = curl_easy_init();
  if (!curl) {
    result.error = "curl_easy_init failed";
    return result;
  }
  Transfer transfer{curl, &options, &result};
  curl_slist* headers = nullptr;
  for (const std::string& h : options.headers) headers = curl_slist_append(headers, h.c_str());

  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(curl, CURLOPT_UNRESTRICTED_AUTH, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!options.caFile.empty()) {
    curl_easy_setopt(curl, CURLOPT_CAINFO, options.caFile.c_str());
    curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
  }
  if (!options.extraCaFile.empty()) {
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, AddTrustedCas);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, &options.extraCaFile);
  }
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "Quorvane/OTA");
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 15000L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 120L);
  if (options.deadlineMs > 0) curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, options.deadlineMs);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnData);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  if (headers) curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  if (options.verb != "GET") curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, options.verb.c_str());
  if (!options.body.empty()) {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, options.body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(options.body.size()));
  }

  CURLcode code = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  result.status = static_cast<uint32_t>(status);
  if (transfer.tooLarge) {
    result.error = "response too large";
  } else if (transfer.sinkFailed) {
    result.error = "could not store the response";
  } else if (code != CURLE_OK && !transfer.errorBodyCut) {
    result.error = std::string(curl_easy_strerror(code)) + " (curl " + std::to_string(static_cast<int>(code)) + ")";
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return result;
}

struct UrlDeleter {
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;

// A parsed absolute URL; null when it does not parse.
UrlHandle ParseUrl(const std::string& url) {
  UrlHandle u(curl_url());
  if (!u || curl_url_set(u.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return nullptr;
  return u;
}

std::string GetPart(CURLU* u, CURLUPart part) {
  char* text = nullptr;
  if (curl_url_get(u, part, &text, 0) != CURLUE_OK || !text) return {};
  std::string out = text;
  curl_free(text);
  return out;
}

std::string CurlResolveUrl(const std::string& base, const std::string& reference) {
  UrlHandle u = ParseUrl(base);
  // Setting a relative URL on a handle that holds one resolves it against that one.
  if (!u || curl_url_set(u.get(), CURLUPART_URL, reference.c_str(), 0) != CURLUE_OK) return {};
  return GetPart(u.get(), CURLUPART_URL);
}

std::string CurlAppendQueryParameter(const std::string& url, const std::string& name, const std::string& value) {
  UrlHandle u = ParseUrl(url);
  if (!u || value.size() > static_cast<size_t>(std::numeric_limits<int>::max())) return {};
  // The handle argument has been unused since libcurl 7.82.
  char* escaped = curl_easy_escape(nullptr, value.data(), static_cast<int>(value.size()));
  if (!escaped) return {};
  const std::string pair = name + "=" + escaped;
  curl_free(escaped);
  if (curl_url_set(u.get(), CURLUPART_QUERY, pair.c_str(), CURLU_APPENDQUERY) != CURLUE_OK) return {};
  return GetPart(u.get(), CURLUPART_URL);
}

std::string CurlUrlScheme(const std::string& url) {
  UrlHandle u = ParseUrl(url);
  return u ? GetPart(u.get(), CURLUPART_SCHEME) : std::string();
}

class CurlEngine final : public HttpEngine {
 public:
  HttpResult Request(const std::string& url, const HttpRequestOptions& options) const override {
    return CurlRequest(url, options);
  }
  std::string ResolveUrl(const std::string& base, const std::string& reference) const override {
    return CurlResolveUrl(base, reference);
  }
  std::string AppendQueryParameter(const std::string& url, const std::string& name,
                                   const std::string& value) const override {
    return CurlAppendQueryParameter(url, name, value);
  }
  std::string UrlScheme(const std::string& url) const override { return CurlUrlScheme(url); }
};

}  // namespace
}  // namespace platform

extern "C" __attribute__((visibility("default"))) const platform::HttpEngine* QvHttpEngine() {
  // Made on the first call and never destroyed: the module stays loaded for the process's life.
  static const platform::HttpEngine* engine = new platform::CurlEngine();
  return engine;
}
