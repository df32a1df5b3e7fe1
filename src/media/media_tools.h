#pragma once
// The one-shot media tools of the page: "probeVideoMetadata" (duration, size, frame rate, audio
// present), "decodeFrameNative" (that the frame showing at a time decodes, and its size) and
// "extractAudioNative" (the PCM of a time range, base64 in the reply).
//
// Threads: the tools run on the caller's thread and share nothing; the rows answer the checks
// of the request at once on the connection thread and run the tool on one detached worker per
// request, which holds its own copy of the request and shared ownership of the outlet, and
// answers once. Each tool opens its own reader (platform::media::SourceReader, software decode).
//
// Bounds: the extracted PCM never exceeds kMaxExtractedPcmBytes; extraction stops before the
// first decoded frame that would cross it, so what is returned is one gapless stretch.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bridge/rpc_routes.h"

namespace media {

inline constexpr size_t kMaxExtractedPcmBytes = 536870912;  // 512 MiB

struct VideoMetadata {
  bool success = false;
  std::string error;
  double durationSec = 0;
  int32_t width = 0, height = 0;
  double fps = 0;
  bool hasAudio = false;
};

// What decodeFrameNative found: the size of the frame showing at the requested time. The
// picture itself (NV12, stride = width rounded up to even) and its time are kept for the
// host's own checks; the page is not sent pixels.
struct DecodedFrame {
  bool success = false;
  std::string error;
  int32_t width = 0, height = 0;
  double timeSec = 0;
  std::vector<uint8_t> nv12;
};

// Interleaved signed 16-bit samples at the stream's own rate and channel count.
struct ExtractedAudio {
  bool success = false;
  std::string error;
  std::vector<uint8_t> pcm;
  uint32_t sampleRate = 0, channels = 0;
};

VideoMetadata ProbeVideoMetadata(const std::string& path);
DecodedFrame DecodeFrameNative(const std::string& path, double timestampSec);
// Whole decoded frames from the one covering max(startTimeSec, 0) up to the last that begins
// before endTimeSec, at most maxBytes of them (tests lower the bound).
ExtractedAudio ExtractAudioNative(const std::string& path, double startTimeSec, double endTimeSec,
                                  size_t maxBytes = kMaxExtractedPcmBytes);

// The rows of the three tools.
void RegisterMediaToolRows(RpcRouteTable& routes);

}  // namespace media
