#pragma once
// The page's side of remote access: the status record, switching the listener on and off, shares,
// revocation and kicking viewers, and the request rows that reach them.
//
// Threads: the page connection's thread (requests, page connect), the accept and session threads
// (status events through the state's listenerStatusHook). Every function takes the state mutex
// only for short sections and sends events and close frames after releasing it.
#include <cstdint>
#include <string>

#include "remote/remote_state.h"

class RpcRouteTable;

namespace remote {

inline constexpr size_t kMaxShares = 256;
inline constexpr size_t kMaxShareSources = 32;

// The admitted viewers, in admission order (state mutex held; each viewer's mutex taken in turn).
Json BuildViewerList(State& state);
// The status record (state mutex held).
Json BuildStatus(State& state);
Json HandleStatus(State& state);
void HandleSetEnabled(State& state, bool enabled, int32_t port);
// Builds the status and sends it as a "remote.listener" event; what the state's
// listenerStatusHook calls.
void SendListenerStatusEvent(State& state);
// The page (re)connected: it is told the status at once, whether remote access is on or off.
void OnPageConnected(State& state);

// {"ok":true} or {"ok":false,"error":code}.
Json HandleShareSources(State& state, const Json& payload);
// {"ok":true,"closed":n}. The payload has been checked to be an object with the right member types.
Json HandleRevoke(State& state, const Json& payload);
void HandleKick(State& state, const std::string& viewerId);

// The "remote." rows, on the process-wide state.
void RegisterRemoteRows(RpcRouteTable& routes);
void RegisterRemoteRows(RpcRouteTable& routes, State& state);

}  // namespace remote
