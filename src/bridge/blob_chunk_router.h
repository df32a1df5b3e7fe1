#pragma once
// Matches the page's "BNVQ" chunk replies to the readers waiting for them, and the one way a
// reader asks for a chunk (FetchBlobChunk).
//
// Threads: Deliver runs on the UI connection's thread under the UI dispatch lock; readers fetch
// on their own worker threads, never while handling a UI message (the answer could not arrive).
// The router's mutex is never held while a Pending's mutex is taken.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "bridge/rpc_outlet.h"

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

// The "readBlobChunk" request, host to page: a flat JSON object.
struct BlobChunkRequest {
  uint32_t streamId = 0;  // "playerID"
  uint32_t requestId = 0;  // "reqId"
  uint64_t offset = 0;
  uint64_t length = 0;
  std::string blobId;    // "blobId", only when not empty (decode inputs)
  std::string decodeId;  // "decodeId", only when not empty (decode inputs)

  std::string ToText() const;
};

struct BlobChunkWait {
  std::chrono::milliseconds timeout{20000};  // from the send, on the steady clock
  bool giveUpWhenSendFails = false;
  // Looked at every 50 ms when set; true ends the wait unfilled.
  std::function<bool()> stop;
};

struct BlobChunkReply {
  bool sent = false;
  bool filled = false;
  std::vector<uint8_t> data;  // the chunk when filled (possibly empty)
};

// One chunk: registers the request before sending it (a fast answer cannot be missed), sends
// it, waits for the answer or the deadline and removes the router entry whatever happened.
BlobChunkReply FetchBlobChunk(RpcOutlet& outlet, BlobChunkRouter& router, const BlobChunkRequest& request,
                              const BlobChunkWait& wait);
