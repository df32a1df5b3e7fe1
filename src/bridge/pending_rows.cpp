// Rows whose owners are not built yet keep the checks this side makes and then answer as an
// unknown type would.
#include <initializer_list>

#include "base/json.h"
#include "bridge/rpc_dispatch.h"

using nlohmann::json;

namespace {

bool CheckStrings(const RpcRequest& r, std::initializer_list<const char*> keys) {
  PayloadReader reader(r.payload);
  for (const char* key : keys) reader.String(key);
  if (!reader.ok()) r.ReplyError(reader.Error());
  return reader.ok();
}

bool CheckNumbers(const RpcRequest& r, std::initializer_list<const char*> keys) {
  std::string error = NumberTypeError(r.payload, keys);
  if (!error.empty()) r.ReplyError(error);
  return error.empty();
}

}  // namespace

void RegisterPendingRows(RpcRouteTable& routes) {
  routes.Register({"finalizeOtaUpdate"}, [](const RpcRequest& r) {
    if (!CheckStrings(r, {"sha256", "version", "kind"})) return;
    PayloadReader reader(r.payload);
    if (reader.String("sha256").empty() || reader.String("version").empty()) {
      return r.ReplyError("sha256 and version are required");
    }
    r.ReplyNotImplemented();
  });
  routes.Register({"clearOtaUpdate", "getOtaStagingPath", "getAuthDeviceIdentity"},
                  [](const RpcRequest& r) { r.ReplyNotImplemented(); });
  routes.Register({"signAuthDeviceChallenge"}, [](const RpcRequest& r) {
    if (CheckStrings(r, {"keyId", "clientData"})) r.ReplyNotImplemented();
  });
  routes.Register({"createNativePlayer"}, [](const RpcRequest& r) {
    if (!CheckStrings(r, {"path"}) || !CheckNumbers(r, {"playerID", "fileSize", "width", "height"})) return;
    if (Id32(r.payload, "playerID") == 0 || PayloadReader(r.payload).String("path").empty()) {
      return r.ReplyError("Invalid parameters");
    }
    r.ReplyNotImplemented();
  });
  // No player can exist before the media layer registers its rows: the table is empty, so a
  // destroy succeeds at once and every other player request names an unknown player.
  routes.Register({"destroyNativePlayer"}, [](const RpcRequest& r) {
    if (CheckNumbers(r, {"playerID"})) r.Reply({{"success", true}});
  });
  routes.Register({"playerPlay", "playerPause", "playerSeek", "playerSetRate", "playerSetSize", "playerSetVolume",
                   "playerGetTime"},
                  [](const RpcRequest& r) {
                    if (CheckNumbers(r, {"playerID"})) r.ReplyError("player not found");
                  });
  routes.Register({"probeVideoMetadata", "decodeFrameNative", "extractAudioNative"}, [](const RpcRequest& r) {
    if (!CheckStrings(r, {"filePath"}) || !CheckNumbers(r, {"timestampSec", "startTimeSec", "durationSec"})) return;
    if (PayloadReader(r.payload).String("filePath").empty()) return r.ReplyError("Invalid parameters");
    r.ReplyNotImplemented();
  });
  routes.Register({"promptSaveFile", "promptOpenDirectory"}, [](const RpcRequest& r) {
    if (!CheckStrings(r, {"suggestedName", "path"})) return;
    if (r.type == "promptSaveFile" && PayloadReader(r.payload).String("suggestedName").empty()) {
      return r.ReplyError("suggestedName is required");
    }
    r.ReplyNotImplemented();
  });
  routes.Register({"startNativeExport", "finishNativeExport", "decodeTelemetryPlugin",
                   "decodeNativePlugin", "unstagePluginPackage", "cancelNativePluginDecode", "stagePluginPackage", "startRealtimePlugin", "stopRealtimePlugin", "remote.shareSources",
                   "remote.status", "remote.setEnabled", "remote.revoke", "remote.kick", "remote.connect",
                   "remote.renew", "remote.disconnect"},
                  [](const RpcRequest& r) { r.ReplyNotImplemented(); });
}
