// Host-to-page binary messages through the bridge listener, beside raw loopback TCP carrying the
// same payloads to the same reading client in the same run. Prints MB/s, messages/s and the ratio.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "base/constants.h"
#include "bridge/ws_server.h"
#include "platform/net.h"

namespace net = platform::net;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kToken(64, '7');

// The one client of both measurements: reads until the expected byte count has arrived.
bool ReadBytes(int fd, uint64_t expected) {
  std::vector<char> buffer(1 << 20);
  uint64_t got = 0;
  while (got < expected) {
    ssize_t n = net::Receive(fd, buffer.data(), buffer.size());
    if (n <= 0) return false;
    got += static_cast<uint64_t>(n);
  }
  return true;
}

uint64_t WsFrameBytes(size_t payload) { return payload + (payload <= 125 ? 2 : payload <= 65535 ? 4 : 10); }

struct Figures {
  double seconds = 0;
  bool ok = false;
};

Figures MeasureWs(size_t size, int count) {
  auto server = WsServer::Create();
  if (!server->Start(kToken)) return {};
  std::promise<void> connected;
  server->SetOnUiConnected([&] { connected.set_value(); });
  int fd = net::ConnectLoopback(server->port());
  const std::string request = "GET /?token=" + kToken + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                              std::to_string(server->port()) + "\r\nOrigin: " + kAppOrigin +
                              "\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
  net::SendAll(fd, request.data(), request.size());
  std::string response;
  char c;
  while (response.find("\r\n\r\n") == std::string::npos && net::Receive(fd, &c, 1) == 1) response += c;
  connected.get_future().wait();

  const std::vector<uint8_t> payload(size, 0x5a);
  auto reader = std::async(std::launch::async, [&] { return ReadBytes(fd, WsFrameBytes(size) * count); });
  const auto start = Clock::now();
  bool sent = true;
  for (int i = 0; i < count && sent; ++i) sent = server->SendBinaryToUi(payload.data(), payload.size());
  const bool read = reader.get();
  Figures figures{std::chrono::duration<double>(Clock::now() - start).count(), sent && read};
  server->Stop();
  net::CloseSocket(fd);
  return figures;
}

Figures MeasureTcp(size_t size, int count) {
  uint16_t port = 0;
  int listenFd = net::ListenLoopback(4, &port);
  if (listenFd < 0) return {};
  int client = net::ConnectLoopback(port);
  net::WaitReadable(listenFd, -1, 5000);
  int fd = net::AcceptConnection(listenFd);
  const std::vector<uint8_t> payload(size, 0x5a);
  auto reader = std::async(std::launch::async, [&] { return ReadBytes(client, uint64_t(size) * count); });
  const auto start = Clock::now();
  bool sent = true;
  for (int i = 0; i < count && sent; ++i) sent = net::SendAll(fd, payload.data(), payload.size());
  const bool read = reader.get();
  Figures figures{std::chrono::duration<double>(Clock::now() - start).count(), sent && read};
  net::CloseSocket(fd);
  net::CloseSocket(client);
  net::CloseSocket(listenFd);
  return figures;
}

void Print(const char* what, size_t size, int count, const Figures& f) {
  const double mb = double(size) * count / (1024.0 * 1024.0);
  std::printf("  %-10s %9.1f MB/s %11.0f msgs/s%s\n", what, mb / f.seconds, count / f.seconds, f.ok ? "" : "  (FAILED)");
}

}  // namespace

int main() {
  struct Run {
    size_t size;
    int count;
  } runs[] = {{16 * 1024, 40000}, {1024 * 1024, 800}};
  for (const auto& run : runs) {
    // Best of three rounds each, interleaved so both see the same machine state.
    Figures ws{1e9, true}, tcp{1e9, true};
    for (int round = 0; round < 3; ++round) {
      Figures w = MeasureWs(run.size, run.count);
      Figures t = MeasureTcp(run.size, run.count);
      if (w.seconds < ws.seconds || !w.ok) ws = w;
      if (t.seconds < tcp.seconds || !t.ok) tcp = t;
    }
    std::printf("%zu KiB messages x %d (best of 3)\n", run.size / 1024, run.count);
    Print("WsServer", run.size, run.count, ws);
    Print("raw TCP", run.size, run.count, tcp);
    std::printf("  ratio      %.2f of raw loopback TCP\n", tcp.seconds / ws.seconds);
  }
  return 0;
}
