#include "bridge/ws_server.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <exception>

#include <nlohmann/json.hpp>

#include "base/log.h"
#include "base/thread.h"
#include "bridge/ws_frames.h"
#include "bridge/ws_limits.h"
#include "platform/memory.h"
#include "platform/net.h"

namespace net = platform::net;

std::recursive_mutex& UiDispatchLock() {
  // Never destroyed: detached connection threads may still take it while the process exits.
  static auto* lock = new std::recursive_mutex;
  return *lock;
}

// One accepted socket. Its connection thread owns the descriptor and alone closes it; other
// threads send under the send lock or shut it down, which wakes the owner.
class WsConnection final : public WsPeer {
 public:
  explicit WsConnection(int fd) : fd_(fd) {
    net::SetSendTimeout(fd, kWsSendTimeoutMs);
    // Replies and events are small and often follow one another: Nagle's wait for an ACK that
    // the peer delays would hold each of them back.
    net::SetNoDelay(fd);
  }
  ~WsConnection() override { Close(); }

  // Header and payload go out in one vectored send, the payload from where the caller holds it.
  // Nothing follows a close frame.
  bool SendFrame(uint8_t opcode, const uint8_t* bytes, size_t length) {
    const std::string header = EncodeWsFrameHeader(opcode, length);
    std::lock_guard<std::mutex> lock(sendLock_);
    if (fd_ < 0 || closeSent_) return false;
    closeSent_ = opcode == kWsClose;
    if (net::SendAllPair(fd_, header.data(), header.size(), bytes, length)) return true;
    // The stream may now end inside a frame: nothing more can be sent on it.
    net::ShutdownSocket(fd_);
    return false;
  }
  // A text frame and a binary frame back to back in one vectored send: a reply and the bytes it
  // announces reach the peer together, with no other frame between them.
  bool SendTextThenBinary(const std::string& text, const uint8_t* bytes, size_t length) {
    const std::string textHeader = EncodeWsFrameHeader(kWsText, text.size());
    const std::string binaryHeader = EncodeWsFrameHeader(kWsBinary, length);
    iovec parts[4] = {{const_cast<char*>(textHeader.data()), textHeader.size()},
                      {const_cast<char*>(text.data()), text.size()},
                      {const_cast<char*>(binaryHeader.data()), binaryHeader.size()},
                      {const_cast<uint8_t*>(bytes), length}};
    std::lock_guard<std::mutex> lock(sendLock_);
    if (fd_ < 0) return false;
    if (net::SendAllParts(fd_, parts, 4)) return true;
    net::ShutdownSocket(fd_);
    return false;
  }
  bool SendText(const std::string& text) override {
    return SendFrame(kWsText, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
  void SendClose(const std::string& reason) override {
    const std::string payload = WsClosePayload(kWsCloseAuth, reason);
    SendFrame(kWsClose, reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
  }
  void Shutdown() override {
    std::lock_guard<std::mutex> lock(stateLock_);
    if (fd_ >= 0) net::ShutdownSocket(fd_);
  }
  // Owner only. A send in progress is woken by the shutdown and finishes before the close.
  void Close() {
    Shutdown();
    std::lock_guard<std::mutex> send(sendLock_);
    std::lock_guard<std::mutex> state(stateLock_);
    if (fd_ >= 0) net::CloseSocket(fd_);
    fd_ = -1;
  }
  // For the owner's own reads.
  int fd() const { return fd_; }

  std::chrono::steady_clock::time_point acceptedAt;  // set before the thread starts
  uint64_t generation = 0;  // the UI generation this connection was stored under
  bool isPlugin = false;    // guarded by the server's connectionsLock_

 private:
  std::mutex sendLock_;
  bool closeSent_ = false;  // guarded by sendLock_
  std::mutex stateLock_;
  int fd_;
};

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);
// How long Stop waits for the connection threads to end before it goes on regardless.
constexpr auto kStopWait = std::chrono::milliseconds(5000);

// Milliseconds until deadline, rounded up so a wait never ends just before it.
int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
}

// How a read loop ended: kTooLarge when a frame or message over the limit was refused (the peer
// was sent close 1009), kEnded for every other end.
enum class ReadEnd { kEnded, kTooLarge };

// A frame or message over the limit is refused with close 1009 and a reason that names the
// limit, so the peer knows why it lost the connection.
ReadEnd RefuseTooLarge(WsConnection& connection, uint64_t limit) {
  const std::string payload =
      WsClosePayload(kWsCloseTooBig, "message exceeds " + std::to_string(limit) + " bytes");
  if (!connection.SendFrame(kWsClose, reinterpret_cast<const uint8_t*>(payload.data()), payload.size())) {
    return ReadEnd::kTooLarge;
  }
  // The peer is most likely still sending the message. Closing with its bytes unread would reset
  // the connection, and a reset can destroy the close frame before the peer reads it: so what
  // arrives is read and dropped until the peer closes or goes quiet, for a bounded time.
  const Clock::time_point until = Clock::now() + kWsRefusedDrainTime;
  char scratch[16 * 1024];
  for (;;) {
    ssize_t n = net::ReceiveNow(connection.fd(), scratch, sizeof scratch);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const Clock::time_point quietUntil = std::min(until, Clock::now() + kWsRefusedDrainQuiet);
      if (net::WaitReadable(connection.fd(), -1, MillisecondsLeft(quietUntil)) != net::WaitResult::Ready) break;
      continue;
    }
    if (n <= 0 || Clock::now() >= until) break;
  }
  return ReadEnd::kTooLarge;
}

