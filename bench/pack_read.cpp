// Reading a 1 GiB decoded pack the way the page does: "readNativePluginPack" requests of 2 MiB,
// each answered by its text reply and then its "KNVQ" frame, one range at a time, through the
// bridge listener and the dispatcher with the pack rows registered. Beside it, in the same run
// and in alternating rounds: the same file read in 2 MiB preads and sent over raw loopback TCP in
// 2 MiB writes to a reader that discards. Prints MB/s of both and their ratio.
//
// The pack is a sparse file unless "--written" is given (then it is written once, and every
// range's first bytes are checked against what was written).
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

constexpr uint64_t kPackBytes = 1ull << 30;
constexpr size_t kRange = 2u * 1024 * 1024;
constexpr int kRounds = 9;
const std::string kPackId = "0123456789abcdef0123456789abcdef";

// The first 8 bytes of each range of a written pack: its offset.
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

// One frame from the host (never masked): opcode and payload into a buffer the caller reuses.
bool ReadFrame(int fd, uint8_t* opcode, std::vector<uint8_t>& payload) {
  uint8_t head[2];
  if (!ReadExact(fd, head, 2)) return false;
  *opcode = head[0] & 0x0f;
  uint64_t length = head[1] & 0x7f;
  if (length == 126 || length == 127) {
    uint8_t ext[8];
    const size_t n = length == 126 ? 2 : 8;
    if (!ReadExact(fd, ext, n)) return false;
    length = 0;
    for (size_t i = 0; i < n; ++i) length = (length << 8) | ext[i];
  }
  if (length > (64u << 20)) return false;
  payload.resize(static_cast<size_t>(length));
  return ReadExact(fd, payload.data(), payload.size());
}

