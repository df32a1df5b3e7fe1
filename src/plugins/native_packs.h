#pragma once
// Decoded packs the page reads by range: a table of at most 32 open packs (folder, converter,
// size, last access), range reads answered by a JSON reply and then one "KNVQ" binary frame,
// touches, closes, and the purge of packs idle for 30 minutes.
//
// Threads: the page's requests on the bridge connection thread, registration and purges on
// decode workers. The table is guarded by NativeDecodeMutex, never held while a child process
// runs. A range read holds it only to look the pack up and to stamp its access time: the pack
// file is opened once and shared by reference, and the pread (at most 2 MiB) runs unlocked, so a
// close or purge during a read closes the descriptor only when that read has let it go. Frames
// are sent after the mutex is let go.
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

class RpcRouteTable;

// The one mutex over decodes in flight, early cancels and the native packs.
std::mutex& NativeDecodeMutex();

inline constexpr size_t kMaxNativePacks = 32;
inline constexpr uint64_t kMaxNativePackBytes = 2147483648ull;  // 2 GiB
inline constexpr uint64_t kMinNativePackBytes = 96;
inline constexpr uint64_t kMaxNativePackRead = 2097152;  // 2 MiB
inline constexpr std::chrono::seconds kNativePackIdle{1800};

using NativePackClock = std::function<std::chrono::steady_clock::time_point()>;
// Tests set a clock of their own; empty restores the steady clock.
void SetNativePackClockForTesting(NativePackClock clock);

// The pack file's folder for a pack id: "qvn-native-pack-<id>" in the user's temp folder.
std::string NativePackFolder(const std::string& packId);

// Enters a decoded pack (caller holds NativeDecodeMutex). Purges idle packs first; false when
// the id is not 32 lowercase hex characters, the size is outside 96 B..2 GiB or the table is
// full after the purge.
bool RegisterNativePack(const std::string& packId, const std::string& folder, const std::string& pluginId,
                        uint64_t size);

// Drops every pack idle for 30 minutes, deleting its folder (caller holds NativeDecodeMutex).
void PurgeIdleNativePacks();

// One pack request: "packId", with "touch": true or "close": true, or a range read ("offset",
// "length", "requestId"). A reply holding "error" is an error; frame is filled for a read.
nlohmann::json HandleNativePackRequest(const nlohmann::json& payload, std::vector<uint8_t>& frame);

namespace plugins {
// "readNativePluginPack", "touchNativePluginPack", "closeNativePluginPack", answered inline.
void RegisterNativePackRows(RpcRouteTable& routes);
}  // namespace plugins

// Empties the table without deleting folders (tests).
void ResetNativePacksForTesting();
