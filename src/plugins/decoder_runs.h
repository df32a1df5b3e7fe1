#pragma once
// One run of a decoder plugin child, waited for on the calling decode worker thread:
// RunJsonDecoder (one request line in, one JSON document out) and RunPackConverter (the input
// file as the child's stdin, the pack file as its stdout, progress as JSON lines on stderr).
// Both return an error text, "" on success.
//
// Threads: any number of decode workers at once. PackageStoreMutex is held only from the launch
// preparation until the child has started; the wait runs without any lock. The cancel predicate
// is read on every pass of the converter's wait (at most 25 ms apart) and may be set from
// another thread. Every run ends with its child ended and reaped and every descriptor closed.
//
// Invariants: no pipe of a child can stall it or the host: stdin, stdout and stderr of a JSON
// decoder are served by one poll loop under its deadline, and a converter's stderr is drained
// without blocking into a bounded buffer. Error texts are valid UTF-8 whatever the child wrote.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "plugins/launch_spec.h"

namespace plugins {

inline constexpr const char* kPdsConverterId = "com.qvn.decoder.pds";
inline constexpr const char* kBmsConverterId = "com.qvn.decoder.bmsapi";
bool IsNativeConverterId(const std::string& pluginId);

inline constexpr size_t kJsonDecoderStdoutLimit = 33554432;  // 32 MiB
inline constexpr size_t kConverterStderrBuffer = 65536;
inline constexpr uint64_t kConverterPackLimit = 2147483648ull;  // 2 GiB

struct DecoderRunLimits {
  std::chrono::milliseconds jsonTimeout{60000};
  std::chrono::milliseconds converterTimeout{600000};
};

using DecodeProgressFn = std::function<void(const nlohmann::json& progress)>;

// What one converter run remembers of its stderr.
struct ConverterProgressState {
  double lastRatio = -1.0;
  std::string lastPhase;
  std::chrono::steady_clock::time_point lastForward = std::chrono::steady_clock::now();
  std::string lastStderrLine;
  std::string unread;  // at most kConverterStderrBuffer bytes
};

// Takes stderr bytes of a converter: keeps the buffer bounded, cuts complete lines, remembers the
// last one and hands each line that parses as JSON to HandleConverterProgressLine.
void AppendConverterStderr(ConverterProgressState& state, const char* bytes, size_t length,
                           const DecodeProgressFn& progress, std::chrono::steady_clock::time_point now);
// Forwards a progress line when it carries a finite numeric "ratio"; the forwarded ratio never
// falls, and small rises within 100 ms of the same phase are dropped.
void HandleConverterProgressLine(ConverterProgressState& state, nlohmann::json value, const DecodeProgressFn& progress,
                                 std::chrono::steady_clock::time_point now);

// context.capability is forced to "decode". stdoutOut receives what was collected.
std::string RunJsonDecoder(const PluginLaunchContext& context, const std::string& request, std::string* stdoutOut,
                           const DecoderRunLimits& limits = {});

std::string RunPackConverter(const PluginLaunchContext& context, const std::string& inputPath,
                             const std::string& packPath, const std::string& fileName,
                             const std::function<bool()>& cancelled, const DecodeProgressFn& progress,
                             const DecoderRunLimits& limits = {});

// Bytes that are not UTF-8 become U+FFFD, so a child's text can go into a JSON reply.
std::string ToValidUtf8(const std::string& text);

}  // namespace plugins
