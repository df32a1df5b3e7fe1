#include "bridge/tokens/base64url.h"

#include <cstdint>

namespace {

// Value of one character, 64 for "=", -1 for a character outside both alphabets.
int SextetValue(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '-' || c == '+') return 62;
  if (c == '_' || c == '/') return 63;
  if (c == '=') return 64;
  return -1;
}

}  // namespace

bool Base64UrlDecode(std::string_view text, std::string& out) {
  out.clear();
  const size_t padded = (text.size() + 3) / 4 * 4;
  out.reserve(padded / 4 * 3);
  for (size_t q = 0; q < padded; q += 4) {
    uint32_t bits = 0;
    size_t produced = 3;
    for (size_t i = 0; i < 4; ++i) {
      const size_t pos = q + i;
      const int v = pos < text.size() ? SextetValue(text[pos]) : 64;
      if (v < 0) return false;
      if (v == 64) {
        if (i >= 2) --produced;
        bits <<= 6;
      } else {
        bits = (bits << 6) | static_cast<uint32_t>(v);
      }
    }
    const char bytes[3] = {static_cast<char>((bits >> 16) & 0xff), static_cast<char>((bits >> 8) & 0xff),
                           static_cast<char>(bits & 0xff)};
    out.append(bytes, produced);
  }
  return true;
}
