#pragma once
// The page's decode requests: "decodeTelemetryPlugin" and "decodeNativePlugin" (the same
// handler) on a detached worker thread each, taking either the converter road (a native
// converter writes a pack that is registered for range reads) or the JSON road (a decoder
// answers one JSON document); "cancelNativePluginDecode" answered inline.
//
// Threads: decodes on their own workers, cancels on the bridge connection thread. The tables of
// decodes in flight (at most 32) and of early cancels (at most 128, each kept 90 s) are guarded
// by NativeDecodeMutex, which is held only for table work, never across an input transfer or a
// child run. A running converter reads its cancel flag, an atomic shared with its table entry.
//
// Invariants: every answer is {"ok": true, ...} or {"ok": false, "fallback": true, "error", and
// "code" when one is known}; after a failed converter decode no in-flight entry, spool file or
// pack folder is left.
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "plugins/decode_input_reader.h"
#include "plugins/decoder_runs.h"
#include "plugins/sdk_discovery.h"

class BlobChunkRouter;
class RpcRouteTable;

namespace plugins {

inline constexpr size_t kMaxDecodesInFlight = 32;
inline constexpr size_t kMaxEarlyCancels = 128;
inline constexpr std::chrono::seconds kEarlyCancelLife{90};
inline constexpr size_t kMaxDecodeIdChars = 128;
inline constexpr size_t kMaxSpooledInputBytes = 33554432;  // 32 MiB

struct DecodeOptions {
  const SdkSearchPlaces* places = nullptr;  // null: this machine's
  DecoderRunLimits limits;
};

nlohmann::json DecodeTelemetryPlugin(const nlohmann::json& payload, bool developerMode, const DecodeProgressFn& progress,
                                     const PluginInputReader& reader, const DecodeOptions& options = {});

// Always {"ok": true}: sets the flag of a decode in flight, or remembers the cancel for 90 s.
nlohmann::json CancelNativePluginDecode(const nlohmann::json& payload);

// The "plugin.decodeProgress" event for a progress object of the decode asked for by payload.
nlohmann::json MakeDecodeProgressEvent(const nlohmann::json& progress, const nlohmann::json& payload);

using DecodeClock = std::function<std::chrono::steady_clock::time_point()>;
// Tests set a clock of their own for the early cancels; empty restores the steady clock.
void SetDecodeClockForTesting(DecodeClock clock);
// Empties both tables (tests).
void ResetDecodeTablesForTesting();

// "decodeTelemetryPlugin", "decodeNativePlugin" (worker threads) and "cancelNativePluginDecode".
void RegisterDecodeRows(RpcRouteTable& routes, std::function<bool()> developerMode,
                        std::shared_ptr<BlobChunkRouter> blobRouter);

}  // namespace plugins
