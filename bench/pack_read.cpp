// Reading a written decoded pack the way the page does: "readNativePluginPack" requests, each
// answered by its text reply and then its "KNVQ" frame, through the bridge listener and the
// dispatcher with the pack rows registered. Three shapes: 2 MiB ranges with one request in
// flight, 16 KiB ranges with 32 and with 256 in flight.
//
// The reference, in the same run and in alternating rounds, is the least a server can do for the
// same client: a thread on raw loopback TCP that reads each masked request frame, preads the range
// from the same file and sends the same text reply and the same binary "KNVQ" frame. Both are
// read by the one client below, which keeps the window of requests in flight, parses every frame
// and checks every reply and the first bytes of every range. Prints medians and their ratio.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/bytes.h"
#include "base/log.h"
#include "bridge/rpc_dispatch.h"
#include "bridge/tokens/capability_token_registry.h"
#include "bridge/ws_frames.h"
#include "bridge/ws_server.h"
#include "platform/net.h"
#include "platform/paths.h"
#include "platform/unique_fd.h"
#include "plugins/native_packs.h"

#include "bridge_client.h"

namespace net = platform::net;
using Clock = std::chrono::steady_clock;

namespace {

using benchclient::ConnectPage;
using benchclient::Figures;
using benchclient::kToken;
using benchclient::MaskedFrame;

constexpr uint64_t kPackBytes = 256ull << 20;
constexpr int kRounds = 7;
const std::string kPackId = "0123456789abcdef0123456789abcdef";

struct Shape {
  size_t range;
  int inFlight;
};
constexpr Shape kShapes[] = {{2u << 20, 1}, {16u << 10, 32}, {16u << 10, 256}};

// The first 8 bytes of each 16 KiB block of the pack: its offset, scrambled.
uint64_t Stamp(uint64_t offset) { return offset ^ 0x5a5a5a5a5a5a5a5aull; }

bool ReadExact(int fd, void* out, size_t length) {
  auto* bytes = static_cast<uint8_t*>(out);
  for (size_t done = 0; done < length;) {
    ssize_t n = net::Receive(fd, bytes + done, length - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// One frame's header: opcode, payload length and, for a client frame, its mask key.
bool ReadFrameHeader(int fd, uint8_t* opcode, uint64_t* length, uint8_t mask[4]) {
  uint8_t head[2];
  if (!ReadExact(fd, head, 2)) return false;
  *opcode = head[0] & 0x0f;
  *length = head[1] & 0x7f;
  if (*length == 126 || *length == 127) {
    uint8_t ext[8];
    const size_t n = *length == 126 ? 2 : 8;
    if (!ReadExact(fd, ext, n)) return false;
    *length = 0;
    for (size_t i = 0; i < n; ++i) *length = (*length << 8) | ext[i];
  }
  if (head[1] & 0x80) return ReadExact(fd, mask, 4);
  return true;
}

// One frame from the server (never masked) into a buffer the caller reuses.
bool ReadFrame(int fd, uint8_t* opcode, std::vector<uint8_t>& payload) {
  uint64_t length = 0;
  uint8_t mask[4];
  if (!ReadFrameHeader(fd, opcode, &length, mask) || length > (64u << 20)) return false;
  payload.resize(static_cast<size_t>(length));
  return ReadExact(fd, payload.data(), payload.size());
}

// Request i of a shape: the pack read in order, as often as one pass takes.
uint64_t OffsetOf(const Shape& shape, uint32_t requestId) {
  return (uint64_t(requestId - 1) * shape.range) % kPackBytes;
}
uint32_t RequestsOf(const Shape& shape) { return static_cast<uint32_t>(kPackBytes / shape.range); }

// Every request of a shape as the page's masked text frame, made once, so the client's own work
// in the measured loop is only sending, parsing and checking.
std::vector<std::string> MakeRequests(const Shape& shape) {
  std::vector<std::string> frames;
  for (uint32_t id = 1; id <= RequestsOf(shape); ++id) {
    const nlohmann::json request = {
        {"id", id},
        {"type", "readNativePluginPack"},
        {"payload", {{"packId", kPackId}, {"offset", OffsetOf(shape, id)}, {"length", shape.range}, {"requestId", id}}}};
    frames.push_back(MaskedFrame(kWsText, request.dump()));
  }
  return frames;
}

// The page's side, the same for the host and the reference: keeps inFlight requests out, and for
// each reply in order checks its text, its frame and the frame's first bytes.
bool ReadPackAsPage(int fd, const Shape& shape, const std::vector<std::string>& requests) {
  std::vector<uint8_t> text, payload;
  const uint32_t total = RequestsOf(shape);
  uint32_t sent = 0;
  auto sendUpTo = [&](uint32_t limit) {
    for (; sent < limit && sent < total; ++sent) {
      if (!net::SendAll(fd, requests[sent].data(), requests[sent].size())) return false;
    }
    return true;
  };
  if (!sendUpTo(static_cast<uint32_t>(shape.inFlight))) return false;
  for (uint32_t id = 1; id <= total; ++id) {
    uint8_t opcode = 0;
    if (!ReadFrame(fd, &opcode, text) || opcode != kWsText) return false;
    const nlohmann::json reply = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
    if (!reply.is_object() || reply.value("id", 0u) != id || !reply.contains("data")) return false;
    if (!ReadFrame(fd, &opcode, payload) || opcode != kWsBinary || payload.size() != 16 + shape.range) return false;
    if (base::ReadLe32(payload.data()) != base::FourCc("KNVQ") || base::ReadLe32(payload.data() + 4) != id ||
        base::ReadLe32(payload.data() + 8) != shape.range) {
      return false;
    }
    uint64_t stamp = 0;
    std::memcpy(&stamp, payload.data() + 16, sizeof stamp);
    if (stamp != Stamp(OffsetOf(shape, id))) return false;
    if (!sendUpTo(id + static_cast<uint32_t>(shape.inFlight))) return false;
  }
  return true;
}

struct Bridge {
  std::shared_ptr<WsServer> server = WsServer::Create();
  std::shared_ptr<RpcOutlet> outlet;
  std::unique_ptr<RpcDispatch> dispatch;
  int page = -1;

  bool Start() {
    if (!server->Start(kToken)) return false;
    outlet = std::make_shared<RpcOutlet>(server->OutletTarget());
    RpcDispatch::Options options;
    options.registry = &CapabilityTokenRegistry::Instance();
    dispatch = std::make_unique<RpcDispatch>(outlet, nullptr, options);
    plugins::RegisterNativePackRows(dispatch->routes());
    server->SetOnUiText([d = dispatch.get()](const std::string& text) { d->HandleMessage(text); });
    page = ConnectPage(*server);
    return page >= 0;
  }
  ~Bridge() {
    server->SetOnUiText(nullptr);
    outlet->Detach();
    server->Stop();
    if (page >= 0) net::CloseSocket(page);
  }
};

Figures MeasureBridge(Bridge& bridge, const Shape& shape, const std::vector<std::string>& requests) {
  const auto start = Clock::now();
  const bool ok = ReadPackAsPage(bridge.page, shape, requests);
  return {std::chrono::duration<double>(Clock::now() - start).count(), ok};
}

// The reference server: for each request frame it reads (and unmasks), the range of the shared
// order, pread from the file straight behind the reply's frame headers and sent in one write.
bool ServeRaw(int fd, const std::string& path, const Shape& shape) {
  platform::UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) return false;
  std::vector<uint8_t> request;
  std::vector<uint8_t> out(256 + 16 + shape.range);
  for (uint32_t id = 1; id <= RequestsOf(shape); ++id) {
    uint8_t opcode = 0, mask[4];
    uint64_t length = 0;
    if (!ReadFrameHeader(fd, &opcode, &length, mask) || length > 4096) return false;
    request.resize(static_cast<size_t>(length));
    if (!ReadExact(fd, request.data(), request.size())) return false;
    UnmaskWsPayload(reinterpret_cast<char*>(request.data()), request.size(), mask);
    const uint64_t offset = OffsetOf(shape, id);
    char reply[160];
    const int replyLength = std::snprintf(reply, sizeof reply, R"({"data":{"length":%zu,"offset":%llu,"requestId":%u},"id":%u})",
                                          shape.range, static_cast<unsigned long long>(offset), id, id);
    const std::string textHeader = EncodeWsFrameHeader(kWsText, static_cast<size_t>(replyLength));
    const std::string binaryHeader = EncodeWsFrameHeader(kWsBinary, 16 + shape.range);
    size_t at = 0;
    auto put = [&](const void* bytes, size_t n) {
      std::memcpy(out.data() + at, bytes, n);
      at += n;
    };
    put(textHeader.data(), textHeader.size());
    put(reply, static_cast<size_t>(replyLength));
    put(binaryHeader.data(), binaryHeader.size());
    uint8_t knvq[16];
    base::WriteLe32(knvq, base::FourCc("KNVQ"));
    base::WriteLe32(knvq + 4, id);
    base::WriteLe32(knvq + 8, static_cast<uint32_t>(shape.range));
    base::WriteLe32(knvq + 12, 0);
    put(knvq, sizeof knvq);
    if (pread(file.get(), out.data() + at, shape.range, static_cast<off_t>(offset)) !=
        static_cast<ssize_t>(shape.range)) {
      return false;
    }
    if (!net::SendAll(fd, out.data(), at + shape.range)) return false;
  }
  return true;
}

Figures MeasureTcp(const std::string& path, const Shape& shape, const std::vector<std::string>& requests) {
  benchclient::LoopbackPair tcp = benchclient::ConnectLoopbackPair();
  if (tcp.listenFd < 0) return {};
  const auto start = Clock::now();
  auto server = std::async(std::launch::async, [&] { return ServeRaw(tcp.server, path, shape); });
  const bool read = ReadPackAsPage(tcp.client, shape, requests);
  const bool served = server.get();
  Figures figures{std::chrono::duration<double>(Clock::now() - start).count(), read && served};
  tcp.Close();
  return figures;
}

bool MakePack(const std::string& path) {
  platform::UniqueFd file(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!file) return false;
  constexpr size_t kBlock = 2u << 20;
  std::vector<uint8_t> block(kBlock);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 131 + (i >> 12));
  for (uint64_t offset = 0; offset < kPackBytes; offset += kBlock) {
    for (size_t at = 0; at < kBlock; at += 16u << 10) {
      const uint64_t stamp = Stamp(offset + at);
      std::memcpy(block.data() + at, &stamp, sizeof stamp);
    }
    if (pwrite(file.get(), block.data(), block.size(), static_cast<off_t>(offset)) !=
        static_cast<ssize_t>(block.size())) {
      return false;
    }
  }
  return true;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main() {
  net::IgnoreSigpipe();
  std::string folder = platform::JoinPath(platform::TempDir(), "qv-bench-pack-XXXXXX");
  if (!mkdtemp(folder.data())) return 1;
  const std::string path = platform::JoinPath(folder, "session.pack.bin");
  // The dispatcher logs every request, as it does in the host: to a file (which takes standard
  // output), so the figures go to a copy of standard output made before.
  FILE* out = fdopen(dup(1), "w");
  if (!out) return 1;
  AttachLogFile(platform::JoinPath(folder, "bench.log"));
  int code = 1;
  if (MakePack(path)) {
    {
      std::lock_guard<std::mutex> lock(NativeDecodeMutex());
      RegisterNativePack(kPackId, folder, "com.qvn.decoder.bmsapi", kPackBytes);
    }
    Bridge bridge;
    if (bridge.Start()) {
      code = 0;
      std::fprintf(out, "256 MiB written pack, median of %d alternating rounds (MB/s)\n", kRounds);
      for (const Shape& shape : kShapes) {
        const std::vector<std::string> requests = MakeRequests(shape);
        std::vector<double> ws, tcp;
        bool ok = true;
        for (int round = 0; round < kRounds; ++round) {
          const Figures b = MeasureBridge(bridge, shape, requests);
          const Figures t = MeasureTcp(path, shape, requests);
          ws.push_back(b.seconds);
          tcp.push_back(t.seconds);
          ok = ok && b.ok && t.ok;
        }
        const double mb = double(kPackBytes) / (1024.0 * 1024.0);
        std::fprintf(out, "  %4zu KiB ranges, %3d in flight: readNativePluginPack %8.1f  pread+raw TCP %8.1f  ratio %.2f%s\n",
                     shape.range >> 10, shape.inFlight, mb / Median(ws), mb / Median(tcp), Median(tcp) / Median(ws),
                     ok ? "" : "  (FAILED)");
        if (!ok) code = 1;
      }
    }
  }
  std::fclose(out);
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  return code;
}
