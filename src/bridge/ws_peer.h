#pragma once
// The seam between the bridge listener, which owns sockets and frames, and the code that handles
// a plugin connection's messages. The listener keeps one peer object per accepted connection; a
// handler holds it by shared ownership, so a send through a peer whose connection has ended fails
// instead of reaching whatever connection later got the same descriptor.
#include <chrono>
#include <functional>
#include <memory>
#include <string>

class WsPeer {
 public:
  virtual ~WsPeer() = default;
  // One unfragmented text frame; false when the connection is gone or the send failed.
  virtual bool SendText(const std::string& text) = 0;
  // A close frame with status 4401 and the reason; the caller then ends the connection.
  virtual void SendClose(const std::string& reason) = 0;
  // Wakes the connection's thread so that it ends; only that thread closes the socket.
  virtual void Shutdown() = 0;
};

using WsPeerPtr = std::shared_ptr<WsPeer>;

// One per accepted plugin connection, made when its upgrade is done and called only from that
// connection's thread.
class PluginConnectionHandler {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~PluginConnectionHandler() = default;
  // A complete text message. False ends the connection (any close frame due was already sent).
  virtual bool OnText(const std::string& text) = 0;
  // A message of another kind arrived; the connection ends after this.
  virtual void OnNonTextMessage() {}
  // NextCheckTime has come, whether or not the peer sent anything meanwhile. False ends the
  // connection.
  virtual bool OnCheckDue() = 0;
  // When OnCheckDue must run next (steady clock); asked again after every message and check.
  virtual TimePoint NextCheckTime() const = 0;
  // True once the peer has proved itself; until then its messages are held to the pre-hello limit.
  virtual bool HelloDone() const = 0;
  // The connection has ended; called exactly once, before the socket is closed.
  virtual void OnEnded() = 0;
};

using PluginConnectionFactory = std::function<std::unique_ptr<PluginConnectionHandler>(WsPeerPtr peer)>;
