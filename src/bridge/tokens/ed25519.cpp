#include "bridge/tokens/ed25519.h"

#include <sodium.h>

bool VerifyEd25519(const Ed25519PublicKey& key, std::string_view signature, std::string_view message) {
  if (signature.size() != crypto_sign_BYTES || message.size() > kMaxSignedMessageBytes) return false;
  // sodium_init is idempotent and thread-safe; a library that cannot start verifies nothing.
  if (sodium_init() < 0) return false;
  return crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.data()),
                                     reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                                     key.data()) == 0;
}

Ed25519PublicKey Ed25519KeyFromHex(const char* hex) {
  Ed25519PublicKey key{};
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  for (size_t i = 0; i < key.size(); ++i) {
    const int hi = nibble(hex[2 * i]);
    const int lo = hi < 0 ? -1 : nibble(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return Ed25519PublicKey{};
    key[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return key;
}
