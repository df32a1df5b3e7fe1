#include "realtime/publisher_checks.h"

#include <cmath>
#include <limits>
#include <set>
#include <vector>

#include "base/json.h"
#include "base/log.h"

using nlohmann::json;

namespace realtime {
namespace {

const json* ObjectMember(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_object()) return nullptr;
  return &*it;
}

// A JSON integer that fits int64 and is at least min. An unsigned value above 2^63-1 is refused
// here rather than wrapping to a negative number when read as int64.
bool ReadInt64(const json& value, int64_t min, int64_t* out = nullptr) {
  int64_t v = 0;
  if (value.is_number_unsigned()) {
    const uint64_t u = value.get<uint64_t>();
    if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
    v = static_cast<int64_t>(u);
  } else if (value.is_number_integer()) {
    v = value.get<int64_t>();
  } else {
    return false;
  }
  if (v < min) return false;
  if (out) *out = v;
  return true;
}

// A JSON integer >= 0 of any width: an epoch is forwarded, never read as a number.
bool IsNonNegativeInteger(const json& value) {
  if (value.is_number_unsigned()) return true;
  return value.is_number_integer() && value.get<int64_t>() >= 0;
}

bool IsStringOfBytes(const json& object, const char* key, size_t min, size_t max) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return false;
  const size_t n = it->get_ref<const std::string&>().size();
  return n >= min && n <= max;
}

bool IsBlankOnly(const std::string& s) {
  for (char c : s) {
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
  }
  return true;
}

std::string StringMember(const json& object, const char* key) {
  if (!object.is_object()) return "";
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return "";
  return it->get<std::string>();
}

json RejectedRecord(const std::string& id, const char* reason) { return {{"id", id}, {"reason", reason}}; }

struct PublishScopes {
  bool wholeStream = false;
  std::set<std::string> channels;
};

PublishScopes ReadScopes(const CapabilityClaims& claims) {
  PublishScopes scopes;
  const std::string prefix = "rt.publish:" + claims.pluginId;
  for (const std::string& scope : claims.scopes) {
    if (scope == prefix) {
      scopes.wholeStream = true;
    } else if (scope.size() > prefix.size() + 1 && scope.compare(0, prefix.size(), prefix) == 0 &&
               scope[prefix.size()] == '/') {
      scopes.channels.insert(scope.substr(prefix.size() + 1));
    }
  }
  return scopes;
}

bool CheckFrame(const json& frame) {
  auto it = frame.find("channels");
  if (it == frame.end() || !it->is_array()) return false;
  for (const json& channel : *it) {
    if (!channel.is_object()) return false;
    auto id = channel.find("id");
    if (id == channel.end() || !id->is_string() || id->get_ref<const std::string&>().empty()) return false;
  }
  return true;
}

bool CheckTiming(const json& timing) {
  auto it = timing.find("ops");
  if (it == timing.end() || !it->is_array() || it->size() > kMaxTimingOps) return false;
  if (DumpCompact(timing).size() > kMaxTimingBytes) return false;
  for (const json& op : *it) {
    if (!op.is_object()) return false;
    auto name = op.find("op");
    if (name == op.end() || !name->is_string() || name->get_ref<const std::string&>().empty()) return false;
  }
  return true;
}

}  // namespace

size_t Utf16Units(const std::string& utf8) {
  size_t units = 0;
  for (unsigned char c : utf8) {
    if ((c & 0xC0) == 0x80) continue;
    units += c >= 0xF0 ? 2 : 1;
  }
  return units;
}

bool ValidateStreamDeclaration(const json& declaration, json& normalised, json& rejected) {
  if (!declaration.is_object()) return false;
  auto epoch = declaration.find("epoch");
  auto clock = declaration.find("clock");
  auto channels = declaration.find("channels");
  if (!IsStringOfBytes(declaration, "streamId", 1, std::numeric_limits<size_t>::max())) return false;
  if (epoch == declaration.end() || !IsNonNegativeInteger(*epoch)) return false;
  if (clock == declaration.end() || !clock->is_string() || (*clock != "sim" && *clock != "wall")) return false;
  if (channels == declaration.end() || !channels->is_array()) return false;

  normalised = declaration;
  normalised["channels"] = json::array();
  rejected = json::array();
  json& accepted = normalised["channels"];
  std::set<std::string> acceptedIds;
  for (const json& element : *channels) {
    const std::string id = StringMember(element, "id");
    const char* reason = nullptr;
    if (IsBlankOnly(id)) {
      reason = "empty-id";
    } else if (Utf16Units(id) > kMaxChannelIdUnits) {
      reason = "id-too-long";
    } else if (acceptedIds.count(id) != 0) {
      reason = "duplicate-id";
    } else {
      const std::string interpolation = StringMember(element, "interpolation");
      if (interpolation != "linear" && interpolation != "previous" && interpolation != "none") {
        reason = "invalid-interpolation";
      } else if (accepted.size() >= kMaxDeclaredChannels) {
        reason = "channel-limit";
      }
    }
    if (reason) {
      rejected.push_back(RejectedRecord(id, reason));
      continue;
    }
    acceptedIds.insert(id);
    json copy = element;
    auto hz = copy.find("declaredHz");
    if (hz != copy.end()) {
      const bool good = hz->is_number() && std::isfinite(hz->get<double>()) && hz->get<double>() > 0;
      if (!good) {
        copy.erase(hz);
        LogPrintf("[realtime] invalid declaredHz hint dropped for channel %s\n", id.c_str());
      }
    }
    accepted.push_back(std::move(copy));
  }
  return !accepted.empty();
}

