// Rows whose owners are not built yet answer as an unknown type would.
#include "bridge/rpc_dispatch.h"

void RegisterPendingRows(RpcRouteTable& routes) {
  routes.Register({"decodeTelemetryPlugin",
                   "decodeNativePlugin", "cancelNativePluginDecode"},
                  [](const RpcRequest& r) { r.ReplyNotImplemented(); });
}
