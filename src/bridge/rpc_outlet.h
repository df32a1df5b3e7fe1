#pragma once
// The way replies and events reach the page. The dispatcher and every worker it starts hold a
// shared reference; at shutdown the outlet is detached before the server goes away, so a worker
// that finishes later finds it empty and its reply is dropped instead of touching a freed server.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>

class RpcOutlet {
 public:
  struct Target {
    std::function<bool(const std::string& text)> sendText;
    std::function<bool(const uint8_t* bytes, size_t length)> sendBinary;
    std::function<uint64_t()> generation;  // the UI connection generation
    // Optional: a text and a binary frame in one send; without it they go out one after the other.
    std::function<bool(const std::string& text, const uint8_t* bytes, size_t length)> sendTextThenBinary = nullptr;
  };

  explicit RpcOutlet(Target target) : target_(std::move(target)) {}

  // False when detached, when there is no page or when the send failed.
  bool SendText(const std::string& text);
  bool SendBinary(const uint8_t* bytes, size_t length);
  bool SendTextThenBinary(const std::string& text, const uint8_t* bytes, size_t length);
  uint64_t Generation();

  // After this returns no send is in progress and none will start. Senders hold the lock only
  // shared, and the server they reach is already stopped at shutdown, so their sends fail fast.
  void Detach();

 private:
  std::shared_mutex mutex_;
  bool detached_ = false;
  Target target_;
};

using RpcOutletPtr = std::shared_ptr<RpcOutlet>;
