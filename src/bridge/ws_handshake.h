#pragma once
// The HTTP upgrade of the bridge listener as pure functions over the request text, so every
// check can be tested without a socket.
#include <cstdint>
#include <string>

#include "bridge/ws_limits.h"

enum class WsConnectionKind { Rejected = 0, UiWithToken = 1, UiNeedsHello = 2, Plugin = 3 };

struct WsUpgradeRequest {
  std::string method;
  std::string path;
  std::string host;
  std::string origin;
  bool hasOrigin = false;
};

// The request header block may not grow beyond kWsMaxHeaderBytes without its blank line.

// The value of the first line starting with name (any letter case) and ':', leading spaces
// skipped; "" when there is none.
std::string FindHttpHeader(const std::string& buffer, const std::string& name);

// Splits the request line and reads Host and Origin; false when the line lacks two blanks.
bool ParseWsUpgradeRequest(const std::string& buffer, WsUpgradeRequest* request);

// The kind of connection the request asks for, or Rejected with the reason to log.
WsConnectionKind CheckWsUpgradeRequest(const WsUpgradeRequest& request, const std::string& token, uint16_t port,
                                       std::string* reason);

// Equal lengths and every byte compared, without stopping at the first difference.
bool TokenEquals(const std::string& a, const std::string& b);

// Base64 of the SHA-1 of the client key and the protocol's fixed GUID.
std::string WsAcceptKey(const std::string& clientKey);

// The whole 101 response for a client key.
std::string WsHandshakeResponse(const std::string& clientKey);
