// Rows whose owners are not built yet answer as an unknown type would.
#include "bridge/rpc_dispatch.h"

void RegisterPendingRows(RpcRouteTable& routes) {
  routes.Register({"decodeTelemetryPlugin",
                   "decodeNativePlugin", "cancelNativePluginDecode", "remote.shareSources",
                   "remote.status", "remote.setEnabled", "remote.revoke", "remote.kick", "remote.connect",
                   "remote.renew", "remote.disconnect"},
                  [](const RpcRequest& r) { r.ReplyNotImplemented(); });
}