// Reads frames until the connection should end: the peer closed, an error, a frame or message
// over limit() (refused with close 1009), a close frame, a refusal by onMessage or onCheck, or
// the server stopping.
// onCheck runs once nextCheck() has come, however busy the peer keeps the socket. The socket is
// polled only when something is due and a read finds nothing; buffers grown by a large message
// are given back once kWsReleaseBuffersAfter passes without another.
template <typename LimitFn, typename NextCheckFn, typename CheckFn, typename MessageFn>
ReadEnd ReadLoop(WsConnection& connection, const std::atomic<bool>& running, LimitFn limit, NextCheckFn nextCheck,
                 CheckFn onCheck, MessageFn onMessage) {
  WsFrameReader reader;
  WsMessageAssembler assembler;
  WsFrame frame;
  Clock::time_point releaseAt = Clock::time_point::max();
  auto holdsLarge = [&] {
    return reader.CapacityBytes() > kWsKeptBufferBytes + WsFrameReader::kReadChunk ||
           assembler.CapacityBytes() > kWsKeptBufferBytes || frame.payload.capacity() > kWsKeptBufferBytes;
  };
  while (running) {
    const Clock::time_point due = nextCheck();
    Clock::time_point now = Clock::now();
    if (due <= now) {
      if (!onCheck()) return ReadEnd::kEnded;
      continue;
    }
    if (releaseAt <= now) {
      reader.ReleaseLargeBuffers();
      assembler.ReleaseLargeBuffers();
      ReleaseLargeFrameBuffer(frame);
      platform::ReturnFreeMemoryToSystem();
      releaseAt = Clock::time_point::max();
    }
    const WsFrameReader::Writable space = reader.Space();
    const Clock::time_point until = std::min(due, releaseAt);
    // With nothing due, one blocking read returns what has arrived or waits for it (a shutdown
    // ends the wait); otherwise the wait for the socket is bounded by what is due.
    ssize_t n = until == Clock::time_point::max() ? net::Receive(connection.fd(), space.data, space.length)
                                                  : net::ReceiveNow(connection.fd(), space.data, space.length);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      switch (net::WaitReadable(connection.fd(), -1, MillisecondsLeft(until))) {
        case net::WaitResult::TimedOut:
          continue;
        case net::WaitResult::Ready:
          break;
        default:
          return ReadEnd::kEnded;
      }
      n = net::Receive(connection.fd(), space.data, space.length);
    }
    if (n <= 0) return ReadEnd::kEnded;
    reader.Commit(static_cast<size_t>(n));
    for (;;) {
      // The limit may rise within one read: the hello and the first requests can come together.
      const uint64_t max = limit();
      WsFrameReader::Status status = reader.Next(&frame, max);
      if (status == WsFrameReader::Status::NeedMore) break;
      if (status == WsFrameReader::Status::TooLarge) return RefuseTooLarge(connection, max);
      if (frame.opcode == kWsClose) {
        connection.SendFrame(kWsClose, nullptr, 0);
        return ReadEnd::kEnded;
      }
      if (frame.opcode == kWsPing) {
        connection.SendFrame(kWsPong, reinterpret_cast<const uint8_t*>(frame.payload.data()), frame.payload.size());
        continue;
      }
      if (frame.opcode == kWsPong) continue;
      WsMessageAssembler::Status added = assembler.Add(frame, max);
      if (added == WsMessageAssembler::Status::TooLarge) return RefuseTooLarge(connection, max);
      if (added == WsMessageAssembler::Status::Pending) continue;
      const bool keep = onMessage(assembler.opcode(), assembler.message());
      assembler.Reset();
      if (!keep) return ReadEnd::kEnded;
      reader.Recycle(assembler.message());
      if (holdsLarge()) releaseAt = Clock::now() + kWsReleaseBuffersAfter;
    }
  }
  return ReadEnd::kEnded;
}

