// Binary messages through the bridge listener in both directions, beside raw loopback TCP
// carrying the same payloads in the same run (rounds alternate between the two). Host to page:
// the server sends, a client reads. Page to host: a client sends masked frames, the page's
// binary handler receives each whole message; the reference there is a reader that discards,
// and a plain unmasking pass over the same bytes is printed as the ceiling a reader that must
// unmask can reach. Prints MB/s, messages/s and the ratio.
//
// Then small requests echoed by the page's text handler (one at a time, and 32 sent at once),
// beside a minimal echo over the same frames with TCP_NODELAY: p50, p99 and worst latency. Then
// a 64 MiB JSON text request through the dispatcher, beside the same size in binary,
// and resident memory after 20 such binary messages while the connection stays open.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "bridge/rpc_dispatch.h"
#include "bridge/tokens/capability_token_registry.h"
#include "bridge/ws_frames.h"
#include "bridge/ws_server.h"
#include "platform/memory.h"
#include "platform/net.h"

#include <nlohmann/json.hpp>

#include "bridge_client.h"

namespace net = platform::net;
using Clock = std::chrono::steady_clock;

namespace {

using benchclient::ConnectPage;
using benchclient::Figures;
using benchclient::kToken;
using benchclient::MaskedFrame;

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
  const std::string header = benchclient::MaskedFrameHeader(kWsBinary, size);
  std::string masked(size, static_cast<char>(0x5a));
  benchclient::MaskPayload(masked.data(), masked.size());
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
  std::string data(size, static_cast<char>(0x5a));
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) UnmaskWsPayload(data.data(), data.size(), benchclient::kMaskKey);
  volatile char sink = data[size / 2];
  (void)sink;
  return {std::chrono::duration<double>(Clock::now() - start).count(), true};
}

// Raw loopback TCP: the sender writes count payloads, the other side reads and discards them.
// With noDelay the sender's socket has TCP_NODELAY, as every bridge socket has: without it the
// kernel joins messages smaller than a segment while one is unacknowledged, which the bridge
// gives up so a small reply is never held back.
Figures MeasureTcpWith(size_t size, int count, bool noDelay) {
  benchclient::LoopbackPair tcp = benchclient::ConnectLoopbackPair();
  if (tcp.listenFd < 0) return {};
  const int client = tcp.client;
  const int fd = tcp.server;
  if (noDelay) net::SetNoDelay(fd);
  const std::vector<uint8_t> payload(size, 0x5a);
  auto reader = std::async(std::launch::async, [&] { return ReadBytes(client, uint64_t(size) * count); });
  const auto start = Clock::now();
  bool sent = true;
  for (int i = 0; i < count && sent; ++i) sent = net::SendAll(fd, payload.data(), payload.size());
  const bool read = reader.get();
  Figures figures{std::chrono::duration<double>(Clock::now() - start).count(), sent && read};
  tcp.Close();
  return figures;
}

Figures MeasureTcp(size_t size, int count) { return MeasureTcpWith(size, count, false); }
Figures MeasureTcpNoDelay(size_t size, int count) { return MeasureTcpWith(size, count, true); }

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

struct Latencies {
  double p50 = 0, p99 = 0, worst = 0;
  bool ok = false;
};

// Sends rounds bursts of inFlight small text requests and waits for each burst's replies, which
// it parses as frames; each request's latency runs from its send to its reply.
Latencies RoundTrips(int fd, int inFlight, int rounds) {
  net::SetNoDelay(fd);
  std::vector<double> latencies;
  std::vector<Clock::time_point> sentAt(inFlight);
  WsFrameReader reader;
  WsFrame frame;
  std::vector<char> buffer(1 << 16);
  for (int r = 0; r < rounds; ++r) {
    for (int i = 0; i < inFlight; ++i) {
      const std::string request = MaskedFrame(
          kWsText, R"({"type":"isAlwaysOnTop","id":)" + std::to_string(r * inFlight + i) + R"(,"payload":{}})");
      sentAt[i] = Clock::now();
      if (!net::SendAll(fd, request.data(), request.size())) return {};
    }
    int done = 0;
    while (done < inFlight) {
      ssize_t n = net::Receive(fd, buffer.data(), buffer.size());
      if (n <= 0) return {};
      reader.Append(buffer.data(), static_cast<size_t>(n));
      while (done < inFlight && reader.Next(&frame) == WsFrameReader::Status::Frame) {
        latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sentAt[done]).count());
        ++done;
      }
    }
  }
  std::sort(latencies.begin(), latencies.end());
  Latencies l;
  l.p50 = latencies[latencies.size() / 2];
  l.p99 = latencies[latencies.size() * 99 / 100];
  l.worst = latencies.back();
  l.ok = true;
  return l;
}

// The page's text handler echoes each request through the listener's send path.
Latencies WsRoundTrips(int inFlight, int rounds) {
  auto server = WsServer::Create();
  if (!server->Start(kToken)) return {};
  WsServer* raw = server.get();
  int fd = ConnectPage(*server);
  server->SetOnUiText([raw](const std::string& text) { raw->SendTextToUi(text); });
  Latencies l = RoundTrips(fd, inFlight, rounds);
  server->Stop();
  net::CloseSocket(fd);
  return l;
}

