#include "platform/http.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <mutex>

namespace platform {

namespace {

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
};

size_t OnData(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t length = size * count;
  if (t->options->maxBodyBytes != 0 &&
      (t->received > t->options->maxBodyBytes || length > t->options->maxBodyBytes - t->received)) {
    t->tooLarge = true;
    return 0;  // ends the transfer
  }
  t->received += length;
  const auto* bytes = reinterpret_cast<const uint8_t*>(data);
  long status = 0;
  curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
  if (t->options->sink && status >= 200 && status <= 299) {
    if (!t->options->sink(bytes, length)) {
      t->sinkFailed = true;
      return 0;
    }
  } else {
    t->result->body.insert(t->result->body.end(), bytes, bytes + length);
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

bool IsHttpsUrl(const std::string& url) {
  static const char kScheme[] = "https://";
  if (url.size() <= sizeof kScheme - 1) return false;
  for (size_t i = 0; i < sizeof kScheme - 1; ++i) {
    char c = url[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kScheme[i]) return false;
  }
  return true;
}

}  // namespace

HttpResult HttpRequest(const std::string& url, const HttpRequestOptions& options) {
  HttpResult result;
  if (!IsHttpsUrl(url)) {
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
  } else if (code != CURLE_OK) {
    result.error = std::string(curl_easy_strerror(code)) + " (curl " + std::to_string(static_cast<int>(code)) + ")";
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return result;
}

}  // namespace platform
