// The bridge's upgrade request: parse, header lookup and the connection-kind decision.
#include <cstddef>
#include <cstdint>
#include <string>

#include "bridge/ws_handshake.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string buffer(reinterpret_cast<const char*>(data), size);
  FindHttpHeader(buffer, "Sec-WebSocket-Key");
  WsUpgradeRequest request;
  if (ParseWsUpgradeRequest(buffer, &request)) {
    std::string reason;
    CheckWsUpgradeRequest(request, std::string(64, 'a'), 40000, &reason);
    WsHandshakeResponse(FindHttpHeader(buffer, "Sec-WebSocket-Key"));
  }
  return 0;
}
