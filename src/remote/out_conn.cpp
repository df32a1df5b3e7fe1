#include "remote/out_conn.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <random>
#include <utility>

#include "base/base64.h"
#include "base/json.h"
#include "bridge/tokens/base64url.h"
#include "bridge/ws_handshake.h"
#include "platform/net.h"
#include "remote/remote_wire.h"

namespace remote {

namespace net = platform::net;

namespace {

// Host order; in [base, base + 2^(32 - bits)).
bool InRange(uint32_t ip, uint32_t base, int bits) { return (ip >> (32 - bits)) == (base >> (32 - bits)); }

bool ParsePort(const std::string& text, uint16_t* port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const long value = std::stol(text);
  if (value < 1 || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

const std::string* StringAt(const Json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? &it->get_ref<const std::string&>() : nullptr;
}

std::string RandomWsKey() {
  std::random_device device;
  uint8_t bytes[16];
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(device());
  return Base64Encode(bytes, sizeof bytes);
}

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Connects without blocking, waiting at most kClientConnectTimeoutMs; a StopOutConn shuts the
// socket down, which ends the wait at once.
bool ConnectBounded(int fd, const TargetAddress& target, const std::atomic<bool>& stop) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(target.port);
  if (inet_pton(AF_INET, target.host.c_str(), &addr.sin_addr) != 1) return false;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS) return false;
    const int64_t deadline = SteadyMs() + kClientConnectTimeoutMs;
    for (;;) {
      if (stop.load()) return false;
      const int64_t left = deadline - SteadyMs();
      if (left <= 0) return false;
      pollfd p{fd, POLLOUT, 0};
      const int n = poll(&p, 1, static_cast<int>(left));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      break;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return false;
  }
  if (stop.load()) return false;
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// Clears the record first, under its lock, then closes: a concurrent stop either shut down this
// socket while it was still recorded or finds nothing to shut down.
void ReleaseSocket(OutConn& conn, int fd) {
  {
    std::lock_guard<std::mutex> lock(conn.stateMutex);
    if (conn.socket == fd) conn.socket = -1;
  }
  net::CloseSocket(fd);
}

}  // namespace

std::optional<TargetAddress> ParseTargetAddress(const std::string& address) {
  std::string host, portText;
  if (!address.empty() && address[0] == '[') {
    const size_t close = address.find(']');
    if (close == std::string::npos || close + 1 >= address.size() || address[close + 1] != ':' ||
        close + 2 >= address.size()) {
      return std::nullopt;
    }
    host = address.substr(1, close - 1);
  } else {
    const size_t colon = address.find(':');
    if (colon == std::string::npos) return std::nullopt;
    host = address.substr(0, colon);
  }
  // The port is what follows the first ':' of the whole text.
  portText = address.substr(address.find(':') + 1);
  TargetAddress target;
  if (!ParsePort(portText, &target.port)) return std::nullopt;
  in_addr parsed{};
  if (inet_pton(AF_INET, host.c_str(), &parsed) != 1) return std::nullopt;
  const uint32_t ip = ntohl(parsed.s_addr);
  if (InRange(ip, 0x0A000000u, 8) || InRange(ip, 0xAC100000u, 12) || InRange(ip, 0xC0A80000u, 16)) {
    target.kind = "lan";
  } else if (InRange(ip, 0x64400000u, 10)) {
    target.kind = "vpn";
  } else {
    return std::nullopt;
  }
  target.host = std::move(host);
  return target;
}

std::string TargetFromToken(const std::string& token) {
  const size_t first = token.find('.');
  if (first == std::string::npos) return "";
  const size_t second = token.find('.', first + 1);
  if (second == std::string::npos) return "";
  std::string decoded;
  if (!Base64UrlDecode(std::string_view(token).substr(first + 1, second - first - 1), decoded)) return "";
  const Json payload = Json::parse(decoded, nullptr, false);
  if (!payload.is_object()) return "";
  auto addr = payload.find("addr");
  if (addr == payload.end() || !addr->is_array()) return "";
  for (const Json& a : *addr) {
    if (a.is_string() && ParseTargetAddress(a.get<std::string>())) return a.get<std::string>();
  }
  return "";
}

int CloseCodeForError(const std::string& code) {
  if (code == "E_TOKEN_REVOKED" || code == "E_VIEWER_LIMIT") return 4403;
  if (code.rfind("E_TOKEN_", 0) == 0 || code == "E_SCOPE_DENIED" || code == "E_ROLE_DENIED") return 4401;
  return 0;
}

std::vector<std::string> SubscribeMessages(int32_t maxHz, const Json& resume, bool shareSourcesCapable) {
  std::vector<std::string> out;
  if (shareSourcesCapable) {
    out.push_back(DumpCompact({{"type", "live.subscribe"}, {"payload", {{"maxHz", maxHz}, {"resume", resume}}}}));
  } else if (resume.empty()) {
    out.push_back(DumpCompact({{"type", "live.subscribe"}, {"payload", {{"maxHz", maxHz}}}}));
  } else {
    for (auto it = resume.begin(); it != resume.end(); ++it) {
      Json payload = {{"source", it.key()}, {"maxHz", maxHz}};
      if (it.value().is_number()) payload["fromSeq"] = it.value();
      out.push_back(DumpCompact({{"type", "live.subscribe"}, {"payload", std::move(payload)}}));
    }
  }
  return out;
}

ServerMessageActions HandleServerMessage(OutConn& conn, ClientSession& session, const std::string& text) {
  ServerMessageActions actions;
  const Json message = Json::parse(text, nullptr, false);
  const std::string* typePtr = StringAt(message, "type");
  const std::string type = typePtr ? *typePtr : "";
  static const Json kEmpty = Json::object();
  const Json& payload = message.is_object() && message.contains("payload") ? message["payload"] : kEmpty;
  if (type == "error") {
    const std::string* code = StringAt(payload, "code");
    if (code == nullptr) code = StringAt(message, "code");
    actions.end = true;
    actions.reason = code ? *code : "";
    actions.code = CloseCodeForError(actions.reason);
  } else if (type == "hello-ok") {
    if (session.helloOk) return actions;
    const std::string* share = StringAt(payload, "shareId");
    session.shareId = share ? *share : "";
    bool capable = false;
    if (payload.is_object()) {
      auto caps = payload.find("capabilities");
      if (caps != payload.end() && caps->is_array()) {
        for (const Json& c : *caps) capable = capable || (c.is_string() && c == "remoteShareSources");
      }
    }
    Json resume;
    int32_t maxHz;
    {
      std::lock_guard<std::mutex> lock(conn.stateMutex);
      resume = conn.resume;
      maxHz = conn.maxHz;
    }
    actions.sends = SubscribeMessages(maxHz, resume, capable);
    session.helloOk = true;
    actions.connected = true;
  } else if (type == "rt.source") {
    const std::string* state = StringAt(payload, "state");
    if (state && *state == "ended" && StringAt(payload, "source")) {
      {
        // The next run of the source starts at seq 1: resuming from this run's last seq would
        // skip its first frames after a reconnect.
        std::lock_guard<std::mutex> lock(conn.stateMutex);
        conn.resume[*StringAt(payload, "source")] = 0;
      }
      Json event = payload;
      event["type"] = "remote.source";
      event["connectionId"] = conn.connectionId;
      event["shareId"] = session.shareId;
      actions.events.push_back(DumpCompact(event));
    }
  } else if (type == "rt.batch" && message.contains("frames") && message["frames"].is_array()) {
    Json kept = Json::array();
    for (const Json& frame : message["frames"]) {
      const std::string* provenance = StringAt(frame, "provenance");
      if (!provenance || *provenance != "verified") continue;
      const std::string* source = StringAt(frame, "source");
      auto seq = frame.find("seq");
      if (source && seq != frame.end() && seq->is_number()) {
        std::lock_guard<std::mutex> lock(conn.stateMutex);
        const Json& stored = conn.resume.contains(*source) ? conn.resume[*source] : Json();
        const double have = stored.is_number() ? stored.get<double>() : 0.0;
        conn.resume[*source] = seq->get<double>() > have ? *seq : (stored.is_number() ? stored : Json(0));
      }
      kept.push_back(frame);
    }
    if (!kept.empty()) {
      actions.events.push_back(DumpCompact({{"type", "remote.batch"},
                                            {"connectionId", conn.connectionId},
                                            {"shareId", session.shareId},
                                            {"frames", std::move(kept)}}));
    }
  }
  return actions;
}

void EmitConnectionEvent(State& state, const OutConn& conn, const std::string& connState, const std::string& addr,
                         int code, const std::string& reason) {
  Json event = {{"type", "remote.connection"}, {"connectionId", conn.connectionId}, {"state", connState}};
  if (!addr.empty()) event["addr"] = addr;
  if (code > 0) event["code"] = code;
  if (!reason.empty()) event["reason"] = reason;
  SendEvent(state, DumpCompact(event));
}

ClientSessionResult RunClientSession(State& state, OutConn& conn, const std::string& address) {
  ClientSessionResult result;
  const std::optional<TargetAddress> target = conn.check(address);
  if (!target) return result;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return result;
  // Batches are small and latency matters more than packet count.
  net::SetNoDelay(fd);
  {
    std::lock_guard<std::mutex> lock(conn.stateMutex);
    if (conn.stop->load()) {
      net::CloseSocket(fd);
      return result;
    }
    conn.socket = fd;
  }
  if (!ConnectBounded(fd, *target, *conn.stop)) {
    ReleaseSocket(conn, fd);
    return result;
  }
  SetSocketTimeouts(fd, kClientIoTimeoutMs, kClientIoTimeoutMs);
  const std::string key = RandomWsKey();
  const std::string request = "GET / HTTP/1.1\r\nHost: " + address +
                              "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key +
                              "\r\nSec-WebSocket-Version: 13\r\n\r\n";
  if (!net::SendAll(fd, request.data(), request.size())) {
    ReleaseSocket(conn, fd);
    return result;
  }
  std::string buffer;
  size_t headEnd;
  while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
    char chunk[1024];
    const ssize_t n = net::Receive(fd, chunk, sizeof chunk);
    if (n <= 0 || buffer.size() + static_cast<size_t>(n) > kClientHandshakeLimit) {
      ReleaseSocket(conn, fd);
      return result;
    }
    buffer.append(chunk, static_cast<size_t>(n));
  }
  const std::string head = buffer.substr(0, headEnd + 4);
  buffer.erase(0, headEnd + 4);
  if (head.compare(0, 13, "HTTP/1.1 101 ") != 0 || FindHeaderValue(head, "Sec-WebSocket-Accept") != WsAcceptKey(key)) {
    ReleaseSocket(conn, fd);
    return result;
  }
  std::string token;
  {
    std::lock_guard<std::mutex> lock(conn.stateMutex);
    token = conn.token;
    conn.pendingRenew.clear();
  }
  const std::string hello =
      DumpCompact({{"type", "hello"}, {"payload", {{"protocol", 2}, {"role", "viewer"}, {"token", token}}}});
  if (!WsSendText(fd, hello, true, &conn.sendMutex)) {
    ReleaseSocket(conn, fd);
    return result;
  }
  SetSocketTimeouts(fd, kClientPollMs, -1);
  ClientSession session;
  // The listener ends a viewer that is silent for its idle bound; a ping, which its wire layer
  // answers, keeps a quiet watch alive.
  const int64_t keepAliveMs = std::max<int64_t>(1, state.idleLimitMs.load() / 4);
  int64_t lastSentMs = SteadyMs();
  while (!conn.stop->load()) {
    std::string renew;
    {
      std::lock_guard<std::mutex> lock(conn.stateMutex);
      renew.swap(conn.pendingRenew);
    }
    if (!renew.empty() && session.helloOk) {
      if (!WsSendText(fd, DumpCompact({{"type", "renew"}, {"payload", {{"token", renew}}}}), true, &conn.sendMutex)) {
        break;
      }
      lastSentMs = SteadyMs();
    }
    if (session.helloOk && SteadyMs() - lastSentMs >= keepAliveMs) {
      if (!WsSendPing(fd, true, &conn.sendMutex)) break;
      lastSentMs = SteadyMs();
    }
    std::string text;
    const ReadResult read = WsReadMessage(fd, buffer, &text, false, &conn.sendMutex);
    if (read == ReadResult::Timeout) continue;
    if (read == ReadResult::Closed) break;
    ServerMessageActions actions = HandleServerMessage(conn, session, text);
    if (actions.end) {
      result.code = actions.code;
      result.reason = actions.reason;
      break;
    }
    bool sent = true;
    for (const std::string& s : actions.sends) sent = sent && WsSendText(fd, s, true, &conn.sendMutex);
    if (!sent) break;
    if (!actions.sends.empty()) lastSentMs = SteadyMs();
    if (actions.connected) {
      {
        // Admitted: the server now remembers this token (unless a renewal replaced it meanwhile).
        std::lock_guard<std::mutex> lock(conn.stateMutex);
        if (conn.token == token) conn.tokenSpent = true;
      }
      result.connected = true;
      EmitConnectionEvent(state, conn, "connected", address, 0, "");
    }
    for (const std::string& e : actions.events) SendEvent(state, e);
  }
  ReleaseSocket(conn, fd);
  return result;
}

namespace {

// True once the connection holds a token no server has admitted yet. A spent one is not presented
// again: the page is told the watch needs a renewed token ("connecting" with reason
// "E_TOKEN_REPLAY") and the thread waits for "remote.renew". False on a stop or when no renewal
// came within kClientRenewWaitMs.
bool AwaitFreshToken(State& state, OutConn& conn, const std::string& address) {
  {
    std::lock_guard<std::mutex> lock(conn.stateMutex);
    if (!conn.tokenSpent) return true;
  }
  EmitConnectionEvent(state, conn, "connecting", address, 0, "E_TOKEN_REPLAY");
  std::unique_lock<std::mutex> lock(conn.stateMutex);
  conn.renewed.wait_for(lock, std::chrono::milliseconds(kClientRenewWaitMs),
                        [&] { return !conn.tokenSpent || conn.stop->load(); });
  return !conn.tokenSpent && !conn.stop->load();
}

}  // namespace

void OutConnThread(State& state, OutConnPtr conn) {
  const std::string first = conn->addresses.empty() ? "" : conn->addresses.front();
  EmitConnectionEvent(state, *conn, "connecting", first, 0, "");
  int lastCode = 0;
  std::string lastReason;
  bool everConnected = false;
  auto final = [](int code) { return code == 4401 || code == 4403 || code == 4001; };
  for (int pass = 0; pass < 2 && !conn->stop->load(); ++pass) {
    for (const std::string& address : conn->addresses) {
      if (conn->stop->load()) break;
      if (!AwaitFreshToken(state, *conn, address)) {
        if (conn->stop->load()) break;
        EmitConnectionEvent(state, *conn, "closed", address, 4401, "E_TOKEN_REPLAY");
        return;
      }
      EmitConnectionEvent(state, *conn, "connecting", address, 0, "");
      ClientSessionResult r = RunClientSession(state, *conn, address);
      if (r.connected) {
        everConnected = true;
        lastCode = r.code;
        lastReason = r.reason;
        if (conn->stop->load() || final(r.code)) {
          EmitConnectionEvent(state, *conn, "closed", address, r.code, r.reason);
          return;
        }
        break;  // the next pass starts again at the first address
      }
      if (final(r.code)) {
        EmitConnectionEvent(state, *conn, "closed", address, r.code, r.reason);
        return;
      }
      if (r.code != 0 || !r.reason.empty()) {
        lastCode = r.code;
        lastReason = r.reason;
      }
    }
    if (!everConnected) break;
  }
  if (!everConnected && lastReason.empty()) lastReason = "E_REMOTE_UNREACHABLE";
  EmitConnectionEvent(state, *conn, "closed", first, lastCode, lastReason);
}

OutConnPtr TakeOutConn(State& state, const std::string& connectionId) {
  std::lock_guard<std::mutex> lock(state.mutex);
  for (auto it = state.outConns.begin(); it != state.outConns.end(); ++it) {
    if ((*it)->connectionId == connectionId) {
      OutConnPtr conn = *it;
      state.outConns.erase(it);
      return conn;
    }
  }
  return nullptr;
}

void StopOutConn(OutConn& conn) {
  conn.stop->store(true);
  {
    std::lock_guard<std::mutex> lock(conn.stateMutex);
    if (conn.socket >= 0) net::ShutdownSocket(conn.socket);
    conn.renewed.notify_all();
  }
  if (conn.thread.joinable() && conn.thread.get_id() != std::this_thread::get_id()) conn.thread.join();
}

std::string HandleConnect(State& state, const std::string& connectionId, const std::string& token,
                          const std::vector<std::string>& addresses, const Json& resume, int32_t maxHz,
                          TargetCheck check) {
  if (connectionId.empty() || token.empty()) return "request_invalid";
  std::vector<std::string> candidates = addresses;
  if (candidates.empty()) {
    const std::string fromToken = TargetFromToken(token);
    if (!fromToken.empty()) candidates.push_back(fromToken);
  }
  std::vector<std::string> targets;
  for (const std::string& c : candidates) {
    if (check(c)) targets.push_back(c);
  }
  if (targets.empty()) return "E_REMOTE_UNREACHABLE";
  if (OutConnPtr old = TakeOutConn(state, connectionId)) StopOutConn(*old);
  auto conn = std::make_shared<OutConn>();
  conn->connectionId = connectionId;
  conn->token = token;
  conn->addresses = std::move(targets);
  conn->resume = resume.is_object() ? resume : Json::object();
  conn->maxHz = maxHz <= 0 ? 1 : maxHz > 20 ? 20 : maxHz;
  conn->check = std::move(check);
  // The thread is started under the state mutex so a CloseAllOutConns that finds the record
  // always finds its thread too.
  std::lock_guard<std::mutex> lock(state.mutex);
  state.outConns.push_back(conn);
  conn->thread = std::thread(OutConnThread, std::ref(state), conn);
  return "";
}

std::string HandleRenew(State& state, const std::string& connectionId, const std::string& token) {
  if (connectionId.empty() || token.empty()) return "request_invalid";
  OutConnPtr conn;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    for (const OutConnPtr& c : state.outConns) {
      if (c->connectionId == connectionId) conn = c;
    }
  }
  if (!conn) return "E_SHARE_UNKNOWN";
  std::lock_guard<std::mutex> lock(conn->stateMutex);
  conn->token = token;
  conn->pendingRenew = token;
  conn->tokenSpent = false;  // a renewal is checked without being remembered: a hello may use it
  conn->renewed.notify_all();
  return "";
}

void HandleDisconnect(State& state, const std::string& connectionId) {
  if (OutConnPtr conn = TakeOutConn(state, connectionId)) StopOutConn(*conn);
}

void CloseAllOutConns(State& state) {
  std::vector<OutConnPtr> conns;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    conns = std::move(state.outConns);
    state.outConns.clear();
  }
  for (const OutConnPtr& c : conns) StopOutConn(*c);
}

}  // namespace remote