// Reads a page hello's "type" and "payload"."token" as the document would give them (a repeated
// member counts with its last value) without building the document: the text comes from a peer
// that has proved nothing yet, and a deeply nested one would cost a hundred times its size.
class UiHelloReader final : public nlohmann::json_sax<nlohmann::json> {
 public:
  std::string token;

  bool Accepted() const { return topIsObject_ && typeIsHello_ && !tokenNotString_; }

  bool null() override { return Scalar(nullptr); }
  bool boolean(bool) override { return Scalar(nullptr); }
  bool number_integer(number_integer_t) override { return Scalar(nullptr); }
  bool number_unsigned(number_unsigned_t) override { return Scalar(nullptr); }
  bool number_float(number_float_t, const string_t&) override { return Scalar(nullptr); }
  bool string(string_t& value) override { return Scalar(&value); }
  bool binary(binary_t&) override { return Scalar(nullptr); }
  bool start_object(std::size_t) override { return Open(true); }
  bool start_array(std::size_t) override { return Open(false); }
  bool end_object() override { return Close(); }
  bool end_array() override { return Close(); }
  bool key(string_t& name) override {
    if (depth_ == 1) topKey_ = name;
    if (depth_ == 2) payloadKey_ = name;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

 private:
  bool InPayload() const { return depth_ == 2 && payloadIsObject_ && topKey_ == "payload"; }

  // A value at the current depth; str is set for strings.
  void Value(bool isObject, const string_t* str) {
    if (depth_ == 1 && topKey_ == "type") typeIsHello_ = str && *str == "hello";
    if (depth_ == 1 && topKey_ == "payload") {  // a later payload replaces an earlier one
      payloadIsObject_ = isObject;
      token.clear();
      tokenNotString_ = false;
    }
    if (InPayload() && payloadKey_ == "token") {
      tokenNotString_ = str == nullptr;
      token = str ? *str : std::string();
    }
  }
  bool Scalar(const string_t* str) {
    if (depth_ == 0) return false;  // not an object: no hello, no need to read on
    Value(false, str);
    return true;
  }
  bool Open(bool isObject) {
    if (depth_ == 0) {
      if (!isObject) return false;
      topIsObject_ = true;
    } else {
      Value(isObject, nullptr);
    }
    ++depth_;
    return true;
  }
  bool Close() {
    --depth_;
    return true;
  }

  size_t depth_ = 0;
  std::string topKey_;
  std::string payloadKey_;
  bool topIsObject_ = false;
  bool typeIsHello_ = false;
  bool payloadIsObject_ = false;
  bool tokenNotString_ = false;
};

template <typename Fn>
void CallGuarded(const char* what, Fn&& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    LogPrintf("[ws] %s failed: %s\n", what, e.what());
  } catch (...) {
    LogPrintf("[ws] %s failed\n", what);
  }
}

}  // namespace

std::shared_ptr<WsServer> WsServer::Create() { return std::shared_ptr<WsServer>(new WsServer()); }

WsServer::~WsServer() { Stop(); }

