#include "bridge/ws_handshake.h"

#include <strings.h>

#include "base/constants.h"
#include "base/base64.h"
#include "bridge/sha1.h"

namespace {

// Where the value of the first "name:" line starts (any letter case), or npos; *lineEnd gets
// the end of that line.
size_t FindHeaderValue(const std::string& buffer, const std::string& name, size_t* lineEnd) {
  size_t start = 0;
  while (start < buffer.size()) {
    size_t end = buffer.find("\r\n", start);
    if (end == std::string::npos) end = buffer.size();
    if (end - start > name.size() && strncasecmp(buffer.data() + start, name.c_str(), name.size()) == 0 &&
        buffer[start + name.size()] == ':') {
      *lineEnd = end;
      return start + name.size() + 1;
    }
    start = end + 2;
  }
  return std::string::npos;
}

}  // namespace

std::string FindHttpHeader(const std::string& buffer, const std::string& name) {
  size_t end = 0;
  size_t v = FindHeaderValue(buffer, name, &end);
  if (v == std::string::npos) return {};
  while (v < end && buffer[v] == ' ') ++v;
  return buffer.substr(v, end - v);
}

bool ParseWsUpgradeRequest(const std::string& buffer, WsUpgradeRequest* request) {
  size_t lineEnd = buffer.find("\r\n");
  const std::string line = buffer.substr(0, lineEnd);
  size_t first = line.find(' ');
  if (first == std::string::npos) return false;
  size_t second = line.find(' ', first + 1);
  if (second == std::string::npos) return false;
  request->method = line.substr(0, first);
  request->path = line.substr(first + 1, second - first - 1);
  request->host = FindHttpHeader(buffer, "Host");
  request->origin = FindHttpHeader(buffer, "Origin");
  size_t end = 0;
  request->hasOrigin = FindHeaderValue(buffer, "Origin", &end) != std::string::npos;
  return true;
}

bool TokenEquals(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

WsConnectionKind CheckWsUpgradeRequest(const WsUpgradeRequest& request, const std::string& token, uint16_t port,
                                       std::string* reason) {
  auto reject = [&](const char* why) {
    *reason = why;
    return WsConnectionKind::Rejected;
  };
  if (token.empty()) return reject("server has no token");
  if (request.method != "GET") return reject("method");
  if (request.host != "127.0.0.1:" + std::to_string(port)) return reject("host");
  const bool plainPath = request.path == "/" || request.path == "/?protocol=2";
  if (request.hasOrigin) {
    if (request.origin != kAppOrigin) return reject("origin");
    if (plainPath) return WsConnectionKind::UiNeedsHello;
    static const std::string kTokenPrefix = "/?token=";
    if (request.path.compare(0, kTokenPrefix.size(), kTokenPrefix) == 0 &&
        TokenEquals(request.path.substr(kTokenPrefix.size()), token)) {
      return WsConnectionKind::UiWithToken;
    }
    return reject("token");
  }
  if (plainPath) return WsConnectionKind::Plugin;
  return reject("origin");
}

std::string WsAcceptKey(const std::string& clientKey) {
  const std::string text = clientKey + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  auto digest = Sha1(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  return Base64Encode(digest.data(), digest.size());
}

std::string WsHandshakeResponse(const std::string& clientKey) {
  return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " +
         WsAcceptKey(clientKey) + "\r\n\r\n";
}
