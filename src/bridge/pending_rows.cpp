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
  routes.Register({"createNativePlayer"}, [](const RpcRequest& r) {
    if (!CheckStrings(r, {"path"}) || !CheckNumbers(r, {"playerID", "fileSize", "width", "height"})) return;
    if (Id32(r.payload, "playerID") == 0 || PayloadReader(r.payload).String("path").empty()) {
      return r.ReplyError("Invalid parameters");
    }
    r.ReplyNotImplemented();
  });
  routes.Register({"destroyNativePlayer", "playerPlay", "playerPause", "playerSeek", "playerSetRate",
                   "playerSetSize", "playerSetVolume", "playerGetTime"},
                  [](const RpcRequest& r) {
                    if (CheckNumbers(r, {"playerID"})) r.ReplyNotImplemented();
                  });
  routes.Register({"probeVideoMetadata", "decodeFrameNative", "extractAudioNative"}, [](const RpcRequest& r) {
    if (!CheckStrings(r, {"filePath"}) || !CheckNumbers(r, {"timestampSec", "startTimeSec", "durationSec"})) return;
    if (PayloadReader(r.payload).String("filePath").empty()) return r.ReplyError("Invalid parameters");
    r.ReplyNotImplemented();
  });
  routes.Register({"startNativeExport", "finishNativeExport", "decodeTelemetryPlugin",
                   "decodeNativePlugin", "unstagePluginPackage", "cancelNativePluginDecode", "stagePluginPackage", "startRealtimePlugin", "stopRealtimePlugin", "remote.shareSources",
                   "remote.status", "remote.setEnabled", "remote.revoke", "remote.kick", "remote.connect",
                   "remote.renew", "remote.disconnect"},
                  [](const RpcRequest& r) { r.ReplyNotImplemented(); });
}
