#include "bridge/rpc_dispatch.h"

#include <cmath>
#include <exception>
#include <initializer_list>

#include "app/log.h"
#include "app/window_procs.h"
#include "bridge/general_requests.h"
#include "bridge/rpc_json.h"
#include "bridge/tokens/token_format.h"
#include "platform/shell.h"

using nlohmann::json;
namespace ui = platform::ui;

namespace {

constexpr size_t kMaxNesting = 256;  // deeper texts are refused before the recursive parts see them

// The type error of the first listed member that is present and not a number, or "".
std::string NumberTypeError(const json& payload, std::initializer_list<const char*> keys) {
  for (const char* key : keys) {
    auto it = payload.find(key);
    if (it != payload.end() && !it->is_number()) return "invalid parameter type: " + std::string(key);
  }
  return "";
}

// A 32-bit id member: a whole number 0..2^32-1, else 0.
uint32_t Id32(const json& payload, const char* key) {
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

// Where a parse stopped, for texts the parser refuses with another error than a syntax one
// (a number too large for a double).
struct ParseStop {
  size_t byte = 0;
  bool null() { return true; }
  bool boolean(bool) { return true; }
  bool number_integer(json::number_integer_t) { return true; }
  bool number_unsigned(json::number_unsigned_t) { return true; }
  bool number_float(json::number_float_t, const std::string&) { return true; }
  bool string(std::string&) { return true; }
  bool binary(json::binary_t&) { return true; }
  bool start_object(size_t) { return true; }
  bool key(std::string&) { return true; }
  bool end_object() { return true; }
  bool start_array(size_t) { return true; }
  bool end_array() { return true; }
  bool parse_error(size_t position, const std::string&, const nlohmann::detail::exception&) {
    byte = position;
    return false;
  }
};

}  // namespace

std::string MakeRpcReply(const json& id, const char* key, const json& value) {
  json reply = json::object();
  reply["id"] = id;
  reply[key] = value;
  return DumpCompact(reply);
}

bool IsOpenableExternalUrl(const std::string& url) {
  if (url.size() < 8 || url.size() > 8192) return false;
  for (unsigned char c : url) {
    if (c <= 0x20 || c == 0x7F || c == '\\') return false;
  }
  auto startsWithNoCase = [&url](const char* prefix) {
    size_t i = 0;
    for (; prefix[i]; ++i) {
      if (i >= url.size()) return false;
      char c = url[i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c != prefix[i]) return false;
    }
    return true;
  };
  size_t start;
  if (startsWithNoCase("https://")) {
    start = 8;
  } else if (startsWithNoCase("http://")) {
    start = 7;
  } else {
    return false;
  }
  size_t end = url.find_first_of("/?#", start);
  if (end == std::string::npos) end = url.size();
  return end > start;
}

RpcDispatch::RpcDispatch(RpcOutletPtr outlet, ui::HWND mainWindow, Options options)
    : outlet_(std::move(outlet)), mainWindow_(mainWindow), options_(std::move(options)) {
  if (!options_.wallClock) options_.wallClock = SystemWallClockMs;
  if (!options_.openExternal) options_.openExternal = platform::OpenExternal;
  if (!options_.revealInFolder) options_.revealInFolder = RevealInFolder;
}

// Workers are not waited for: they hold the outlet, which is detached at shutdown.
RpcDispatch::~RpcDispatch() { blobRouter_.Clear(); }

CapabilityTokenRegistry& RpcDispatch::Registry() const {
  return options_.registry ? *options_.registry : CapabilityTokenRegistry::Instance();
}

void RpcDispatch::Reply(const json& id, const json& data) {
  if (outlet_) outlet_->SendText(MakeRpcReply(id, "data", data));
}

void RpcDispatch::ReplyError(const json& id, const std::string& error) {
  if (outlet_) outlet_->SendText(MakeRpcReply(id, "error", error));
}

void RpcDispatch::NotImplemented(const json& id, const std::string& type) {
  ReplyError(id, "not implemented in qvn_native_win yet: " + type);
}

void RpcDispatch::HandleMessage(const std::string& text) {
  if (size_t deep = tokens::NestingExceededAt(text, kMaxNesting)) {
    LogPrintf("[rpc] bad JSON at byte %zu\n", deep);
    return;
  }
  json message;
  try {
    message = json::parse(text);
  } catch (const json::parse_error& e) {
    LogPrintf("[rpc] bad JSON at byte %zu\n", e.byte);
    return;
  } catch (const json::exception&) {
    ParseStop stop;
    json::sax_parse(text, &stop);
    LogPrintf("[rpc] bad JSON at byte %zu\n", stop.byte);
    return;
  }
  if (!message.is_object() || !message.contains("id") || !message.contains("type") ||
      !message["type"].is_string()) {
    LogPrintf("[rpc] malformed message (missing id/type)\n");
    return;
  }
  const json id = message["id"];
  const std::string type = message["type"].get<std::string>();
  json payload = json::object();
  auto member = message.find("payload");
  bool payloadOk = member == message.end() || member->is_object();
  if (member != message.end() && member->is_object()) payload = *member;
  LogPrintf("[rpc] <- type=%s\n", type.c_str());
  if (!payloadOk) {
    ReplyError(id, "invalid parameter type: payload");
    return;
  }
  try {
    if (!Dispatch(id, type, payload)) NotImplemented(id, type);
  } catch (const std::exception& e) {
    // A row must never take the connection thread down; the page still gets its answer.
    LogPrintf("[rpc] %s failed: %s\n", type.c_str(), e.what());
    ReplyError(id, std::string("request failed: ") + e.what());
  }
}

bool RpcDispatch::Dispatch(const json& id, const std::string& type, const json& payload) {
  // Rows whose owners do not exist yet keep the checks this side makes and then answer as an
  // unknown type would.
  auto checkStrings = [&](std::initializer_list<const char*> keys) {
    PayloadReader r(payload);
    for (const char* key : keys) r.String(key);
    if (!r.ok()) ReplyError(id, r.Error());
    return r.ok();
  };
  auto checkNumbers = [&](std::initializer_list<const char*> keys) {
    std::string error = NumberTypeError(payload, keys);
    if (!error.empty()) ReplyError(id, error);
    return error.empty();
  };
  auto isAny = [&type](std::initializer_list<const char*> names) {
    for (const char* n : names) {
      if (type == n) return true;
    }
    return false;
  };

  if (type == "setAppVersion") {
    HandleSetAppVersion(id, payload);
  } else if (type == "setAlwaysOnTop") {
    HandleSetAlwaysOnTop(id, payload);
  } else if (isAny({"isAlwaysOnTop", "getAlwaysOnTop"})) {
    HandleIsAlwaysOnTop(id, payload);
  } else if (type == "toggleFullscreenNative") {
    HandleToggleFullscreen(id);
  } else if (type == "setUILanguage") {
    Reply(id, {{"success", true}});
  } else if (type == "finalizeOtaUpdate") {
    if (!checkStrings({"sha256", "version", "kind"})) return true;
    PayloadReader r(payload);
    if (r.String("sha256").empty() || r.String("version").empty()) {
      ReplyError(id, "sha256 and version are required");
      return true;
    }
    NotImplemented(id, type);
  } else if (isAny({"clearOtaUpdate", "getOtaStagingPath", "getAuthDeviceIdentity"})) {
    NotImplemented(id, type);
  } else if (type == "signAuthDeviceChallenge") {
    if (checkStrings({"keyId", "clientData"})) NotImplemented(id, type);
  } else if (type == "createNativePlayer") {
    if (!checkStrings({"path"}) || !checkNumbers({"playerID", "fileSize", "width", "height"})) return true;
    if (Id32(payload, "playerID") == 0 || PayloadReader(payload).String("path").empty()) {
      ReplyError(id, "Invalid parameters");
      return true;
    }
    NotImplemented(id, type);
  } else if (isAny({"destroyNativePlayer", "playerPlay", "playerPause", "playerSeek", "playerSetRate",
                    "playerSetSize", "playerSetVolume", "playerGetTime"})) {
    if (checkNumbers({"playerID"})) NotImplemented(id, type);
  } else if (isAny({"probeVideoMetadata", "decodeFrameNative", "extractAudioNative"})) {
    if (!checkStrings({"filePath"}) || !checkNumbers({"timestampSec", "startTimeSec", "durationSec"})) return true;
    if (PayloadReader(payload).String("filePath").empty()) {
      ReplyError(id, "Invalid parameters");
      return true;
    }
    NotImplemented(id, type);
  } else if (isAny({"promptSaveFile", "promptOpenDirectory"})) {
    if (!checkStrings({"suggestedName", "path"})) return true;
    if (type == "promptSaveFile" && PayloadReader(payload).String("suggestedName").empty()) {
      ReplyError(id, "suggestedName is required");
      return true;
    }
    NotImplemented(id, type);
  } else if (type == "appendFileChunk") {
    HandleAppendFileChunk(id, payload);
  } else if (type == "shareFile") {
    HandleShareFile(id, payload);
  } else if (type == "shell.openExternal") {
    HandleOpenExternal(id, payload);
  } else if (isAny({"startNativeExport", "finishNativeExport", "probeLocalLibraries", "decodeTelemetryPlugin",
                    "decodeNativePlugin"})) {
    NotImplemented(id, type);
  } else if (type == "hello") {
    Reply(id, MakeHelloReply());
  } else if (type == "applyRpcRevocations") {
    HandleApplyRevocations(id, payload);
  } else if (type == "armPluginRpc") {
    HandleArmPluginRpc(id, payload);
  } else if (isAny({"unstagePluginPackage", "cancelNativePluginDecode", "readNativePluginPack",
                    "closeNativePluginPack", "touchNativePluginPack", "stagePluginPackage", "startRealtimePlugin",
                    "stopRealtimePlugin", "remote.shareSources", "remote.status", "remote.setEnabled",
                    "remote.revoke", "remote.kick", "remote.connect", "remote.renew", "remote.disconnect"})) {
    NotImplemented(id, type);
  } else if (type == "getPluginDeveloperMode") {
    Reply(id, {{"enabled", developerMode_.load()}});
  } else if (type == "setPluginDeveloperMode") {
    HandleSetDeveloperMode(id, payload);
  } else {
    return false;
  }
  return true;
}
