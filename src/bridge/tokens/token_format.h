#pragma once
// The wire forms the registry checks: signed token texts and signed revocation lists.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "bridge/tokens/ed25519.h"

namespace tokens {

// Counts bracket nesting outside strings (the text need not be valid JSON): the number of bytes
// up to and including the first bracket deeper than maxDepth, or 0 when none is.
size_t NestingExceededAt(std::string_view text, size_t maxDepth);

// a + b, clamped to the int64 range instead of overflowing.
int64_t SaturatingAdd(int64_t a, int64_t b);

// Exactly length characters of 0-9 a-f.
bool IsLowerHex(std::string_view s, size_t length);

// 16..4096 characters of A-Z a-z 0-9 "-" "." "_": what may be armed or handed to a plugin.
bool IsArmableTokenText(std::string_view token);

// The member's string value, or "" when it is absent or not a string (object expected).
std::string StringMember(const nlohmann::json& object, const char* key);

// An integer member that fits int64 (signed, or unsigned up to INT64_MAX); floats do not count.
bool ReadInt64Member(const nlohmann::json& object, const char* key, int64_t& out);

// Parses text as JSON without throwing; false for invalid text or nesting deeper than the host
// handles (the library's copy and dump recurse).
bool ParseJsonText(std::string_view text, nlohmann::json& out);

// Checks a "header.payload.signature" token: shape, 64-byte signature, the fixed header, the
// signature over the text before the second dot, and an object payload whose "iss" is issuer.
// On success payload holds the payload object.
bool VerifySignedToken(const std::string& token, const Ed25519PublicKey& key, const std::string& issuer,
                       nlohmann::json& payload);

// The "jti" of a token's payload segment, read without checking the signature; "" on any failure.
std::string TokenPayloadJti(const std::string& token);

struct SignedRevocationList {
  std::vector<std::string> jtis;
  int64_t serverNowMs = 0;  // 0 = no clock
  int64_t rev = -1;         // -1 = no revision
};

// Parses and verifies a signed revocation list; false when it must be rejected.
bool ParseSignedRevocationList(const std::string& text, const Ed25519PublicKey& key, SignedRevocationList& out);

}  // namespace tokens
