#include "token_minter.h"

#include <fstream>
#include <sstream>

#include <sodium.h>

namespace qvsign {

namespace {

bool EnsureSodium() { return sodium_init() >= 0; }

}  // namespace

bool SigningKeyFromSeedHex(std::string_view hex, SigningKey& key) {
  while (!hex.empty() && isspace(static_cast<unsigned char>(hex.front()))) hex.remove_prefix(1);
  while (!hex.empty() && isspace(static_cast<unsigned char>(hex.back()))) hex.remove_suffix(1);
  std::array<uint8_t, 32> seed{};
  size_t seedLength = 0;
  if (!EnsureSodium() || hex.size() != 64 ||
      sodium_hex2bin(seed.data(), seed.size(), hex.data(), hex.size(), nullptr, &seedLength, nullptr) != 0 ||
      seedLength != seed.size()) {
    return false;
  }
  return crypto_sign_seed_keypair(key.publicKey.data(), key.secret.data(), seed.data()) == 0;
}

bool LoadSigningKey(const std::string& path, SigningKey& key, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read key file " + path;
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  if (!SigningKeyFromSeedHex(text.str(), key)) {
    error = "key file " + path + " does not hold a 64-hex-character Ed25519 seed";
    return false;
  }
  return true;
}

std::string Base64UrlEncode(std::string_view bytes) {
  if (!EnsureSodium()) return "";
  const size_t max = sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_URLSAFE_NO_PADDING);
  std::string out(max, '\0');
  sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                    sodium_base64_VARIANT_URLSAFE_NO_PADDING);
  out.resize(out.find('\0'));
  return out;
}

std::string HexOf(const uint8_t* bytes, size_t count) {
  std::string out(count * 2 + 1, '\0');
  sodium_bin2hex(out.data(), out.size(), bytes, count);
  out.pop_back();
  return out;
}

std::string RandomJti() {
  if (!EnsureSodium()) return "";
  uint8_t bytes[16];
  randombytes_buf(bytes, sizeof bytes);
  return HexOf(bytes, sizeof bytes);
}

std::string Sign(const SigningKey& key, std::string_view message) {
  std::string sig(crypto_sign_BYTES, '\0');
  if (!EnsureSodium()) return "";
  crypto_sign_detached(reinterpret_cast<unsigned char*>(sig.data()), nullptr,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size(), key.secret.data());
  return sig;
}

std::string SignTokenText(const SigningKey& key, std::string_view headerText, std::string_view payloadText) {
  const std::string signedPart = Base64UrlEncode(headerText) + "." + Base64UrlEncode(payloadText);
  return signedPart + "." + Base64UrlEncode(Sign(key, signedPart));
}

std::string MintToken(const SigningKey& key, const nlohmann::json& payload) {
  static const std::string kHeader = R"({"alg":"EdDSA","kid":"rpc-cap","typ":"qvn-cap+jwt"})";
  return SignTokenText(key, kHeader, payload.dump());
}

nlohmann::json SignRevocationList(const SigningKey& key, nlohmann::json list) {
  list.erase("sig");
  const std::string sig = Base64UrlEncode(Sign(key, list.dump()));
  list["sig"] = sig;
  return list;
}

void FillCapDefaults(nlohmann::json& payload, const std::string& issuer, int64_t nowSeconds) {
  if (!payload.contains("iss")) payload["iss"] = issuer;
  if (!payload.contains("nbf")) payload["nbf"] = nowSeconds;
  if (!payload.contains("exp")) payload["exp"] = nowSeconds + 3600;
  if (!payload.contains("jti")) payload["jti"] = RandomJti();
}

void FillViewDefaults(nlohmann::json& payload, const std::string& issuer, int64_t nowSeconds) {
  FillCapDefaults(payload, issuer, nowSeconds);
  if (!payload.contains("cap")) payload["cap"] = "view";
  if (!payload.contains("iat")) payload["iat"] = nowSeconds;
  if (!payload.contains("scope")) payload["scope"] = nlohmann::json::array({"live.subscribe"});
}

}  // namespace qvsign
