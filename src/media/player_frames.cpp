#include "media/player_frames.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace media {

namespace {

inline uint8_t Clamp(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

inline void PutPixel(uint8_t* out, int y, int u, int v) {
  const int c = 298 * y;
  out[0] = Clamp((c + 409 * v - 56992) >> 8);
  out[1] = Clamp((c - 100 * u - 208 * v + 34784) >> 8);
  out[2] = Clamp((c + 516 * u - 70688) >> 8);
  out[3] = 255;
}

inline int Clip(int v) { return std::min(std::max(v, 0), 255); }

// One row at the native size. Two pixels share a chroma pair; the loop over whole pairs is
// written so that the compiler can vectorise it.
void ConvertRow(const uint8_t* __restrict y, const uint8_t* __restrict uv, uint8_t* __restrict out, int width) {
  const int pairs = width / 2;
  for (int p = 0; p < pairs; ++p) {
    const int u = uv[2 * p], v = uv[2 * p + 1];
    const int r = 409 * v - 56992, g = 34784 - 100 * u - 208 * v, b = 516 * u - 70688;
    const int c0 = 298 * y[2 * p], c1 = 298 * y[2 * p + 1];
    out[8 * p + 0] = static_cast<uint8_t>(Clip((c0 + r) >> 8));
    out[8 * p + 1] = static_cast<uint8_t>(Clip((c0 + g) >> 8));
    out[8 * p + 2] = static_cast<uint8_t>(Clip((c0 + b) >> 8));
    out[8 * p + 3] = 255;
    out[8 * p + 4] = static_cast<uint8_t>(Clip((c1 + r) >> 8));
    out[8 * p + 5] = static_cast<uint8_t>(Clip((c1 + g) >> 8));
    out[8 * p + 6] = static_cast<uint8_t>(Clip((c1 + b) >> 8));
    out[8 * p + 7] = 255;
  }
  if (width % 2) PutPixel(out + 4 * (width - 1), y[width - 1], uv[width - 1], uv[width]);
}

void PutLE32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

ImageSize OutputImageSize(int nativeWidth, int nativeHeight, int outputWidth, int outputHeight) {
  if (nativeWidth < 1 || nativeHeight < 1) return {};
  const int ow = outputWidth < 1 ? nativeWidth : outputWidth;
  const int oh = outputHeight < 1 ? nativeHeight : outputHeight;
  double scale = std::min(static_cast<double>(oh) / nativeHeight, static_cast<double>(ow) / nativeWidth);
  if (std::fabs(scale - 1.0) <= 0.01) scale = 1.0;
  const double limitPixels = static_cast<double>(kMaxFrameBytes / 4);
  const double pixels = scale * nativeWidth * scale * nativeHeight;
  if (pixels > limitPixels) scale *= std::sqrt(limitPixels / pixels);
  ImageSize size;
  if (scale == 1.0) return {nativeWidth, nativeHeight};
  size.width = std::max(1, static_cast<int>(std::lround(nativeWidth * scale)));
  size.height = std::max(1, static_cast<int>(std::lround(nativeHeight * scale)));
  // Rounding up may step just past the limit: give back one row or column.
  while (static_cast<uint64_t>(size.width) * size.height * 4 > kMaxFrameBytes) {
    if (size.width >= size.height) --size.width; else --size.height;
  }
  return size;
}

bool Nv12PictureFits(const Nv12Picture& p) {
  if (!p.data || p.width < 1 || p.height < 1 || p.uvRowOffset < p.height) return false;
  // The last chroma pair of a row of odd width is read up to byte width (one past the last luma).
  const int64_t rowBytes = (static_cast<int64_t>(p.width) + 1) & ~int64_t(1);
  if (p.stride < rowBytes) return false;
  const int64_t chromaRows = (static_cast<int64_t>(p.height) + 1) / 2;
  const int64_t needed = static_cast<int64_t>(p.stride) * (p.uvRowOffset + chromaRows - 1) + rowBytes;
  return needed <= static_cast<int64_t>(p.size);
}

bool ConvertNv12ToRgbaScaled(const Nv12Picture& p, uint8_t* rgba, int width, int height) {
  if (!rgba || width < 1 || height < 1 || !Nv12PictureFits(p)) return false;
  const uint8_t* uvPlane = p.data + static_cast<size_t>(p.stride) * p.uvRowOffset;
  if (width == p.width && height == p.height) {
    for (int i = 0; i < height; ++i) {
      ConvertRow(p.data + static_cast<size_t>(p.stride) * i, uvPlane + static_cast<size_t>(p.stride) * (i / 2),
                 rgba + static_cast<size_t>(width) * 4 * i, width);
    }
    return true;
  }
  std::vector<int> columns(static_cast<size_t>(width));
  for (int c = 0; c < width; ++c) {
    columns[c] = static_cast<int>(std::min<int64_t>(static_cast<int64_t>(c) * p.width / width, p.width - 1));
  }
  for (int r = 0; r < height; ++r) {
    const int i = static_cast<int>(std::min<int64_t>(static_cast<int64_t>(r) * p.height / height, p.height - 1));
    const uint8_t* y = p.data + static_cast<size_t>(p.stride) * i;
    const uint8_t* uv = uvPlane + static_cast<size_t>(p.stride) * (i / 2);
    uint8_t* out = rgba + static_cast<size_t>(width) * 4 * r;
    for (int c = 0; c < width; ++c) {
      const int j = columns[c];
      const int k = (j / 2) * 2;
      PutPixel(out + 4 * c, y[j], uv[k], uv[k + 1]);
    }
  }
  return true;
}

uint8_t* PrepareRnvqFrame(std::vector<uint8_t>& out, int32_t playerID, int width, int height, double time,
                          uint32_t generation) {
  const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
  out.resize(kRnvqHeaderBytes + pixels);
  uint8_t* p = out.data();
  PutLE32(p, kRnvqMagic);
  PutLE32(p + 4, static_cast<uint32_t>(playerID));
  PutLE32(p + 8, static_cast<uint32_t>(width));
  PutLE32(p + 12, static_cast<uint32_t>(height));
  uint64_t bits;
  std::memcpy(&bits, &time, 8);
  PutLE32(p + 16, static_cast<uint32_t>(bits));
  PutLE32(p + 20, static_cast<uint32_t>(bits >> 32));
  PutLE32(p + 24, generation);
  return p + kRnvqHeaderBytes;
}

}  // namespace media
