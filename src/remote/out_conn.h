#pragma once
// Outgoing viewer connections: this instance watching another one's verified streams as a viewer
// and passing what it receives to the page as "remote.source", "remote.batch" and
// "remote.connection" events.
//
// Threads: one thread per connection (OutConnThread) tries the addresses; the page connection's
// thread calls the Handle* functions; the main thread calls CloseAllOutConns at exit.
// Ownership: the state's outConns list and the connection's thread share the OutConn. The record
// is removed from the list only by TakeOutConn or CloseAllOutConns, and each of those stops and
// joins the thread before letting it go.
// Invariants: stateMutex guards token, tokenSpent, resume, pendingRenew and socket (renewed is
// signalled under it); sendMutex serialises the frames the session writes. A token that a server
// admitted with "hello-ok" is never presented in a hello again: the server remembers it and would
// count the replay as a failed admission of this instance's address. A reconnect waits for the
// page's renewal instead. The socket is recorded before its connect begins, so a stop can
// always interrupt it, and it is cleared under stateMutex before it is closed, so StopOutConn never
// shuts down a descriptor number the kernel has since handed to someone else. The state mutex is
// never held together with a connection's mutexes.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "remote/remote_state.h"

namespace remote {

inline constexpr int32_t kClientConnectTimeoutMs = 3000;
inline constexpr int32_t kClientIoTimeoutMs = 3000;
inline constexpr int32_t kClientPollMs = 200;
inline constexpr size_t kClientHandshakeLimit = 8192;
// How long a reconnect waits for the page to renew a token that was already admitted.
inline constexpr int32_t kClientRenewWaitMs = 30000;

struct TargetAddress {
  std::string host;  // dotted IPv4
  std::string kind;  // "lan" or "vpn"
  uint16_t port = 0;
};
// "host:port" (split at the first ':') or "[host]:port"; the host must be a LAN or VPN address.
std::optional<TargetAddress> ParseTargetAddress(const std::string& address);
using TargetCheck = std::function<std::optional<TargetAddress>(const std::string& address)>;

// The first usable "addr" of the token's unverified payload, or "".
std::string TargetFromToken(const std::string& token);

struct OutConn {
  std::string connectionId;
  std::string token;
  std::vector<std::string> addresses;
  Json resume = Json::object();
  int32_t maxHz = 20;
  std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
  int socket = -1;
  std::mutex sendMutex;
  std::mutex stateMutex;
  std::string pendingRenew;
  bool tokenSpent = false;             // token was admitted by a server
  std::condition_variable renewed;     // a renewal or a stop; waited on with stateMutex
  std::thread thread;
  TargetCheck check = ParseTargetAddress;
};
using OutConnPtr = std::shared_ptr<OutConn>;

// What one session of a connection ended with.
struct ClientSessionResult {
  bool connected = false;
  int code = 0;
  std::string reason;
};

// The reading side of one session: what to send and to tell the page after a server message.
struct ClientSession {
  bool helloOk = false;
  std::string shareId;
};
struct ServerMessageActions {
  std::vector<std::string> sends;   // texts to send, in order
  std::vector<std::string> events;  // page events, in order
  bool connected = false;           // this message was the first "hello-ok"
  bool end = false;                 // the session ends with code and reason
  int code = 0;
  std::string reason;
};
// Pure but for the connection's resume map, which it updates under stateMutex. A source's end
// ("rt.source" ended) starts its resume position again: a new run counts its seqs from 1.
ServerMessageActions HandleServerMessage(OutConn& conn, ClientSession& session, const std::string& text);
// The close code a server "error" code ends the connection with (0: try on).
int CloseCodeForError(const std::string& code);
// The "live.subscribe" texts after "hello-ok".
std::vector<std::string> SubscribeMessages(int32_t maxHz, const Json& resume, bool shareSourcesCapable);

// "" on success, else "request_invalid" or "E_REMOTE_UNREACHABLE".
std::string HandleConnect(State& state, const std::string& connectionId, const std::string& token,
                          const std::vector<std::string>& addresses, const Json& resume, int32_t maxHz,
                          TargetCheck check = ParseTargetAddress);
// "" on success, else "request_invalid" or "E_SHARE_UNKNOWN".
std::string HandleRenew(State& state, const std::string& connectionId, const std::string& token);
void HandleDisconnect(State& state, const std::string& connectionId);
void CloseAllOutConns(State& state);
OutConnPtr TakeOutConn(State& state, const std::string& connectionId);
void StopOutConn(OutConn& conn);

void EmitConnectionEvent(State& state, const OutConn& conn, const std::string& connState, const std::string& addr,
                         int code, const std::string& reason);
void OutConnThread(State& state, OutConnPtr conn);
ClientSessionResult RunClientSession(State& state, OutConn& conn, const std::string& address);

}  // namespace remote
