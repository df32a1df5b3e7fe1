#pragma once
// What the fuzz targets share: a token registry over the development issuer, and a reader of
// the fuzzer's bytes that hands out pieces, numbers and texts until the bytes run out.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "bridge/tokens/capability_token_registry.h"

namespace fuzzsupport {

constexpr int64_t kNow = 1'800'000'000;
constexpr const char* kIssuer = "https://issuer.fuzz.invalid";

// The development issuer's key pair (from its fixed seed), built once.
struct DevIssuer;
const DevIssuer& Issuer();
std::string MintCapToken(const std::string& payloadText);
std::string SignRevocationListText(const std::string& listText);
CapabilityTokenRegistry& FreshRegistry();

class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t Byte() { return empty() ? 0 : data_[pos_++]; }
  // Up to max bytes (fewer at the end).
  std::string Take(size_t max) {
    size_t n = std::min(max, size_ - pos_);
    std::string out(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return out;
  }
  std::string Rest() { return Take(size_ - pos_); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace fuzzsupport
