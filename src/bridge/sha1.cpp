#include "bridge/sha1.h"

#include <cstring>

namespace {

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void Compress(uint32_t h[5], const uint8_t block[64]) {
  uint32_t w[80];
  for (int t = 0; t < 16; ++t) {
    w[t] = (uint32_t(block[4 * t]) << 24) | (uint32_t(block[4 * t + 1]) << 16) |
           (uint32_t(block[4 * t + 2]) << 8) | uint32_t(block[4 * t + 3]);
  }
  for (int t = 16; t < 80; ++t) w[t] = Rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
  for (int t = 0; t < 80; ++t) {
    uint32_t f, k;
    if (t < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (t < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (t < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    uint32_t temp = Rotl(a, 5) + f + e + k + w[t];
    e = d;
    d = c;
    c = Rotl(b, 30);
    b = a;
    a = temp;
  }
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
}

}  // namespace

std::array<uint8_t, 20> Sha1(const uint8_t* bytes, size_t length) {
  uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  size_t whole = length / 64;
  for (size_t i = 0; i < whole; ++i) Compress(h, bytes + 64 * i);

  // Padding: 0x80, zeros, then the bit length big-endian in the last 8 bytes of a block.
  uint8_t tail[128] = {};
  size_t rest = length % 64;
  if (rest) std::memcpy(tail, bytes + 64 * whole, rest);
  tail[rest] = 0x80;
  size_t tailLength = rest < 56 ? 64 : 128;
  uint64_t bits = uint64_t(length) * 8;
  for (int i = 0; i < 8; ++i) tail[tailLength - 1 - i] = uint8_t(bits >> (8 * i));
  Compress(h, tail);
  if (tailLength == 128) Compress(h, tail + 64);

  std::array<uint8_t, 20> out{};
  for (int i = 0; i < 5; ++i) {
    out[4 * i] = uint8_t(h[i] >> 24);
    out[4 * i + 1] = uint8_t(h[i] >> 16);
    out[4 * i + 2] = uint8_t(h[i] >> 8);
    out[4 * i + 3] = uint8_t(h[i]);
  }
  return out;
}
