#include "base/json.h"

std::string DumpCompact(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
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


