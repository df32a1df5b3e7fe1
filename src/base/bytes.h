#pragma once
// Little-endian reads and writes of fixed-width integers in byte buffers (binary frames, packs,
// containers). The caller has checked that the bytes are there.
#include <cstdint>
#include <string>
#include <vector>

namespace base {

inline uint16_t ReadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t ReadLe64(const uint8_t* p) {
  return static_cast<uint64_t>(ReadLe32(p)) | (static_cast<uint64_t>(ReadLe32(p + 4)) << 32);
}
// A four-character tag ("BNVQ") as the 32-bit value a little-endian read of it gives.
constexpr uint32_t FourCc(const char (&tag)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(tag[0])) | static_cast<uint32_t>(static_cast<uint8_t>(tag[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(tag[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(tag[3])) << 24;
}

inline void AppendLe16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void AppendLe32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void AppendLe64(std::vector<uint8_t>& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void WriteLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace base
