// Binary messages through the bridge listener in both directions, beside raw loopback TCP
// carrying the same payloads in the same run (rounds alternate between the two). Host to page:
// the server sends, a client reads. Page to host: a client sends masked frames, the page's
// binary handler receives each whole message; the reference there is a reader that discards,
// and a plain unmasking pass over the same bytes is printed as the ceiling a reader that must
// unmask can reach. Prints MB/s, messages/s and the ratio.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "base/constants.h"
#include "bridge/ws_frames.h"
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

// A page connection with the token in its path; the server's connected handler has run.
int ConnectPage(WsServer& server) {
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

Figures MeasureWs(size_t size, int count) {
  auto server = WsServer::Create();
  if (!server->Start(kToken)) return {};
  int fd = ConnectPage(*server);
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

// Page to host: the same masked frame sent count times; done once the handler saw them all.
Figures MeasureWsInbound(size_t size, int count) {
  auto server = WsServer::Create();
  if (!server->Start(kToken)) return {};
  std::mutex mutex;
  std::condition_variable changed;
  int received = 0;
  bool wrongSize = false;
  server->SetOnUiBinary([&](const uint8_t*, size_t length) {
    std::lock_guard<std::mutex> lock(mutex);
    wrongSize = wrongSize || length != size;
    ++received;
    changed.notify_all();
  });
  int fd = ConnectPage(*server);
  const uint8_t key[4] = {0x37, 0xfa, 0x21, 0x3d};
  std::string header = EncodeWsFrameHeader(kWsBinary, size);
  header[1] = static_cast<char>(header[1] | 0x80);
  header.append(reinterpret_cast<const char*>(key), 4);
  std::string masked(size, static_cast<char>(0x5a));
  UnmaskWsPayload(masked.data(), masked.size(), key);  // masking is the same XOR
  const auto start = Clock::now();
  bool sent = true;
  for (int i = 0; i < count && sent; ++i) {
    sent = net::SendAllPair(fd, header.data(), header.size(), masked.data(), masked.size());
  }
  std::unique_lock<std::mutex> lock(mutex);
  const bool all = changed.wait_for(lock, std::chrono::seconds(120), [&] { return received == count; });
  Figures figures{std::chrono::duration<double>(Clock::now() - start).count(), sent && all && !wrongSize};
  lock.unlock();
  server->Stop();
  net::CloseSocket(fd);
  return figures;
}

// The cost of one unmasking pass over count messages of size bytes, nothing else.
Figures MeasureUnmask(size_t size, int count) {
  const uint8_t key[4] = {0x37, 0xfa, 0x21, 0x3d};
  std::string data(size, static_cast<char>(0x5a));
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) UnmaskWsPayload(data.data(), data.size(), key);
  volatile char sink = data[size / 2];
  (void)sink;
  return {std::chrono::duration<double>(Clock::now() - start).count(), true};
}

// Raw loopback TCP: the sender writes count payloads, the other side reads and discards them.
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

using Measure = Figures (*)(size_t, int);

// The median of rounds runs of each measure, alternating so all see the same machine state;
// prints each with its spread (fastest to slowest) and its ratio to the reference.
void Compare(const char* title, size_t size, int count, const std::vector<std::pair<const char*, Measure>>& measures) {
  constexpr int kRounds = 5;
  std::vector<std::vector<double>> seconds(measures.size());
  std::vector<bool> ok(measures.size(), true);
  for (int round = 0; round < kRounds; ++round) {
    for (size_t m = 0; m < measures.size(); ++m) {
      Figures f = measures[m].second(size, count);
      seconds[m].push_back(f.seconds);
      ok[m] = ok[m] && f.ok;
    }
  }
  std::printf("%s, %zu KiB messages x %d (median of %d, spread fastest-slowest)\n", title, size / 1024, count,
              kRounds);
  const double mb = double(size) * count / (1024.0 * 1024.0);
  std::vector<double> median(measures.size());
  for (size_t m = 0; m < measures.size(); ++m) {
    std::sort(seconds[m].begin(), seconds[m].end());
    median[m] = seconds[m][kRounds / 2];
    std::printf("  %-16s %9.1f MB/s (%.1f-%.1f) %10.0f msgs/s%s\n", measures[m].first, mb / median[m],
                mb / seconds[m].back(), mb / seconds[m].front(), count / median[m], ok[m] ? "" : "  (FAILED)");
  }
  for (size_t m = 1; m < measures.size(); ++m) {
    std::printf("  ratio            %.2f: %s of %s\n", median[m] / median[0], measures[0].first, measures[m].first);
  }
}

}  // namespace

int main() {
  struct Run {
    size_t size;
    int count;
  } runs[] = {{16 * 1024, 20000}, {1024 * 1024, 400}, {8 * 1024 * 1024, 50}, {64 * 1024 * 1024, 6}};
  for (const auto& run : runs) {
    Compare("host to page", run.size, run.count, {{"WsServer", MeasureWs}, {"raw TCP", MeasureTcp}});
  }
  for (const auto& run : runs) {
    Compare("page to host", run.size, run.count,
            {{"WsServer", MeasureWsInbound}, {"raw TCP", MeasureTcp}, {"unmask only", MeasureUnmask}});
  }
  return 0;
}
