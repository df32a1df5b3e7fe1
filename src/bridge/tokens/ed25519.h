#pragma once
// Ed25519 signature checks against a trusted public key (the host verifies, it never signs).
#include <array>
#include <cstdint>
#include <string_view>

using Ed25519PublicKey = std::array<uint8_t, 32>;

// Largest message the host verifies; anything longer is refused unread.
constexpr size_t kMaxSignedMessageBytes = 1024 * 1024;

// False unless signature is 64 bytes, message at most kMaxSignedMessageBytes, and the signature
// is a valid Ed25519 signature of message under key.
bool VerifyEd25519(const Ed25519PublicKey& key, std::string_view signature, std::string_view message);

// The key written as 64 lowercase hex characters (a build setting); all zeros, which verifies
// nothing, when the text is not that.
Ed25519PublicKey Ed25519KeyFromHex(const char* hex);
