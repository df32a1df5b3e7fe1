#include "bridge/blob_chunk_router.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "base/json.h"

std::shared_ptr<BlobChunkRouter::Pending> BlobChunkRouter::Register(uint32_t streamId,
                                                                    uint32_t requestId) {
  auto entry = std::make_shared<Pending>();
  std::lock_guard<std::mutex> lock(mutex_);
  pending_[Key(streamId, requestId)] = entry;
  return entry;
}

void BlobChunkRouter::Cancel(uint32_t streamId, uint32_t requestId) {
  std::lock_guard<std::mutex> lock(mutex_);
  pending_.erase(Key(streamId, requestId));
}

void BlobChunkRouter::Deliver(uint32_t streamId, uint32_t requestId, const uint8_t* bytes,
                              size_t length) {
  if (length > kMaxChunkBytes) return;
  std::shared_ptr<Pending> entry;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = pending_.find(Key(streamId, requestId));
    if (it == pending_.end()) return;
    entry = it->second;
  }
  {
    std::lock_guard<std::mutex> lock(entry->mutex);
    if (entry->filled) return;  // the first delivery wins
    if (length > 0) entry->data.assign(bytes, bytes + length);
    entry->filled = true;
  }
  entry->cv.notify_one();
}

void BlobChunkRouter::Clear() {
  std::unordered_map<uint64_t, std::shared_ptr<Pending>> dropped;
  std::lock_guard<std::mutex> lock(mutex_);
  dropped.swap(pending_);
}

std::string BlobChunkRequest::ToText() const {
  nlohmann::json text = {{"type", "readBlobChunk"}, {"playerID", streamId}, {"reqId", requestId},
                         {"offset", offset},        {"length", length}};
  if (!blobId.empty()) text["blobId"] = blobId;
  if (!decodeId.empty()) text["decodeId"] = decodeId;
  return DumpCompact(text);
}

BlobChunkReply FetchBlobChunk(RpcOutlet& outlet, BlobChunkRouter& router, const BlobChunkRequest& request,
                              const BlobChunkWait& wait) {
  using Clock = std::chrono::steady_clock;
  // The stop predicate cannot wake the wait, so it is looked at every slice.
  constexpr std::chrono::milliseconds kSlice{50};
  BlobChunkReply reply;
  std::shared_ptr<BlobChunkRouter::Pending> pending = router.Register(request.streamId, request.requestId);
  reply.sent = outlet.SendText(request.ToText());
  if (reply.sent || !wait.giveUpWhenSendFails) {
    const Clock::time_point deadline = Clock::now() + wait.timeout;
    std::unique_lock<std::mutex> lock(pending->mutex);
    while (!pending->filled && !(wait.stop && wait.stop())) {
      const Clock::time_point now = Clock::now();
      if (now >= deadline) break;
      if (wait.stop) {
        pending->cv.wait_for(lock, std::min<Clock::duration>(kSlice, deadline - now));
      } else {
        pending->cv.wait_until(lock, deadline);
      }
    }
    reply.filled = pending->filled;
    if (reply.filled) reply.data = std::move(pending->data);
  }
  router.Cancel(request.streamId, request.requestId);
  return reply;
}
