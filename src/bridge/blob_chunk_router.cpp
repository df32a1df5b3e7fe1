#include "bridge/blob_chunk_router.h"

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
