#pragma once
// Blocking HTTPS requests for the update check, over libcurl. Only https is spoken: a URL of
// another scheme is refused before anything is sent, and a redirect is followed only to https.
// The peer's certificate and host name are always verified (against the system's trust store,
// or only against caFile when one is given; extraCaFile adds its CAs to either, it never
// loosens a check). Custom headers (the bearer token) are never sent
// to a host other than the one asked. User agent "Quorvane/OTA"; resolve and connect within
// 15 s together; a transfer that moves no byte for 120 s is cut.
//
// Threads: any thread; each call is self-contained (libcurl's global start-up runs once).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

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
  // A body larger than this ends the transfer with "response too large" (0: no limit).
  size_t maxBodyBytes = 0;
};

HttpResult HttpRequest(const std::string& url, const HttpRequestOptions& options);

}  // namespace platform
