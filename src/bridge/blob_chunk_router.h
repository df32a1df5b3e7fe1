#pragma once
// Matches the page's "BNVQ" chunk replies to the readers waiting for them.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

class BlobChunkRouter {
 public:
  // A chunk larger than this is dropped; its reader times out.
  static constexpr size_t kMaxChunkBytes = 2u * 1024u * 1024u;

  // Shared between the router entry and the reader that waits on it.
  struct Pending {
    std::mutex mutex;
    std::condition_variable cv;
    bool filled = false;
    std::vector<uint8_t> data;
  };

  // The router key: the stream id's 32 bits above the request id's 32 bits. Both are taken as
  // unsigned so that decode-input stream ids (2^31 and up) never sign-extend over the request id.
  static uint64_t Key(uint32_t streamId, uint32_t requestId) {
    return (static_cast<uint64_t>(streamId) << 32) | requestId;
  }

  // Enters a new, empty entry for the key (replacing one with the same key) and returns it.
  std::shared_ptr<Pending> Register(uint32_t streamId, uint32_t requestId);
  // Removes the entry of the key, if any.
  void Cancel(uint32_t streamId, uint32_t requestId);
  // Hands a chunk to the reader that registered the key. Unknown keys, second deliveries and
  // oversized chunks are ignored.
  void Deliver(uint32_t streamId, uint32_t requestId, const uint8_t* bytes, size_t length);
  // Drops every entry; readers still waiting keep their own share.
  void Clear();

 private:
  std::mutex mutex_;
  std::unordered_map<uint64_t, std::shared_ptr<Pending>> pending_;
};
