#pragma once
// The page's side of the bridge for the benchmarks: the token they start the listener with, the
// upgrade request that connects as the page, client frames masked as a browser masks them, and a
// connected loopback TCP pair for the raw references. Single-threaded helpers; every descriptor
// they return belongs to the caller, who closes it.
#include <future>
#include <string>

#include "base/constants.h"
#include "bridge/ws_frames.h"
#include "bridge/ws_server.h"
#include "platform/net.h"

namespace benchclient {

inline const std::string kToken(64, '7');
inline constexpr uint8_t kMaskKey[4] = {0x37, 0xfa, 0x21, 0x3d};

// The time one measurement took and whether everything arrived as expected.
struct Figures {
  double seconds = 0;
  bool ok = false;
};

// A page connection with the token in its path; the server's connected handler has run.
inline int ConnectPage(WsServer& server) {
  namespace net = platform::net;
  std::promise<void> connected;
  server.SetOnUiConnected([&] { connected.set_value(); });
  int fd = net::ConnectLoopback(server.port());
  const std::string request = "GET /?token=" + kToken + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                              std::to_string(server.port()) + "\r\nOrigin: " + kAppOrigin +
                              "\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
  net::SendAll(fd, request.data(), request.size());
  std::string response;
  char c;
  while (response.find("\r\n\r\n") == std::string::npos && net::Receive(fd, &c, 1) == 1) response += c;
  connected.get_future().wait();
  server.SetOnUiConnected(nullptr);
  return fd;
}

// A client frame's header for a payload of length bytes: the mask bit set and kMaskKey after it.
inline std::string MaskedFrameHeader(uint8_t opcode, size_t length) {
  std::string header = EncodeWsFrameHeader(opcode, length);
  header[1] = static_cast<char>(header[1] | 0x80);
  header.append(reinterpret_cast<const char*>(kMaskKey), 4);
  return header;
}

// Masks bytes in place with kMaskKey (masking is the same XOR as unmasking).
inline void MaskPayload(char* bytes, size_t length) { UnmaskWsPayload(bytes, length, kMaskKey); }

// A whole masked client frame, as a browser sends it.
inline std::string MaskedFrame(uint8_t opcode, const std::string& payload) {
  std::string frame = MaskedFrameHeader(opcode, payload.size());
  const size_t start = frame.size();
  frame += payload;
  MaskPayload(frame.data() + start, payload.size());
  return frame;
}

// A listening loopback socket with one connection accepted: client is the connecting end,
// server the accepted one. listenFd is -1 when no socket could be had.
struct LoopbackPair {
  int listenFd = -1;
  int client = -1;
  int server = -1;
  void Close() {
    platform::net::CloseSocket(server);
    platform::net::CloseSocket(client);
    platform::net::CloseSocket(listenFd);
  }
};

inline LoopbackPair ConnectLoopbackPair() {
  namespace net = platform::net;
  LoopbackPair pair;
  uint16_t port = 0;
  pair.listenFd = net::ListenLoopback(4, &port);
  if (pair.listenFd < 0) return pair;
  pair.client = net::ConnectLoopback(port);
  net::WaitReadable(pair.listenFd, -1, 5000);
  pair.server = net::AcceptConnection(pair.listenFd);
  return pair;
}

}  // namespace benchclient
