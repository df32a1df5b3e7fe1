#pragma once
// The loopback WebSocket server the page and plugin processes reach the host through. One UI
// connection at a time (a newer authenticated one replaces it) and at most three plugin
// connections. Each connection is one object held by shared ownership and read by its own
// thread, which alone closes the socket; every other thread only shuts it down.
//
// The accept thread only accepts: the upgrade request is read on the connection's own thread,
// so a client that stalls delays no one else. What a connection may hold before it has proved
// itself, how many may wait at each stage and for how long is bounded (bridge/ws_limits.h).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "bridge/rpc_outlet.h"
#include "bridge/ws_handshake.h"
#include "bridge/ws_limits.h"
#include "bridge/ws_peer.h"

// Held while a UI message is handled and while the UI connection is replaced or ends, so page
// messages run one at a time across old and new connections. Process-wide, never destroyed.
// Lock order: UiDispatchLock, then the server's UI lock, then a connection's send lock.
std::recursive_mutex& UiDispatchLock();

class WsConnection;

class WsServer : public std::enable_shared_from_this<WsServer> {
 public:
  // The text is the connection's own message buffer, lent for the call: a handler may take
  // parts of it and leave other contents; the buffer is only reused for later messages.
  using UiTextHandler = std::function<void(std::string& text)>;
  using UiBinaryHandler = std::function<void(const uint8_t* bytes, size_t length)>;
  using UiConnectedHandler = std::function<void()>;
  using UiClosedHandler = std::function<void()>;

  // Connection threads keep the server alive, so it is only ever held by shared ownership.
  static std::shared_ptr<WsServer> Create();
  ~WsServer();
  WsServer(const WsServer&) = delete;
  WsServer& operator=(const WsServer&) = delete;

  // Binds 127.0.0.1 on a system-chosen port and starts the accept thread. An empty token
  // makes every handshake fail.
  bool Start(const std::string& token);
  uint16_t port() const { return port_; }

  // One frame to the current UI connection; false when there is none or the send failed.
  bool SendTextToUi(const std::string& text);
  bool SendBinaryToUi(const uint8_t* bytes, size_t length);
  // Both frames in one send, nothing between them.
  bool SendTextThenBinaryToUi(const std::string& text, const uint8_t* bytes, size_t length);

  // Changes every time the UI connection is replaced or ends.
  uint64_t generation() const { return generation_.load(); }

  // The page outlet's view of this server; it does not keep the server alive.
  RpcOutlet::Target OutletTarget();

  // The handler slots run on UI connection threads (the connected one also on the accept
  // thread), always under UiDispatchLock; an empty slot is skipped.
  void SetOnUiText(UiTextHandler handler);
  void SetOnUiBinary(UiBinaryHandler handler);
  void SetOnUiConnected(UiConnectedHandler handler);
  void SetOnUiClosed(UiClosedHandler handler);

  // The largest message the page's connection admits once authenticated (never less than
  // kWsMaxMessageBytes, the limit of every other connection): the largest request a row takes.
  // Set before the page connects; a message over it is refused with close 1009.
  void SetUiMessageLimit(uint64_t bytes);

  // Without a factory, plugin connections are closed right after their handshake.
  void SetPluginConnectionFactory(PluginConnectionFactory factory);

  // The first message of a UI connection that did not prove the token in its path.
  bool CheckUiHello(const std::string& text) const;

  // Ends the accept thread and every connection and waits up to 5 s for their threads. A
  // second call does nothing.
  void Stop();

 private:
  using Clock = std::chrono::steady_clock;
  using Queue = std::deque<std::shared_ptr<WsConnection>>;

  WsServer() = default;
  void AcceptLoop();
  WsConnectionKind Handshake(WsConnection& connection, Clock::time_point deadline);
  void ConnectionThread(const std::shared_ptr<WsConnection>& connection);
  void RunUiConnection(const std::shared_ptr<WsConnection>& connection, bool authenticated,
                       Clock::time_point helloDeadline);
  bool HandleUiMessage(const std::shared_ptr<WsConnection>& connection, bool* authenticated, int opcode,
                       std::string& message);
  void RunPluginConnection(const std::shared_ptr<WsConnection>& connection);
  // False (nothing replaced) once the server is stopping.
  bool ReplaceUiConnection(const std::shared_ptr<WsConnection>& next);
  void CloseUiConnection();
  // pageGone false (a message refused by the host): the connection ends without the closed
  // handler, which is for a page that went away.
  void EndUiConnection(const std::shared_ptr<WsConnection>& connection, bool pageGone);
  void Forget(const std::shared_ptr<WsConnection>& connection);
  // Under connectionsLock_. Enqueue pushes out (shuts down) the oldest entry when the queue is
  // full; TakeOut is false when the connection is no longer queued because it was pushed out.
  static void Enqueue(Queue& queue, const std::shared_ptr<WsConnection>& connection, size_t cap);
  static bool TakeOut(Queue& queue, const std::shared_ptr<WsConnection>& connection);

  std::atomic<uint64_t> generation_{0};
  int listenFd_ = -1;
  int wakeFds_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::string token_;
  std::atomic<bool> running_{false};
  std::atomic<uint64_t> uiMessageLimit_{kWsMaxMessageBytes};
  std::thread acceptThread_;
  std::mutex stopLock_;

  std::mutex uiLock_;  // guards ui_ and the changes of generation_
  std::shared_ptr<WsConnection> ui_;

  std::mutex connectionsLock_;  // guards what follows up to the handler slots
  std::set<std::shared_ptr<WsConnection>> connections_;  // every accepted socket not yet ended
  Queue pendingHandshakes_;  // upgrade request still being read, oldest first
  Queue awaitingHello_;      // page-origin connections before their accepted hello, oldest first
  int pluginCount_ = 0;
  int liveConnectionThreads_ = 0;
  std::condition_variable connectionThreadEnded_;

  // Guarded by UiDispatchLock.
  UiTextHandler onUiText_;
  UiBinaryHandler onUiBinary_;
  UiConnectedHandler onUiConnected_;
  UiClosedHandler onUiClosed_;

  std::mutex factoryLock_;
  PluginConnectionFactory pluginFactory_;
};
