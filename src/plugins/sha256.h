#pragma once
// SHA-256 (FIPS 180-4) of package bytes, our own code so the package path needs no crypto library.
// Pure functions and a small incremental hasher; no shared state, any thread.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace plugins {

class Sha256 {
 public:
  Sha256();
  void Update(const void* data, size_t length);
  std::array<uint8_t, 32> Finish();

 private:
  void Block(const uint8_t* block);
  uint32_t h_[8];
  uint8_t buffer_[64];
  size_t buffered_ = 0;
  uint64_t totalBytes_ = 0;
};

}  // namespace plugins

// SHA-256 of the bytes as 64 lowercase hex digits.
std::string Sha256Hex(const void* data, size_t length);
inline std::string Sha256Hex(const std::string& bytes) { return Sha256Hex(bytes.data(), bytes.size()); }