bool WsServer::Start(const std::string& token) {
  std::lock_guard<std::mutex> lock(stopLock_);
  if (running_ || listenFd_ >= 0) return false;
  token_ = token;
  if (!net::MakeWakePipe(wakeFds_)) return false;
  uint16_t port = 0;
  listenFd_ = net::ListenLoopback(kWsListenBacklog, &port);
  if (listenFd_ < 0 || port == 0) {
    if (listenFd_ >= 0) net::CloseSocket(listenFd_);
    listenFd_ = -1;
    net::CloseSocket(wakeFds_[0]);
    net::CloseSocket(wakeFds_[1]);
    wakeFds_[0] = wakeFds_[1] = -1;
    return false;
  }
  port_ = port;
  running_ = true;
  try {
    acceptThread_ = std::thread([this] { AcceptLoop(); });
  } catch (...) {
    running_ = false;
    return false;  // Stop closes the sockets
  }
  return true;
}

void WsServer::Enqueue(Queue& queue, const std::shared_ptr<WsConnection>& connection, size_t cap) {
  while (!queue.empty() && queue.size() >= cap) {
    queue.front()->Shutdown();  // its own thread sees the end and closes it
    queue.pop_front();
  }
  queue.push_back(connection);
}

bool WsServer::TakeOut(Queue& queue, const std::shared_ptr<WsConnection>& connection) {
  auto it = std::find(queue.begin(), queue.end(), connection);
  if (it == queue.end()) return false;
  queue.erase(it);
  return true;
}

void WsServer::AcceptLoop() {
  while (running_) {
    net::WaitResult wait = net::WaitReadable(listenFd_, wakeFds_[0], -1);
    if (!running_ || wait == net::WaitResult::Woken) break;
    int fd = wait == net::WaitResult::Ready ? net::AcceptConnection(listenFd_) : -1;
    if (fd < 0) {
      // Out of descriptors or memory would fail again at once: wait a little (or for Stop).
      if (wait == net::WaitResult::Failed || (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED &&
                                              errno != EINTR)) {
        net::WaitReadable(wakeFds_[0], -1, static_cast<int>(kAcceptBackoff.count()));
      }
      continue;
    }
    auto connection = std::make_shared<WsConnection>(fd);
    connection->acceptedAt = Clock::now();
    {
      std::lock_guard<std::mutex> lock(connectionsLock_);
      connections_.insert(connection);
      Enqueue(pendingHandshakes_, connection, kWsMaxPendingHandshakes);
      ++liveConnectionThreads_;
    }
    const bool started = base::StartDetachedThread(
        "ws connection", [self = shared_from_this(), connection] { self->ConnectionThread(connection); });
    if (!started) {
      Forget(connection);
      connection->Close();
      std::lock_guard<std::mutex> lock(connectionsLock_);
      --liveConnectionThreads_;
      connectionThreadEnded_.notify_all();
    }
  }
}

WsConnectionKind WsServer::Handshake(WsConnection& connection, Clock::time_point deadline) {
  std::string buffer;
  char piece[2048];
  size_t end;
  for (;;) {
    end = buffer.find("\r\n\r\n");
    if (end != std::string::npos) break;
    if (buffer.size() > kWsMaxHeaderBytes) return WsConnectionKind::Rejected;
    // The whole request has one deadline from the accept, however the bytes trickle in; a
    // push-out or Stop shuts the socket down, which ends the wait as well.
    if (net::WaitReadable(connection.fd(), -1, MillisecondsLeft(deadline)) != net::WaitResult::Ready) {
      return WsConnectionKind::Rejected;
    }
    ssize_t n = net::Receive(connection.fd(), piece, sizeof piece);
    if (n <= 0) return WsConnectionKind::Rejected;
    buffer.append(piece, static_cast<size_t>(n));
  }
  buffer.resize(end + 4);

  WsUpgradeRequest request;
  if (!ParseWsUpgradeRequest(buffer, &request)) return WsConnectionKind::Rejected;
  std::string reason;
  WsConnectionKind kind = CheckWsUpgradeRequest(request, token_, port_, &reason);
  if (kind == WsConnectionKind::Rejected) {
    LogPrintf("[ws] rejected handshake: %s\n", reason.c_str());
    return kind;
  }
  const std::string key = FindHttpHeader(buffer, "Sec-WebSocket-Key");
  if (key.empty()) return WsConnectionKind::Rejected;
  const std::string response = WsHandshakeResponse(key);
  if (!net::SendAll(connection.fd(), response.data(), response.size())) return WsConnectionKind::Rejected;
  return kind;
}

