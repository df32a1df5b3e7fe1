#include "base/base64.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string Base64Encode(const uint8_t* bytes, size_t length) {
  std::string out;
  out.reserve(4 * ((length + 2) / 3));
  size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    uint8_t b0 = bytes[i], b1 = bytes[i + 1], b2 = bytes[i + 2];
    out += kAlphabet[b0 >> 2];
    out += kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
    out += kAlphabet[((b1 & 15) << 2) | (b2 >> 6)];
    out += kAlphabet[b2 & 63];
  }
  if (length - i == 1) {
    uint8_t b0 = bytes[i];
    out += kAlphabet[b0 >> 2];
    out += kAlphabet[(b0 & 3) << 4];
    out += "==";
  } else if (length - i == 2) {
    uint8_t b0 = bytes[i], b1 = bytes[i + 1];
    out += kAlphabet[b0 >> 2];
    out += kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
    out += kAlphabet[(b1 & 15) << 2];
    out += '=';
  }
  return out;
}

std::vector<uint8_t> Base64Decode(const std::string& text) {
  std::vector<uint8_t> out;
  if (text.size() >= 4) out.reserve(text.size() / 4 * 3);
  uint32_t accumulator = 0;
  int pending = 0;
  for (unsigned char c : text) {
    if (c == '\r' || c == '\n' || c == '=') continue;
    int v = Value(c);
    if (v < 0) return {};
    accumulator = ((accumulator << 6) | uint32_t(v)) & 0xFFFFFF;
    pending += 6;
    if (pending >= 8) {
      pending -= 8;
      out.push_back(uint8_t(accumulator >> pending));
    }
  }
  return out;
}
