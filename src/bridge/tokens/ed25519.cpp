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