void WsServer::ConnectionThread(const std::shared_ptr<WsConnection>& connection) {
  WsConnectionKind kind = Handshake(*connection, connection->acceptedAt + kWsHandshakeTimeout);
  const Clock::time_point upgraded = Clock::now();
  {
    std::lock_guard<std::mutex> lock(connectionsLock_);
    // One pushed out while its upgrade was finishing has lost its place.
    if (!TakeOut(pendingHandshakes_, connection)) kind = WsConnectionKind::Rejected;
    if (kind == WsConnectionKind::UiNeedsHello) {
      Enqueue(awaitingHello_, connection, kWsMaxUiAwaitingHello);
    } else if (kind == WsConnectionKind::Plugin) {
      if (pluginCount_ < kWsMaxPluginConnections) {
        ++pluginCount_;
        connection->isPlugin = true;
      } else {
        kind = WsConnectionKind::Rejected;  // a fourth plugin: closed without a frame
      }
    }
  }
  switch (kind) {
    case WsConnectionKind::Rejected:
      break;
    case WsConnectionKind::UiWithToken:
      if (ReplaceUiConnection(connection)) RunUiConnection(connection, true, Clock::time_point::max());
      break;
    case WsConnectionKind::UiNeedsHello:
      // It replaces the current page only once its hello proved the token.
      RunUiConnection(connection, false, upgraded + kWsUiHelloTimeout);
      break;
    case WsConnectionKind::Plugin:
      RunPluginConnection(connection);
      break;
  }
  Forget(connection);
  connection->Close();
  std::lock_guard<std::mutex> lock(connectionsLock_);
  --liveConnectionThreads_;
  connectionThreadEnded_.notify_all();
}

void WsServer::Forget(const std::shared_ptr<WsConnection>& connection) {
  std::lock_guard<std::mutex> lock(connectionsLock_);
  TakeOut(pendingHandshakes_, connection);
  TakeOut(awaitingHello_, connection);
  if (connections_.erase(connection) && connection->isPlugin) --pluginCount_;
}

void WsServer::RunUiConnection(const std::shared_ptr<WsConnection>& connection, bool authenticated,
                               Clock::time_point helloDeadline) {
  bool wasCurrent = authenticated;
  const uint64_t messageLimit = uiMessageLimit_.load();
  const ReadEnd end = ReadLoop(
      *connection, running_,
      [&] { return authenticated ? messageLimit : kWsMaxPreHelloMessageBytes; },
      [&] { return authenticated ? Clock::time_point::max() : helloDeadline; },
      [] { return false; },  // only a connection waiting for its hello has a check: its deadline
      [&](int opcode, std::string& message) {
        bool keep = HandleUiMessage(connection, &authenticated, opcode, message);
        wasCurrent = wasCurrent || authenticated;
        return keep;
      });
  // A connection that never proved the token was never the page's: it ends alone.
  if (!wasCurrent) return;
  // A message the host refused is no sign that the page went away: the page's plugins keep
  // running, and the page finds them when it connects again.
  const bool refused = end == ReadEnd::kTooLarge;
  if (refused) {
    LogPrintf("[ws] page message over %llu bytes refused (close 1009); plugins keep running\n",
              static_cast<unsigned long long>(messageLimit));
  }
  EndUiConnection(connection, !refused);
}

