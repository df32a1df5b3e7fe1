#include "plugins/native_packs.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>

#include "base/bytes.h"
#include "base/log.h"
#include "base/never_destroyed.h"
#include "bridge/rpc_routes.h"
#include "platform/paths.h"
#include "platform/unique_fd.h"

using nlohmann::json;
using SteadyTime = std::chrono::steady_clock::time_point;

namespace {

struct NativePack {
  std::string directory;
  std::string pluginId;
  uint64_t size = 0;
  SteadyTime lastAccess;
  // The pack file, opened by the first read and kept for the pack's life. A read takes its own
  // reference before it lets the mutex go, so a close or purge meanwhile only drops the table's
  // reference: the descriptor is closed after the last read of it, never under one (and its
  // number cannot be reused by another open while a read still uses it).
  std::shared_ptr<const platform::UniqueFd> file;
};

struct PackTable {
  std::map<std::string, NativePack> packs;  // guarded by NativeDecodeMutex
  NativePackClock clock;
};

PackTable& Table() {
  static base::NeverDestroyed<PackTable> table;
  return table.get();
}

SteadyTime Now() {
  const NativePackClock& clock = Table().clock;
  return clock ? clock() : std::chrono::steady_clock::now();
}

bool IsPackId(const std::string& id) {
  if (id.size() != 32) return false;
  for (char c : id) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

void DeleteFolder(const std::string& folder) {
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);  // failures ignored: the folder stays on disk
}

// An integer member (signed or unsigned JSON integer); false when absent or another type.
bool IntegerMember(const json& payload, const char* key, json& out) {
  auto it = payload.find(key);
  if (it == payload.end() || !it->is_number_integer()) return false;
  out = *it;
  return true;
}

// The pread loop: the whole range or false.
bool ReadRange(int fd, uint64_t offset, uint8_t* out, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = pread(fd, out + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

json RangeRejected() { return {{"ok", false}, {"error", "native pack range rejected"}}; }

}  // namespace

std::mutex& NativeDecodeMutex() {
  static base::NeverDestroyed<std::mutex> mutex;
  return mutex.get();
}

void SetNativePackClockForTesting(NativePackClock clock) {
  std::lock_guard<std::mutex> lock(NativeDecodeMutex());
  Table().clock = std::move(clock);
}

std::string NativePackFolder(const std::string& packId) {
  return platform::JoinPath(platform::TempDir(), "qvn-native-pack-" + packId);
}

void PurgeIdleNativePacks() {
  PackTable& table = Table();
  const SteadyTime now = Now();
  for (auto it = table.packs.begin(); it != table.packs.end();) {
    if (now - it->second.lastAccess >= kNativePackIdle) {
      DeleteFolder(it->second.directory);
      it = table.packs.erase(it);
    } else {
      ++it;
    }
  }
}

bool RegisterNativePack(const std::string& packId, const std::string& folder, const std::string& pluginId,
                        uint64_t size) {
  if (!IsPackId(packId) || size < kMinNativePackBytes || size > kMaxNativePackBytes) return false;
  PurgeIdleNativePacks();
  PackTable& table = Table();
  if (table.packs.size() >= kMaxNativePacks && table.packs.find(packId) == table.packs.end()) return false;
  table.packs[packId] = NativePack{folder, pluginId, size, Now(), nullptr};
  return true;
}

json HandleNativePackRequest(const json& payload, std::vector<uint8_t>& frame) {
  // The frame is empty unless a read succeeded. The caller may hand the same buffer to every
  // read: it is only resized, and every byte of it is written below, so a 2 MiB read after a
  // 2 MiB read neither allocates nor clears.
  struct EmptyUnlessRead {
    std::vector<uint8_t>& frame;
    bool read = false;
    ~EmptyUnlessRead() {
      if (!read) frame.clear();
    }
  } result{frame};
  auto text = [&](const char* key) {
    auto it = payload.find(key);
    return it != payload.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  auto flag = [&](const char* key) {
    auto it = payload.find(key);
    return it != payload.end() && it->is_boolean() && it->get<bool>();
  };
  const std::string packId = text("packId");
  const bool close = flag("close");
  const bool touch = flag("touch");

  std::unique_lock<std::mutex> lock(NativeDecodeMutex());
  PurgeIdleNativePacks();
  PackTable& table = Table();
  auto it = table.packs.find(packId);
  if (it == table.packs.end()) return {{"ok", false}, {"error", "native pack is closed or expired"}};
  NativePack& pack = it->second;
  if (touch) {
    pack.lastAccess = Now();
    return {{"ok", true}};
  }
  if (close) {
    DeleteFolder(pack.directory);
    table.packs.erase(it);
    return {{"ok", true}};
  }

  json offsetValue, lengthValue, requestValue;
  if (!IntegerMember(payload, "offset", offsetValue) || !IntegerMember(payload, "length", lengthValue) ||
      !IntegerMember(payload, "requestId", requestValue)) {
    return RangeRejected();
  }
  // Negative numbers read as unsigned become huge and fail the range test below; a request id
  // outside 32 bits would be cut to another id, so it is refused rather than truncated.
  const uint64_t offset = offsetValue.get<uint64_t>();
  const uint64_t length = lengthValue.get<uint64_t>();
  const bool requestFits = requestValue.is_number_unsigned() ? requestValue.get<uint64_t>() <= 0xFFFFFFFFull
                                                             : requestValue.get<int64_t>() >= 0 &&
                                                                   requestValue.get<int64_t>() <= 0xFFFFFFFFll;
  const uint32_t requestId = requestFits ? static_cast<uint32_t>(requestValue.get<uint64_t>()) : 0;
  if (requestId == 0 || length > kMaxNativePackRead || offset > pack.size || pack.size - offset < length) {
    return RangeRejected();
  }
  if (!pack.file) {
    platform::UniqueFd opened(
        open(platform::JoinPath(pack.directory, "session.pack.bin").c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!opened) return {{"ok", false}, {"error", "native pack file unavailable"}};
    pack.file = std::make_shared<const platform::UniqueFd>(std::move(opened));
  }
  const std::shared_ptr<const platform::UniqueFd> file = pack.file;
  // The read itself runs without the mutex, so a 2 MiB read never holds up a decode worker's
  // registration or a touch; the entry is looked up again afterwards for its access time.
  lock.unlock();
  frame.resize(16 + static_cast<size_t>(length));
  base::WriteLe32(frame.data(), base::FourCc("KNVQ"));
  base::WriteLe32(frame.data() + 4, requestId);
  base::WriteLe32(frame.data() + 8, static_cast<uint32_t>(length));
  base::WriteLe32(frame.data() + 12, 0);
  if (!ReadRange(file->get(), offset, frame.data() + 16, static_cast<size_t>(length))) {
    return {{"ok", false}, {"error", "native pack range read failed"}};
  }
  result.read = true;
  lock.lock();
  if (auto again = table.packs.find(packId); again != table.packs.end() && again->second.file == file) {
    again->second.lastAccess = Now();
  }
  return {{"offset", offset}, {"length", length}, {"requestId", requestId}};
}

namespace plugins {

void RegisterNativePackRows(RpcRouteTable& routes) {
  auto row = [](const char* extraFlag) {
    return [extraFlag](const RpcRequest& r) {
      json payload = r.payload;
      // A read is only a read, whatever flags the page put beside it.
      payload.erase("touch");
      payload.erase("close");
      if (extraFlag) payload[extraFlag] = true;
      // Rows run on the page connection's thread, one at a time: its own buffer is reused for
      // every range it reads and goes with the thread.
      thread_local std::vector<uint8_t> frame;
      json reply = HandleNativePackRequest(payload, frame);
      if (reply.contains("error")) return r.ReplyError(reply["error"].get<std::string>());
      // The text reply goes first, in the same send: the page matches the frame to the reply it
      // already has.
      if (frame.empty()) return r.Reply(reply);
      r.ReplyThenBinary(reply, frame.data(), frame.size());
    };
  };
  routes.Register({"readNativePluginPack"}, row(nullptr));
  routes.Register({"touchNativePluginPack"}, row("touch"));
  routes.Register({"closeNativePluginPack"}, row("close"));
}

}  // namespace plugins

void ResetNativePacksForTesting() {
  std::lock_guard<std::mutex> lock(NativeDecodeMutex());
  Table().packs.clear();
  Table().clock = nullptr;
}