// The reference: a thread that reads frames and writes each payload back in a frame, nothing else.
Latencies EchoRoundTrips(int inFlight, int rounds) {
  benchclient::LoopbackPair tcp = benchclient::ConnectLoopbackPair();
  if (tcp.listenFd < 0) return {};
  const int client = tcp.client;
  const int fd = tcp.server;
  net::SetNoDelay(fd);
  std::thread echo([fd] {
    WsFrameReader reader;
    WsFrame frame;
    std::vector<char> buffer(1 << 16);
    for (;;) {
      ssize_t n = net::Receive(fd, buffer.data(), buffer.size());
      if (n <= 0) return;
      reader.Append(buffer.data(), static_cast<size_t>(n));
      while (reader.Next(&frame) == WsFrameReader::Status::Frame) {
        const std::string header = EncodeWsFrameHeader(kWsText, frame.payload.size());
        if (!net::SendAllPair(fd, header.data(), header.size(), frame.payload.data(), frame.payload.size())) return;
      }
    }
  });
  Latencies l = RoundTrips(client, inFlight, rounds);
  net::ShutdownSocket(client);
  echo.join();
  tcp.Close();
  return l;
}

void CompareRoundTrips(int inFlight, int rounds) {
  constexpr int kRuns = 5;
  std::vector<Latencies> ws, echo;
  for (int run = 0; run < kRuns; ++run) {
    ws.push_back(WsRoundTrips(inFlight, rounds));
    echo.push_back(EchoRoundTrips(inFlight, rounds));
  }
  auto median = [](std::vector<Latencies> v, double Latencies::*field) {
    std::sort(v.begin(), v.end(), [field](const Latencies& a, const Latencies& b) { return a.*field < b.*field; });
    return v[v.size() / 2].*field;
  };
  auto worst = [](const std::vector<Latencies>& v) {
    double w = 0;
    bool ok = true;
    for (const auto& l : v) {
      w = std::max(w, l.worst);
      ok = ok && l.ok;
    }
    return std::make_pair(w, ok);
  };
  // On a shared machine one preempted run sets the worst of all; the median of each run's
  // worst says what a run usually meets.
  std::printf("round trips, %d in flight x %d (median of %d runs; worst: median of the runs', worst of all)\n",
              inFlight, rounds, kRuns);
  for (auto* entry : {&ws, &echo}) {
    const auto [w, ok] = worst(*entry);
    std::printf("  %-16s p50 %.3f ms  p99 %.3f ms  worst %.3f ms, %.3f ms%s\n",
                entry == &ws ? "WsServer" : "minimal echo", median(*entry, &Latencies::p50),
                median(*entry, &Latencies::p99), median(*entry, &Latencies::worst), w, ok ? "" : "  (FAILED)");
  }
  std::printf("  ratio            %.2f: p50 of WsServer to the echo's\n",
              median(ws, &Latencies::p50) / median(echo, &Latencies::p50));
}

// Seconds from the first byte sent to the end of the page handler's work for one message.
double OneInbound(int fd, const std::string& frame, std::mutex& mutex,
                  std::condition_variable& changed, int& handled) {
  std::unique_lock<std::mutex> lock(mutex);
  const int before = handled;
  lock.unlock();
  const auto start = Clock::now();
  if (!net::SendAll(fd, frame.data(), frame.size())) return -1;
  lock.lock();
  if (!changed.wait_for(lock, std::chrono::seconds(60), [&] { return handled > before; })) return -1;
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A 64 MiB request as JSON text, handed to the dispatcher as the page's text handler does (its
// scan, its parse, the payload taken out for a row), against the same number of bytes as one
// binary message.
void CompareJsonText() {
  constexpr size_t kSize = 64ull * 1024 * 1024;
  constexpr int kRounds = 5;
  auto server = WsServer::Create();
  if (!server->Start(kToken)) return;
  RpcDispatch::Options options;
  options.registry = &CapabilityTokenRegistry::Instance();
  RpcDispatch dispatch(std::make_shared<RpcOutlet>(server->OutletTarget()), nullptr, std::move(options));
  std::mutex mutex;
  std::condition_variable changed;
  int handled = 0;
  bool parsed = true;
  // A row of the bench's own that reads the payload as a chunk row would.
  dispatch.routes().Register({"bench.chunk"}, [&](const RpcRequest& request) {
    auto data = request.payload.find("data");
    const bool ok = data != request.payload.end() && data->is_string() &&
                    data->get_ref<const std::string&>().size() > kSize / 2;
    std::lock_guard<std::mutex> lock(mutex);
    parsed = parsed && ok;
  });
  server->SetOnUiText([&](std::string& text) {
    dispatch.HandleMessageInPlace(text);
    std::lock_guard<std::mutex> lock(mutex);
    ++handled;
    changed.notify_all();
  });
  server->SetOnUiBinary([&](const uint8_t*, size_t) {
    std::lock_guard<std::mutex> lock(mutex);
    ++handled;
    changed.notify_all();
  });
  int fd = ConnectPage(*server);
  const std::string head = R"({"type":"bench.chunk","id":7,"payload":{"data":")";
  const std::string tail = R"("}})";
  std::string text = head + std::string(kSize - head.size() - tail.size(), 'A') + tail;
  const std::string textFrame = MaskedFrame(kWsText, text);
  text.clear();
  text.shrink_to_fit();
  const std::string binaryFrame = MaskedFrame(kWsBinary, std::string(kSize, 'A'));
  std::vector<double> textSeconds, binarySeconds;
  for (int round = 0; round < kRounds; ++round) {
    textSeconds.push_back(OneInbound(fd, textFrame, mutex, changed, handled));
    binarySeconds.push_back(OneInbound(fd, binaryFrame, mutex, changed, handled));
  }
  server->Stop();
  net::CloseSocket(fd);
  std::sort(textSeconds.begin(), textSeconds.end());
  std::sort(binarySeconds.begin(), binarySeconds.end());
  const bool ok = parsed && textSeconds.front() >= 0 && binarySeconds.front() >= 0;
  std::printf("64 MiB request, page to host, handler done (median of %d)%s\n", kRounds, ok ? "" : "  (FAILED)");
  std::printf("  JSON text        %8.1f ms (%.1f-%.1f)\n", textSeconds[kRounds / 2] * 1e3, textSeconds.front() * 1e3,
              textSeconds.back() * 1e3);
  std::printf("  binary           %8.1f ms (%.1f-%.1f)\n", binarySeconds[kRounds / 2] * 1e3,
              binarySeconds.front() * 1e3, binarySeconds.back() * 1e3);
  std::printf("  ratio            %.2f: JSON text to binary\n", textSeconds[kRounds / 2] / binarySeconds[kRounds / 2]);
}

