#pragma once
// Signing side of the token formats, for tests and the qvn_sign tool only: the host never signs.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace qvsign {

struct SigningKey {
  std::array<uint8_t, 64> secret{};
  std::array<uint8_t, 32> publicKey{};
};

// A key file holds the 32-byte Ed25519 seed as 64 hex characters (surrounding blanks ignored).
bool SigningKeyFromSeedHex(std::string_view hex, SigningKey& key);
bool LoadSigningKey(const std::string& path, SigningKey& key, std::string& error);

std::string Base64UrlEncode(std::string_view bytes);  // no padding
std::string HexOf(const uint8_t* bytes, size_t count);
std::string RandomJti();                             // 32 lowercase hex characters

// The 64-byte detached signature of message.
std::string Sign(const SigningKey& key, std::string_view message);

// base64url(header) "." base64url(payload) "." base64url(signature), texts taken as they are.
std::string SignTokenText(const SigningKey& key, std::string_view headerText, std::string_view payloadText);
// The same with the fixed capability header and payload's compact dump.
std::string MintToken(const SigningKey& key, const nlohmann::json& payload);

// Adds "sig" over the compact dump of list without "sig".
nlohmann::json SignRevocationList(const SigningKey& key, nlohmann::json list);

// Fill members the caller left out: "iss", "nbf" = now, "exp" = now + 3600, a random "jti";
// view tokens also get "cap" "view", "iat" = now and "scope" ["live.subscribe"].
void FillCapDefaults(nlohmann::json& payload, const std::string& issuer, int64_t nowSeconds);
void FillViewDefaults(nlohmann::json& payload, const std::string& issuer, int64_t nowSeconds);

}  // namespace qvsign
