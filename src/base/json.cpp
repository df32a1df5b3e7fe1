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

// A recursive-descent reader of the plain documents line protocols send. It gives up (false) at
// the first thing it does not handle, valid or not; the caller then asks the library, which
// decides. What it accepts, the library accepts with the same value: unsigned for an integer
// without sign, signed with one, keys in the object's own order.
class PlainParser {
 public:
  explicit PlainParser(std::string_view text) : at_(text.data()), end_(text.data() + text.size()) {}

  bool Document(json& out) {
    SkipBlanks();
    if (!Value(out, 0)) return false;
    SkipBlanks();
    return at_ == end_;
  }

 private:
  // Deeper documents go to the library, which does not recurse while parsing.
  static constexpr int kMaxDepth = 64;

  void SkipBlanks() {
    while (at_ < end_ && (*at_ == ' ' || *at_ == '\n' || *at_ == '\r' || *at_ == '\t')) ++at_;
  }

  bool Literal(std::string_view word) {
    if (static_cast<size_t>(end_ - at_) < word.size() || std::string_view(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }

  bool String(std::string& out) {
    ++at_;  // the opening quote
    const char* start = at_;
    for (; at_ < end_; ++at_) {
      const unsigned char byte = static_cast<unsigned char>(*at_);
      if (byte == '"') {
        out.assign(start, static_cast<size_t>(at_ - start));
        ++at_;
        return true;
      }
      if (byte < 0x20 || byte > 0x7F || byte == '\\') return false;
    }
    return false;
  }

  bool Number(json& out) {
    const bool negative = *at_ == '-';
    if (negative) ++at_;
    const char* digits = at_;
    while (at_ < end_ && *at_ >= '0' && *at_ <= '9') ++at_;
    const size_t count = static_cast<size_t>(at_ - digits);
    // No fraction, exponent, leading zero or value near the 64-bit limits here.
    if (count == 0 || count > 18 || (count > 1 && *digits == '0')) return false;
    if (at_ < end_ && (*at_ == '.' || *at_ == 'e' || *at_ == 'E')) return false;
    uint64_t value = 0;
    for (const char* c = digits; c < at_; ++c) value = value * 10 + static_cast<uint64_t>(*c - '0');
    if (negative) {
      out = -static_cast<json::number_integer_t>(value);
    } else {
      out = static_cast<json::number_unsigned_t>(value);
    }
    return true;
  }

  bool Value(json& out, int depth) {
    if (at_ == end_) return false;
    switch (*at_) {
      case '{': return depth < kMaxDepth && Object(out, depth + 1);
      case '[': return depth < kMaxDepth && Array(out, depth + 1);
      case '"': {
        std::string text;
        if (!String(text)) return false;
        out = std::move(text);
        return true;
      }
      case 't': out = true; return Literal("true");
      case 'f': out = false; return Literal("false");
      case 'n': out = nullptr; return Literal("null");
      default: return (*at_ == '-' || (*at_ >= '0' && *at_ <= '9')) && Number(out);
    }
  }

  bool Object(json& out, int depth) {
    ++at_;
    out = json::object();
    json::object_t& members = out.get_ref<json::object_t&>();
    SkipBlanks();
    if (at_ < end_ && *at_ == '}') {
      ++at_;
      return true;
    }
    for (;;) {
      if (at_ == end_ || *at_ != '"') return false;
      std::string key;
      if (!String(key)) return false;
      SkipBlanks();
      if (at_ == end_ || *at_ != ':') return false;
      ++at_;
      SkipBlanks();
      // A repeated key is the library's to settle.
      const auto [member, added] = members.try_emplace(std::move(key));
      if (!added || !Value(member->second, depth)) return false;
      SkipBlanks();
      if (at_ == end_) return false;
      if (*at_ == '}') {
        ++at_;
        return true;
      }
      if (*at_ != ',') return false;
      ++at_;
      SkipBlanks();
    }
  }

  bool Array(json& out, int depth) {
    ++at_;
    out = json::array();
    json::array_t& elements = out.get_ref<json::array_t&>();
    SkipBlanks();
    if (at_ < end_ && *at_ == ']') {
      ++at_;
      return true;
    }
    for (;;) {
      elements.emplace_back();
      if (!Value(elements.back(), depth)) return false;
      SkipBlanks();
      if (at_ == end_) return false;
      if (*at_ == ']') {
        ++at_;
        return true;
      }
      if (*at_ != ',') return false;
      ++at_;
      SkipBlanks();
    }
  }

  const char* at_;
  const char* end_;
};

}  // namespace

json ParseJsonOrDiscarded(std::string_view text) {
  json value;
  if (PlainParser(text).Document(value)) return value;
  return json::parse(text.begin(), text.end(), nullptr, false);
}

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


