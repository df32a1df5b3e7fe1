#pragma once
// JSON helpers of the request dispatcher: compact dumps that never throw, and payload readers
// with defaults that report a member of the wrong type instead of throwing.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

// Compact dump (no blanks); invalid UTF-8 is replaced rather than thrown on.
std::string DumpCompact(const nlohmann::json& value);

// The library's parse of text without throwing (a discarded value when text is not JSON), with a
// fast path for plain documents: ASCII strings without escapes, integers, no duplicate keys.
// Anything else is left to the library, so the value is always the one the library makes.
nlohmann::json ParseJsonOrDiscarded(std::string_view text);

// Reads members of a request payload. A member that is present with another JSON type than
// the one asked for leaves the default in place and marks the reader as failed, so that the
// row can answer with an error instead of acting on a half-read request.
class PayloadReader {
 public:
  explicit PayloadReader(const nlohmann::json& payload) : payload_(payload) {}

  bool Has(const char* key) const;
  std::string String(const char* key, const std::string& fallback = "");
  bool Bool(const char* key, bool fallback = false);

  bool ok() const { return badKey_.empty(); }
  // The error text for the first member of the wrong type.
  std::string Error() const;

 private:
  const nlohmann::json* Member(const char* key) const;
  void Fail(const char* key);

  const nlohmann::json& payload_;
  std::string badKey_;
};

// The type error of the first listed member that is present and not a number, or "".
std::string NumberTypeError(const nlohmann::json& payload, std::initializer_list<const char*> keys);

// A 32-bit id member: a whole number 0..2^32-1, else 0.
uint32_t Id32(const nlohmann::json& payload, const char* key);
