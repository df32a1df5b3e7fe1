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
  routes.Register({"probeVideoMetadata", "decodeFrameNative", "extractAudioNative"}, [](const RpcRequest& r) {
    if (!CheckStrings(r, {"filePath"}) || !CheckNumbers(r, {"timestampSec", "startTimeSec", "durationSec"})) return;
    if (PayloadReader(r.payload).String("filePath").empty()) return r.ReplyError("Invalid parameters");
    r.ReplyNotImplemented();
  });
  routes.Register({"remote.shareSources",
                   "remote.status", "remote.setEnabled", "remote.revoke", "remote.kick", "remote.connect",
                   "remote.renew", "remote.disconnect"},
                  [](const RpcRequest& r) { r.ReplyNotImplemented(); });
}
