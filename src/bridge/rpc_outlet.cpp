#include "bridge/rpc_outlet.h"

#include <mutex>

bool RpcOutlet::SendText(const std::string& text) {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  if (detached_ || !target_.sendText) return false;
  return target_.sendText(text);
}

bool RpcOutlet::SendBinary(const uint8_t* bytes, size_t length) {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  if (detached_ || !target_.sendBinary) return false;
  return target_.sendBinary(bytes, length);
}

bool RpcOutlet::SendTextThenBinary(const std::string& text, const uint8_t* bytes, size_t length) {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  if (detached_) return false;
  if (target_.sendTextThenBinary) return target_.sendTextThenBinary(text, bytes, length);
  if (!target_.sendText || !target_.sendBinary) return false;
  return target_.sendText(text) && target_.sendBinary(bytes, length);
}

uint64_t RpcOutlet::Generation() {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  if (detached_ || !target_.generation) return 0;
  return target_.generation();
}

void RpcOutlet::Detach() {
  Target dropped;
  {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    detached_ = true;
    dropped = std::move(target_);
    target_ = Target{};
  }
}
