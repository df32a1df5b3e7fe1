#pragma once
// The pixels of a native player's frames: the size a frame is sent at, NV12 to RGBA (BT.601
// limited range, nearest-neighbour when scaled) and the "RNVQ" message that carries it.
// Pure functions, used by the pump thread of each player.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace media {

// Frames are never larger than this many RGBA bytes (width * height * 4).
constexpr uint64_t kMaxFrameBytes = 64ull << 20;
constexpr size_t kRnvqHeaderBytes = 28;
constexpr uint32_t kRnvqMagic = 0x51564E52;  // "RNVQ"

struct ImageSize {
  int width = 0, height = 0;
};

// The size a frame of native size is sent at for the requested output size (below 1: the native
// size): the native size scaled by min(oh / nh, ow / nw), each side rounded and at least 1, or
// the native size itself when that scale is within 0.01 of 1. The aspect ratio is kept, and a
// result above kMaxFrameBytes is scaled down until it fits. {0, 0} for a native size below 1.
ImageSize OutputImageSize(int nativeWidth, int nativeHeight, int outputWidth, int outputHeight);

// An NV12 picture: rows stride bytes apart, the chroma plane starting uvRowOffset rows after the
// luma plane, size bytes in all.
struct Nv12Picture {
  const uint8_t* data = nullptr;
  size_t size = 0;
  int width = 0, height = 0, stride = 0, uvRowOffset = 0;
};

// Whether every byte the conversion reads lies inside the picture.
bool Nv12PictureFits(const Nv12Picture& picture);

// Converts to RGBA at width x height into rgba (width * height * 4 bytes, rows without padding,
// alpha 255), nearest-neighbour when the size differs from the picture's. False, and nothing
// written, when the picture does not fit its buffer or a size is below 1.
bool ConvertNv12ToRgbaScaled(const Nv12Picture& picture, uint8_t* rgba, int width, int height);

// Lays out an "RNVQ" message for a width x height frame into out (resized; the pixels follow
// the header and are left for the caller to fill) and returns where the pixels go.
uint8_t* PrepareRnvqFrame(std::vector<uint8_t>& out, int32_t playerID, int width, int height, double time,
                          uint32_t generation);

}  // namespace media