// The page's side: one request, then its reply and its frame, for every range of the pack.
bool ReadPackAsPage(int fd, bool written) {
  // Two buffers, so the 2 MiB one keeps its size from range to range and is never refilled.
  std::vector<uint8_t> text, payload;
  uint32_t requestId = 0;
  for (uint64_t offset = 0; offset < kPackBytes; offset += kRange) {
    ++requestId;
    const nlohmann::json request = {
        {"id", requestId},
        {"type", "readNativePluginPack"},
        {"payload", {{"packId", kPackId}, {"offset", offset}, {"length", kRange}, {"requestId", requestId}}}};
    const std::string frame = MaskedFrame(kWsText, request.dump());
    if (!net::SendAll(fd, frame.data(), frame.size())) return false;
    uint8_t opcode = 0;
    if (!ReadFrame(fd, &opcode, text) || opcode != kWsText) return false;
    const nlohmann::json reply = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
    if (!reply.is_object() || reply.value("id", 0u) != requestId || !reply.contains("data")) return false;
    if (!ReadFrame(fd, &opcode, payload) || opcode != kWsBinary || payload.size() != 16 + kRange) return false;
    if (base::ReadLe32(payload.data()) != base::FourCc("KNVQ") || base::ReadLe32(payload.data() + 4) != requestId ||
        base::ReadLe32(payload.data() + 8) != kRange) {
      return false;
    }
    uint64_t stamp = 0;
    std::memcpy(&stamp, payload.data() + 16, sizeof stamp);
    if (written && stamp != Stamp(offset)) return false;
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

Figures MeasureBridge(Bridge& bridge, bool written) {
  const auto start = Clock::now();
  const bool ok = ReadPackAsPage(bridge.page, written);
  return {std::chrono::duration<double>(Clock::now() - start).count(), ok};
}

// The reference: the same file in 2 MiB preads, each sent whole over loopback TCP.
Figures MeasureTcp(const std::string& path) {
  benchclient::LoopbackPair tcp = benchclient::ConnectLoopbackPair();
  if (tcp.listenFd < 0) return {};
  const int client = tcp.client;
  const int fd = tcp.server;
  auto reader = std::async(std::launch::async, [client] {
    std::vector<uint8_t> buffer(kRange);
    for (uint64_t got = 0; got < kPackBytes;) {
      ssize_t n = net::Receive(client, buffer.data(), buffer.size());
      if (n <= 0) return false;
      got += static_cast<uint64_t>(n);
    }
    return true;
  });
  const auto start = Clock::now();
  platform::UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::vector<uint8_t> buffer(kRange);
  bool sent = static_cast<bool>(file);
  for (uint64_t offset = 0; offset < kPackBytes && sent; offset += kRange) {
    sent = pread(file.get(), buffer.data(), kRange, static_cast<off_t>(offset)) == static_cast<ssize_t>(kRange) &&
           net::SendAll(fd, buffer.data(), buffer.size());
  }
  const bool read = reader.get();
  Figures figures{std::chrono::duration<double>(Clock::now() - start).count(), sent && read};
  tcp.Close();
  return figures;
}

bool MakePack(const std::string& path, bool written) {
  platform::UniqueFd file(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!file) return false;
  if (!written) return ftruncate(file.get(), static_cast<off_t>(kPackBytes)) == 0;
  std::vector<uint8_t> block(kRange);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 131 + (i >> 12));
  for (uint64_t offset = 0; offset < kPackBytes; offset += kRange) {
    const uint64_t stamp = Stamp(offset);
    std::memcpy(block.data(), &stamp, sizeof stamp);
    if (pwrite(file.get(), block.data(), block.size(), static_cast<off_t>(offset)) !=
        static_cast<ssize_t>(block.size())) {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  net::IgnoreSigpipe();
  const bool written = argc > 1 && std::strcmp(argv[1], "--written") == 0;
  std::string folder = platform::JoinPath(platform::TempDir(), "qv-bench-pack-XXXXXX");
  if (!mkdtemp(folder.data())) return 1;
  const std::string path = platform::JoinPath(folder, "session.pack.bin");
  // The dispatcher logs every request, as it does in the host: to a file (which takes standard
  // output), so the figures go to a copy of standard output made before.
  FILE* out = fdopen(dup(1), "w");
  if (!out) return 1;
  AttachLogFile(platform::JoinPath(folder, "bench.log"));
  int code = 1;
  if (MakePack(path, written)) {
    {
      std::lock_guard<std::mutex> lock(NativeDecodeMutex());
      RegisterNativePack(kPackId, folder, "com.qvn.decoder.bmsapi", kPackBytes);
    }
    Bridge bridge;
    if (bridge.Start()) {
      std::vector<double> ws, tcp;
      bool ok = true;
      for (int round = 0; round < kRounds; ++round) {
        const Figures b = MeasureBridge(bridge, written);
        const Figures t = MeasureTcp(path);
        ws.push_back(b.seconds);
        tcp.push_back(t.seconds);
        ok = ok && b.ok && t.ok;
      }
      std::sort(ws.begin(), ws.end());
      std::sort(tcp.begin(), tcp.end());
      const double mb = double(kPackBytes) / (1024.0 * 1024.0);
      std::fprintf(out, "1 GiB %s pack in 2 MiB ranges, one at a time (median of %d, spread fastest-slowest)%s\n",
                  written ? "written" : "sparse", kRounds, ok ? "" : "  (FAILED)");
      std::fprintf(out, "  %-22s %8.1f MB/s (%.1f-%.1f)\n", "readNativePluginPack", mb / ws[kRounds / 2], mb / ws.back(),
                  mb / ws.front());
      std::fprintf(out, "  %-22s %8.1f MB/s (%.1f-%.1f)\n", "pread + loopback TCP", mb / tcp[kRounds / 2], mb / tcp.back(),
                  mb / tcp.front());
      std::fprintf(out, "  ratio                  %.2f: pack reads of the raw reference\n", tcp[kRounds / 2] / ws[kRounds / 2]);
      code = ok ? 0 : 1;
    }
  }
  std::fclose(out);
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  return code;
}
