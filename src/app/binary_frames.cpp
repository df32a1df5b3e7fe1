#include "app/binary_frames.h"

#include <cstring>

#include "base/bytes.h"

using base::FourCc;
using base::ReadLe32;

void UiBinaryHandler(const BinaryFrameTargets& targets, const uint8_t* data, size_t length) {
  if (!data || length < 4) return;
  const uint32_t magic = ReadLe32(data);
  if (magic == FourCc("BNVQ")) {
    if (length >= 12 && targets.deliverBlobChunk)
      targets.deliverBlobChunk(ReadLe32(data + 4), ReadLe32(data + 8), data + 12, length - 12);
    return;
  }
  if (magic == FourCc("FNVQ")) {
    if (length < 20) return;
    const uint32_t width = ReadLe32(data + 4);
    const uint32_t height = ReadLe32(data + 8);
    // In 64 bits a u32 x u32 product cannot wrap; x 4 could, so compare against the room left.
    const uint64_t pixels = static_cast<uint64_t>(width) * height;
    if (pixels > (length - 20) / 4) return;
    double timestamp;
    std::memcpy(&timestamp, data + 12, sizeof timestamp);
    if (targets.writeVideoFrame) targets.writeVideoFrame(data + 20, length - 20, width, height, timestamp);
    return;
  }
  if (magic == FourCc("ANVQ")) {
    if (length < 16) return;
    const uint32_t channels = ReadLe32(data + 8);
    const uint32_t byteCount = ReadLe32(data + 12);
    if (channels == 0 || byteCount > length - 16) return;
    if (targets.writeAudioFrames) targets.writeAudioFrames(data + 16, byteCount, (byteCount / 4) / channels, channels);
    return;
  }
}
