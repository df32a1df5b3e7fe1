#include "base/json.h"

#include <charconv>

namespace {

using nlohmann::json;

// The library's own compact dump of one value (the reference this file's fast path must match).
void AppendLibraryDump(const json& value, std::string& out) {
  out += value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// A string the library would copy byte for byte between its quotes: printable ASCII (and DEL)
// without quote or backslash. Anything else (escapes, UTF-8, invalid bytes) is the library's.
bool IsVerbatim(const std::string& text) {
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte > 0x7F || byte == '"' || byte == '\\') return false;
  }
  return true;
}

void AppendString(const std::string& text, std::string& out) {
  if (!IsVerbatim(text)) {
    AppendLibraryDump(json(text), out);
    return;
  }
  out += '"';
  out += text;
  out += '"';
}

template <typename Number>
void AppendInteger(Number number, std::string& out) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
  out.append(digits, static_cast<size_t>(end - digits));
}

// The same bytes as the library's compact dump, without its per-byte escaping machinery for the
// plain strings and integers that make up nearly every message; floats, binary values and
// strings that need escaping or UTF-8 checks are dumped by the library itself.
void AppendCompact(const json& value, std::string& out) {
  switch (value.type()) {
    case json::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, member] : value.get_ref<const json::object_t&>()) {
        if (!first) out += ',';
        first = false;
        AppendString(key, out);
        out += ':';
        AppendCompact(member, out);
      }
      out += '}';
      return;
    }
    case json::value_t::array: {
      out += '[';
      bool first = true;
      for (const json& element : value.get_ref<const json::array_t&>()) {
        if (!first) out += ',';
        first = false;
        AppendCompact(element, out);
      }
      out += ']';
      return;
    }
    case json::value_t::string:
      AppendString(value.get_ref<const std::string&>(), out);
      return;
    case json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      return;
    case json::value_t::number_integer:
      AppendInteger(value.get<json::number_integer_t>(), out);
      return;
    case json::value_t::number_unsigned:
      AppendInteger(value.get<json::number_unsigned_t>(), out);
      return;
    case json::value_t::null:
      out += "null";
      return;
    default:  // float, binary, discarded
      AppendLibraryDump(value, out);
      return;
  }
}

}  // namespace

std::string DumpCompact(const nlohmann::json& value) {
  std::string out;
  AppendCompact(value, out);
  return out;
}

const nlohmann::json* PayloadReader::Member(const char* key) const {
  if (!payload_.is_object()) return nullptr;
  auto it = payload_.find(key);
  if (it == payload_.end()) return nullptr;
  return &*it;
}

bool PayloadReader::Has(const char* key) const { return Member(key) != nullptr; }

void PayloadReader::Fail(const char* key) {
  if (badKey_.empty()) badKey_ = key;
}

std::string PayloadReader::String(const char* key, const std::string& fallback) {
  const nlohmann::json* v = Member(key);
  if (!v) return fallback;
  if (!v->is_string()) {
    Fail(key);
    return fallback;
  }
  return v->get_ref<const std::string&>();
}

bool PayloadReader::Bool(const char* key, bool fallback) {
  const nlohmann::json* v = Member(key);
  if (!v) return fallback;
  if (!v->is_boolean()) {
    Fail(key);
    return fallback;
  }
  return v->get<bool>();
}

std::string PayloadReader::Error() const {
  return "invalid parameter type: " + badKey_;
}

// The type error of the first listed member that is present and not a number, or "".
std::string NumberTypeError(const nlohmann::json& payload, std::initializer_list<const char*> keys) {
  for (const char* key : keys) {
    auto it = payload.find(key);
    if (it != payload.end() && !it->is_number()) return "invalid parameter type: " + std::string(key);
  }
  return "";
}

// A 32-bit id member: a whole number 0..2^32-1, else 0.
uint32_t Id32(const nlohmann::json& payload, const char* key) {
  auto it = payload.find(key);
  if (it == payload.end()) return 0;
  if (it->is_number_unsigned()) {
    uint64_t v = it->get<uint64_t>();
    return v <= 0xFFFFFFFFull ? static_cast<uint32_t>(v) : 0;
  }
  if (it->is_number_integer()) {
    int64_t v = it->get<int64_t>();
    return v >= 0 && v <= 0xFFFFFFFFll ? static_cast<uint32_t>(v) : 0;
  }
  return 0;
}


