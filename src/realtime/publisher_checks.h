#pragma once
// The checks every realtime publish body passes before the hub takes it: the body's shape, the
// frame, timing and declaration rules, the normalised declaration, and the publish scopes of the
// publisher's claims.
//
// Pure functions of their arguments: no state, no lock, callable from any thread. The only side
// effect is the log line for a dropped "declaredHz" hint.
#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "bridge/tokens/capability_token_registry.h"

namespace realtime {

inline constexpr const char* kFrameInvalid = "E_FRAME_INVALID";
inline constexpr const char* kDeclareInvalid = "E_DECLARE_INVALID";

inline constexpr size_t kMaxTimingOps = 10000;
inline constexpr size_t kMaxTimingBytes = 1048576;
inline constexpr size_t kMaxDeclaredChannels = 512;
inline constexpr size_t kMaxChannelIdUnits = 128;

// What a body carries; exactly one kind per accepted body.
enum class BodyKind { Frame, Timing, StreamDeclaration, TimingDeclaration };

// A body that passed every check, ready to be stamped.
struct CheckedBody {
  BodyKind kind = BodyKind::Frame;
  int64_t seq = 0;
  // The body's frame or timing object as sent, or the normalised declaration.
  nlohmann::json item;
  // Rejected channel records of a stream declaration; an empty array otherwise.
  nlohmann::json rejectedChannels = nlohmann::json::array();
};

// Length in UTF-16 code units, counted on the UTF-8 bytes (continuation bytes 0, lead bytes of
// four-byte sequences 2, every other byte 1).
size_t Utf16Units(const std::string& utf8);

// True when declaration is a well-formed stream declaration with at least one accepted channel;
// normalised gets a copy whose "channels" holds only the accepted ones, rejected the records.
bool ValidateStreamDeclaration(const nlohmann::json& declaration, nlohmann::json& normalised,
                               nlohmann::json& rejected);
// True when declaration is a well-formed timing declaration; normalised keeps its five keys.
bool ValidateTimingDeclaration(const nlohmann::json& declaration, nlohmann::json& normalised);

// The claims hold "rt.publish:<pluginId>" exactly.
bool HasStreamPublishScope(const CapabilityClaims& claims);
// Every channel id of object["channels"] is covered by the whole-stream scope or a channel scope.
bool HasChannelPublishScope(const CapabilityClaims& claims, const nlohmann::json& object);

// Every body check in order; "" with out filled, or the code of the first failure.
std::string CheckPublishBody(const CapabilityClaims& claims, const nlohmann::json& body, CheckedBody& out);

}  // namespace realtime