// Resident memory before, and after 20 binary messages of 64 MiB with the connection still open.
void MemoryAfterLargeMessages() {
  constexpr size_t kSize = 64ull * 1024 * 1024;
  auto server = WsServer::Create();
  if (!server->Start(kToken)) return;
  std::mutex mutex;
  std::condition_variable changed;
  int handled = 0;
  server->SetOnUiBinary([&](const uint8_t*, size_t) {
    std::lock_guard<std::mutex> lock(mutex);
    ++handled;
    changed.notify_all();
  });
  int fd = ConnectPage(*server);
  platform::ReturnFreeMemoryToSystem();
  const double idle = platform::ResidentBytes() / (1024.0 * 1024.0);
  bool ok = true;
  {
    const std::string frame = MaskedFrame(kWsBinary, std::string(kSize, 'A'));
    for (int i = 0; i < 20 && ok; ++i) ok = OneInbound(fd, frame, mutex, changed, handled) >= 0;
  }
  platform::ReturnFreeMemoryToSystem();  // the sender's own copy of the frame
  const auto end = Clock::now();
  std::printf("resident memory, 20 x 64 MiB page to host, connection open%s\n", ok ? "" : "  (FAILED)");
  std::printf("  idle before      %8.1f MiB\n", idle);
  for (int second : {0, 1, 2, 5}) {
    std::this_thread::sleep_until(end + std::chrono::seconds(second));
    std::printf("  after %d s        %8.1f MiB (%+.1f)\n", second, platform::ResidentBytes() / (1024.0 * 1024.0),
                platform::ResidentBytes() / (1024.0 * 1024.0) - idle);
  }
  server->Stop();
  net::CloseSocket(fd);
}

}  // namespace

// With an argument, only the part it names: "out", "in", "latency", "json" or "memory"; with a
// second, only the message size it gives in KiB (for profiling one case).
int main(int argc, char** argv) {
  const std::string only = argc > 1 ? argv[1] : "";
  const size_t onlyKiB = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 0;
  auto runs_ = [&](const char* part) { return only.empty() || only == part; };
  struct Run {
    size_t size;
    int count;
  } runs[] = {{16 * 1024, 20000}, {1024 * 1024, 400}, {8 * 1024 * 1024, 50}, {64 * 1024 * 1024, 6}};
  for (const auto& run : runs) {
    if (!runs_("out")) break;
    if (onlyKiB && run.size != onlyKiB * 1024) continue;
    Compare("host to page", run.size, run.count,
            {{"WsServer", MeasureWs}, {"raw TCP", MeasureTcp}, {"raw TCP_NODELAY", MeasureTcpNoDelay}});
  }
  for (const auto& run : runs) {
    if (!runs_("in")) break;
    if (onlyKiB && run.size != onlyKiB * 1024) continue;
    Compare("page to host", run.size, run.count,
            {{"WsServer", MeasureWsInbound}, {"raw TCP", MeasureTcp}, {"unmask only", MeasureUnmask}});
  }
  if (runs_("latency")) {
    CompareRoundTrips(1, 2000);
    CompareRoundTrips(32, 200);
  }
  if (runs_("json")) CompareJsonText();
  if (runs_("memory")) MemoryAfterLargeMessages();
  return 0;
}