bool WsServer::HandleUiMessage(const std::shared_ptr<WsConnection>& connection, bool* authenticated, int opcode,
                               std::string& message) {
  // The hello is checked before the lock: a stranger's first message must not hold up the
  // page's requests while it is parsed.
  if (!*authenticated) {
    // One pushed out by newer strangers has lost its place: its message is not even read.
    std::lock_guard<std::mutex> lock(connectionsLock_);
    if (std::find(awaitingHello_.begin(), awaitingHello_.end(), connection) == awaitingHello_.end()) return false;
  }
  if (!*authenticated && (opcode != kWsText || !CheckUiHello(message))) {
    LogPrintf("[ws] closing: first message was not an authenticated hello\n");
    return false;
  }
  std::lock_guard<std::recursive_mutex> dispatch(UiDispatchLock());
  if (!running_) return false;
  if (!*authenticated) {
    {
      std::lock_guard<std::mutex> lock(connectionsLock_);
      if (!TakeOut(awaitingHello_, connection)) return false;  // pushed out meanwhile
    }
    if (!ReplaceUiConnection(connection)) return false;
    *authenticated = true;
    if (onUiText_) CallGuarded("UI text handler", [&] { onUiText_(message); });
    return true;
  }
  {
    std::lock_guard<std::mutex> lock(uiLock_);
    if (ui_ != connection || generation_.load() != connection->generation) return false;
  }
  if (opcode == kWsText) {
    if (onUiText_) CallGuarded("UI text handler", [&] { onUiText_(message); });
  } else if (opcode == kWsBinary) {
    if (onUiBinary_) {
      CallGuarded("UI binary handler",
                  [&] { onUiBinary_(reinterpret_cast<const uint8_t*>(message.data()), message.size()); });
    }
  }
  return true;
}

bool WsServer::ReplaceUiConnection(const std::shared_ptr<WsConnection>& next) {
  std::lock_guard<std::recursive_mutex> dispatch(UiDispatchLock());
  // Stop clears running_ before it takes this lock to close the page, so no page is made
  // current behind its back.
  if (!running_) return false;
  CloseUiConnection();
  {
    std::lock_guard<std::mutex> lock(uiLock_);
    next->generation = ++generation_;
    ui_ = next;
  }
  if (onUiConnected_) CallGuarded("UI connected handler", [&] { onUiConnected_(); });
  return true;
}

void WsServer::CloseUiConnection() {
  std::lock_guard<std::recursive_mutex> dispatch(UiDispatchLock());
  std::shared_ptr<WsConnection> old;
  {
    std::lock_guard<std::mutex> lock(uiLock_);
    old = std::move(ui_);
    ui_.reset();
    if (old) ++generation_;
  }
  if (!old) return;
  old->Shutdown();  // its own thread closes it
  if (onUiClosed_) CallGuarded("UI closed handler", [&] { onUiClosed_(); });
}

void WsServer::EndUiConnection(const std::shared_ptr<WsConnection>& connection, bool pageGone) {
  std::lock_guard<std::recursive_mutex> dispatch(UiDispatchLock());
  {
    std::lock_guard<std::mutex> lock(uiLock_);
    if (ui_ != connection || generation_.load() != connection->generation) return;
    ui_.reset();
    ++generation_;
  }
  if (pageGone && onUiClosed_) CallGuarded("UI closed handler", [&] { onUiClosed_(); });
}

void WsServer::RunPluginConnection(const std::shared_ptr<WsConnection>& connection) {
  PluginConnectionFactory factory;
  {
    std::lock_guard<std::mutex> lock(factoryLock_);
    factory = pluginFactory_;
  }
  if (!factory || !running_) return;
  std::unique_ptr<PluginConnectionHandler> handler;
  CallGuarded("plugin connection factory", [&] { handler = factory(connection); });
  if (!handler) return;
  try {
    ReadLoop(
        *connection, running_,
        [&] { return handler->HelloDone() ? kWsMaxMessageBytes : kWsMaxPreHelloMessageBytes; },
        [&] { return handler->NextCheckTime(); }, [&] { return handler->OnCheckDue(); },
        [&](int opcode, std::string& message) {
          if (opcode == kWsText) return handler->OnText(message);
          handler->OnNonTextMessage();
          return false;
        });
  } catch (const std::exception& e) {
    LogPrintf("[ws] plugin connection failed: %s\n", e.what());
  } catch (...) {
    LogPrintf("[ws] plugin connection failed\n");
  }
  CallGuarded("plugin connection end", [&] { handler->OnEnded(); });
}

