#include "bridge/rpc_json.h"

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
