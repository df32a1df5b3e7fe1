#include "bridge/tokens/token_format.h"

#include <algorithm>
#include <limits>

#include <nlohmann/json.hpp>

#include "base/json.h"
#include "bridge/tokens/base64url.h"

using nlohmann::json;

namespace tokens {

namespace {

// Far beyond any token or list the issuer writes, well within the stack of every thread.
constexpr size_t kMaxJsonDepth = 64;

bool NestingWithin(std::string_view text, size_t maxDepth) { return NestingExceededAt(text, maxDepth) == 0; }

}  // namespace

size_t NestingExceededAt(std::string_view text, size_t maxDepth) {
  size_t depth = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > maxDepth) return i + 1;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return 0;
}

int64_t SaturatingAdd(int64_t a, int64_t b) {
  int64_t sum = 0;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

bool IsLowerHex(std::string_view s, size_t length) {
  return s.size() == length &&
         std::all_of(s.begin(), s.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool IsArmableTokenText(std::string_view token) {
  if (token.size() < 16 || token.size() > 4096) return false;
  return std::all_of(token.begin(), token.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_';
  });
}

std::string StringMember(const json& object, const char* key) {
  if (!object.is_object()) return "";
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return "";
  return it->get<std::string>();
}

bool ReadInt64Member(const json& object, const char* key, int64_t& out) {
  if (!object.is_object()) return false;
  auto it = object.find(key);
  if (it == object.end()) return false;
  if (it->is_number_unsigned()) {
    const uint64_t v = it->get<uint64_t>();
    if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
    out = static_cast<int64_t>(v);
    return true;
  }
  if (it->is_number_integer()) {
    out = it->get<int64_t>();
    return true;
  }
  return false;
}

bool ParseJsonText(std::string_view text, json& out) {
  if (!NestingWithin(text, kMaxJsonDepth)) return false;
  out = ParseJsonOrDiscarded(text);
  return !out.is_discarded();
}

bool VerifySignedToken(const std::string& token, const Ed25519PublicKey& key, const std::string& issuer,
                       json& payload) {
  if (std::count(token.begin(), token.end(), '.') != 2) return false;
  const size_t dot1 = token.find('.');
  const size_t dot2 = token.find('.', dot1 + 1);
  // Everything up to the second dot is signed; a longer message would fail the signature anyway.
  if (dot2 > kMaxSignedMessageBytes) return false;
  std::string headerText, payloadText, signature;
  const std::string_view text(token);
  if (!Base64UrlDecode(text.substr(0, dot1), headerText) ||
      !Base64UrlDecode(text.substr(dot1 + 1, dot2 - dot1 - 1), payloadText) ||
      !Base64UrlDecode(text.substr(dot2 + 1), signature) || signature.size() != 64) {
    return false;
  }
  json header;
  if (!ParseJsonText(headerText, header) || !ParseJsonText(payloadText, payload)) return false;
  if (!header.is_object() || header.size() != 3) return false;
  for (const char* member : {"alg", "typ", "kid"}) {
    if (header.contains(member) && !header[member].is_string()) return false;
  }
  if (StringMember(header, "alg") != "EdDSA" || StringMember(header, "typ") != "qvn-cap+jwt" ||
      StringMember(header, "kid") != "rpc-cap") {
    return false;
  }
  if (!VerifyEd25519(key, signature, text.substr(0, dot2))) return false;
  if (!payload.is_object()) return false;
  auto iss = payload.find("iss");
  return iss != payload.end() && iss->is_string() && iss->get<std::string>() == issuer;
}

std::string TokenPayloadJti(const std::string& token) {
  const size_t dot1 = token.find('.');
  if (dot1 == std::string::npos) return "";
  const size_t dot2 = token.find('.', dot1 + 1);
  if (dot2 == std::string::npos) return "";
  std::string payloadText;
  json payload;
  if (!Base64UrlDecode(std::string_view(token).substr(dot1 + 1, dot2 - dot1 - 1), payloadText) ||
      !ParseJsonText(payloadText, payload)) {
    return "";
  }
  return StringMember(payload, "jti");
}

bool ParseSignedRevocationList(const std::string& text, const Ed25519PublicKey& key, SignedRevocationList& out) {
  json list;
  if (!ParseJsonText(text, list) || !list.is_object()) return false;
  auto kid = list.find("kid");
  if (kid != list.end() && !kid->is_string()) return false;
  if (StringMember(list, "kid") != "rpc-cap") return false;
  auto sig = list.find("sig");
  if (sig == list.end() || !sig->is_string()) return false;
  std::string signature;
  if (!Base64UrlDecode(sig->get<std::string>(), signature) || signature.size() != 64) return false;

  // The issuer signs the compact dump of the list without "sig"; the parsed strings are valid UTF-8,
  // so the dump cannot throw, but a failure must still only reject the list.
  list.erase("sig");
  std::string message;
  try {
    message = list.dump();
  } catch (const json::exception&) {
    return false;
  }
  if (!VerifyEd25519(key, signature, message)) return false;

  out = SignedRevocationList{};
  auto jtis = list.find("jtis");
  if (jtis != list.end() && jtis->is_array()) {
    for (const auto& item : *jtis) {
      if (!item.is_string()) return false;
      out.jtis.push_back(item.get<std::string>());
    }
  }
  // A clock or revision that does not fit int64 is malformed rather than wrapped.
  if (list.contains("serverNowMs") && list["serverNowMs"].is_number_integer() &&
      !ReadInt64Member(list, "serverNowMs", out.serverNowMs)) {
    return false;
  }
  if (list.contains("rev") && list["rev"].is_number_integer() && !ReadInt64Member(list, "rev", out.rev)) {
    return false;
  }
  return true;
}

}  // namespace tokens
