#pragma once
// The LAN listener of remote access and the viewer sessions behind it. The accept thread and one
// thread per connection belong to the State; StopListener closes every viewer and joins them all.
// A session thread owns its socket (the Viewer's writeLock guards the number for the close frames
// other threads send) and alone closes it.
// A connection has kHandshakeDeadlineMs from its accept until its hello has been read and
// answered; one address holds at most kMaxPendingHandshakesPerAddress of the kMaxPendingHandshakes
// slots, and a locked address is turned away at accept. An admitted viewer that sends nothing, not
// even a ping, for the state's idleLimitMs is ended.
#include <cstdint>
#include <optional>
#include <string>

#include "remote/remote_state.h"

namespace remote {

inline constexpr uint16_t kCloseDisabled = 4001;
inline constexpr uint16_t kCloseAuth = 4401;
inline constexpr uint16_t kCloseDenied = 4403;

// "" on success, "E_REMOTE_BIND" on failure. Stops a running listener first.
std::string StartListener(State& state);
void StopListener(State& state);
// Marks the viewer closed, sends the close frame and shuts its socket down; any thread.
void CloseViewer(Viewer& viewer, uint16_t code, const std::string& reason);
// Host equals one of the state's addresses, ":" and the bound port. State mutex held.
bool HostMatchesListener(const State& state, const std::string& host);
std::string ShortJti(const std::string& jti);

// The next queued message that may leave now, within the viewer's rate and byte budget.
std::optional<Json> PumpOutbound(State& state, Viewer& viewer);

// The arguments of "live.subscribe", checked. code is "" or "E_SUBSCRIBE_INVALID".
struct SubscribeArgs {
  std::string code;
  int32_t rate = 20;
  int64_t fromSeq = 0;
  std::string source;
  Json resume;  // an object, or null when absent
};
SubscribeArgs ParseSubscribeArgs(const Json& payload);
// A "fromSeq"-like number: false when not a number or negative; huge values clamp to INT64_MAX.
bool ReadSeqNumber(const Json& value, int64_t* out);

// The viewers' idle bound under the test setting QVN_REMOTE_TEST_IDLE_SECONDS: 1 to 60 seconds
// shorten it, so whole-program tests need not wait a minute; it is never lengthened, and a refused
// value is logged and leaves the bound as it is. Unset or empty: the bound itself.
int64_t IdleLimitFromTestSetting(const char* seconds);

// Start-up: applies the idle test setting, reads the settings (a stored port other than the fixed
// one is rewritten) and, when enabled, starts the listener. Shutdown: stops it and clears
// listening.
void Start(State& state);
void Shutdown(State& state);

}  // namespace remote