bool ValidateTimingDeclaration(const json& declaration, json& normalised) {
  if (!declaration.is_object() || StringMember(declaration, "kind") != "timing") return false;
  if (!IsStringOfBytes(declaration, "streamId", 1, 128) || !IsStringOfBytes(declaration, "provider", 1, 64)) {
    return false;
  }
  auto clock = declaration.find("clock");
  if (clock == declaration.end() || *clock != "utc") return false;
  auto epoch = declaration.find("epoch");
  if (epoch == declaration.end()) return false;
  if (!(epoch->is_string() ? IsStringOfBytes(declaration, "epoch", 1, 128) : IsNonNegativeInteger(*epoch))) {
    return false;
  }
  normalised = {{"kind", "timing"},
                {"streamId", declaration["streamId"]},
                {"epoch", *epoch},
                {"clock", "utc"},
                {"provider", declaration["provider"]}};
  return true;
}

bool HasStreamPublishScope(const CapabilityClaims& claims) {
  const std::string whole = "rt.publish:" + claims.pluginId;
  for (const std::string& scope : claims.scopes) {
    if (scope == whole) return true;
  }
  return false;
}

bool HasChannelPublishScope(const CapabilityClaims& claims, const json& object) {
  const PublishScopes scopes = ReadScopes(claims);
  if (scopes.wholeStream) return true;
  if (scopes.channels.empty() || !object.is_object()) return false;
  auto channels = object.find("channels");
  if (channels == object.end() || !channels->is_array()) return false;
  for (const json& channel : *channels) {
    if (!channel.is_object()) return false;
    auto id = channel.find("id");
    if (id == channel.end() || !id->is_string() || scopes.channels.count(id->get<std::string>()) == 0) return false;
  }
  return true;
}

std::string CheckPublishBody(const CapabilityClaims& claims, const json& body, CheckedBody& out) {
  if (!body.is_object()) return kScopeDenied;
  auto seq = body.find("seq");
  int64_t seqValue = 0;
  if (seq == body.end() || !ReadInt64(*seq, 1, &seqValue)) return kScopeDenied;
  const json* frame = ObjectMember(body, "frame");
  const json* declare = ObjectMember(body, "declare");
  const json* timing = ObjectMember(body, "timing");
  if ((frame != nullptr) + (declare != nullptr) + (timing != nullptr) != 1) return kScopeDenied;

  CheckedBody checked;
  checked.seq = seqValue;
  if (frame) {
    if (!CheckFrame(*frame)) return kFrameInvalid;
    if (!HasChannelPublishScope(claims, *frame)) return kScopeDenied;
    checked.kind = BodyKind::Frame;
    checked.item = *frame;
  } else if (timing) {
    if (!CheckTiming(*timing)) return kFrameInvalid;
    if (!HasStreamPublishScope(claims)) return kScopeDenied;
    checked.kind = BodyKind::Timing;
    checked.item = *timing;
  } else if (StringMember(*declare, "kind") == "timing") {
    if (!ValidateTimingDeclaration(*declare, checked.item)) return kDeclareInvalid;
    if (!HasStreamPublishScope(claims)) return kScopeDenied;
    checked.kind = BodyKind::TimingDeclaration;
  } else {
    if (!ValidateStreamDeclaration(*declare, checked.item, checked.rejectedChannels)) return kDeclareInvalid;
    if (!HasChannelPublishScope(claims, checked.item)) return kScopeDenied;
    checked.kind = BodyKind::StreamDeclaration;
  }
  out = std::move(checked);
  return "";
}

}  // namespace realtime
