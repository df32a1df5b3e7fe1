#include "plugins/sha256.h"

#include <array>

#include "base/strings.h"

std::string Sha256Hex(const void* data, size_t length) {
  plugins::Sha256 hasher;
  hasher.Update(data, length);
  const std::array<uint8_t, 32> digest = hasher.Finish();
  return HexLower(digest.data(), digest.size());
}
