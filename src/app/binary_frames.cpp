#include "app/binary_frames.h"

#include <cstring>

namespace {

uint32_t ReadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

constexpr uint32_t Magic(const char (&tag)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(tag[0])) | static_cast<uint32_t>(static_cast<uint8_t>(tag[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(tag[2])) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(tag[3])) << 24;
}

}  // namespace

void UiBinaryHandler(const BinaryFrameTargets& targets, const uint8_t* data, size_t length) {
  if (!data || length < 4) return;
  const uint32_t magic = ReadU32(data);
  if (magic == Magic("BNVQ")) {
    if (length >= 12 && targets.deliverBlobChunk)
      targets.deliverBlobChunk(ReadU32(data + 4), ReadU32(data + 8), data + 12, length - 12);
    return;
  }
  if (magic == Magic("FNVQ")) {
    if (length < 20) return;
    const uint32_t width = ReadU32(data + 4);
    const uint32_t height = ReadU32(data + 8);
    // In 64 bits a u32 x u32 product cannot wrap; x 4 could, so compare against the room left.
    const uint64_t pixels = static_cast<uint64_t>(width) * height;
    if (pixels > (length - 20) / 4) return;
    double timestamp;
    std::memcpy(&timestamp, data + 12, sizeof timestamp);
    if (targets.writeVideoFrame) targets.writeVideoFrame(data + 20, width, height, timestamp);
    return;
  }
  if (magic == Magic("ANVQ")) {
    if (length < 16) return;
    const uint32_t channels = ReadU32(data + 8);
    const uint32_t byteCount = ReadU32(data + 12);
    if (channels == 0 || byteCount > length - 16) return;
    if (targets.writeAudioFrames) targets.writeAudioFrames(data + 16, (byteCount / 4) / channels, channels);
    return;
  }
}