bool WsServer::SendTextToUi(const std::string& text) {
  std::shared_ptr<WsConnection> ui;
  {
    std::lock_guard<std::mutex> lock(uiLock_);
    ui = ui_;
  }
  // Sent outside the UI lock: a replacement shuts the old socket down, which fails this send.
  return ui && ui->SendFrame(kWsText, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

bool WsServer::SendBinaryToUi(const uint8_t* bytes, size_t length) {
  std::shared_ptr<WsConnection> ui;
  {
    std::lock_guard<std::mutex> lock(uiLock_);
    ui = ui_;
  }
  return ui && ui->SendFrame(kWsBinary, bytes, length);
}

bool WsServer::SendTextThenBinaryToUi(const std::string& text, const uint8_t* bytes, size_t length) {
  std::shared_ptr<WsConnection> ui;
  {
    std::lock_guard<std::mutex> lock(uiLock_);
    ui = ui_;
  }
  return ui && ui->SendTextThenBinary(text, bytes, length);
}

RpcOutlet::Target WsServer::OutletTarget() {
  std::weak_ptr<WsServer> weak = weak_from_this();
  RpcOutlet::Target target;
  target.sendText = [weak](const std::string& text) {
    auto server = weak.lock();
    return server && server->SendTextToUi(text);
  };
  target.sendBinary = [weak](const uint8_t* bytes, size_t length) {
    auto server = weak.lock();
    return server && server->SendBinaryToUi(bytes, length);
  };
  target.sendTextThenBinary = [weak](const std::string& text, const uint8_t* bytes, size_t length) {
    auto server = weak.lock();
    return server && server->SendTextThenBinaryToUi(text, bytes, length);
  };
  target.generation = [weak]() -> uint64_t {
    auto server = weak.lock();
    return server ? server->generation() : 0;
  };
  return target;
}

void WsServer::SetOnUiText(UiTextHandler handler) {
  std::lock_guard<std::recursive_mutex> dispatch(UiDispatchLock());
  onUiText_ = std::move(handler);
}
void WsServer::SetOnUiBinary(UiBinaryHandler handler) {
  std::lock_guard<std::recursive_mutex> dispatch(UiDispatchLock());
  onUiBinary_ = std::move(handler);
}
void WsServer::SetOnUiConnected(UiConnectedHandler handler) {
  std::lock_guard<std::recursive_mutex> dispatch(UiDispatchLock());
  onUiConnected_ = std::move(handler);
}
void WsServer::SetOnUiClosed(UiClosedHandler handler) {
  std::lock_guard<std::recursive_mutex> dispatch(UiDispatchLock());
  onUiClosed_ = std::move(handler);
}

void WsServer::SetUiMessageLimit(uint64_t bytes) { uiMessageLimit_.store(std::max(bytes, kWsMaxMessageBytes)); }

void WsServer::SetPluginConnectionFactory(PluginConnectionFactory factory) {
  std::lock_guard<std::mutex> lock(factoryLock_);
  pluginFactory_ = std::move(factory);
}

bool WsServer::CheckUiHello(const std::string& text) const {
  UiHelloReader reader;
  if (!nlohmann::json::sax_parse(text, &reader) || !reader.Accepted()) return false;
  return !token_.empty() && TokenEquals(reader.token, token_);
}

void WsServer::Stop() {
  std::lock_guard<std::mutex> lock(stopLock_);
  if (!running_ && listenFd_ < 0 && !acceptThread_.joinable()) return;
  running_ = false;
  if (wakeFds_[1] >= 0) net::WakeUp(wakeFds_[1]);
  if (acceptThread_.joinable()) {
    if (acceptThread_.get_id() == std::this_thread::get_id()) {
      acceptThread_.detach();
    } else {
      acceptThread_.join();
    }
  }
  if (listenFd_ >= 0) net::CloseSocket(listenFd_);
  listenFd_ = -1;
  for (int& fd : wakeFds_) {
    if (fd >= 0) net::CloseSocket(fd);
    fd = -1;
  }
  // Wake every reader first; closing the page's connection then waits for a message in progress.
  {
    std::lock_guard<std::mutex> connections(connectionsLock_);
    for (const auto& connection : connections_) connection->Shutdown();
  }
  CloseUiConnection();
  std::unique_lock<std::mutex> connections(connectionsLock_);
  connectionThreadEnded_.wait_for(connections, kStopWait, [this] { return liveConnectionThreads_ == 0; });
}
