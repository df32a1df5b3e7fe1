#include "media/blob_byte_stream.h"

#include <algorithm>
#include <cstring>

#include "base/log.h"

namespace media {

namespace {

// Shared by every stream of the process; 0 is never handed out.
std::atomic<uint32_t> g_nextRequestId{1};

uint32_t NextRequestId() {
  uint32_t id = g_nextRequestId.fetch_add(1);
  while (id == 0) id = g_nextRequestId.fetch_add(1);
  return id;
}

}  // namespace

BlobByteStream::BlobByteStream(RpcOutletPtr outlet, std::shared_ptr<BlobChunkRouter> router, int32_t playerID,
                               uint64_t length, Options options)
    : outlet_(std::move(outlet)), router_(std::move(router)), playerID_(playerID), length_(length), options_(options) {}

uint32_t BlobByteStream::Read(uint8_t* destination, uint32_t want) {
  if (!destination) return 0;
  const uint64_t at = position_.load();
  const uint32_t n = ReadAt(destination, want, at);
  position_.store(at + n);
  return n;
}

uint64_t BlobByteStream::Seek(Origin origin, int64_t offset) {
  const uint64_t base = origin == Origin::Current ? position_.load() : 0;
  uint64_t target;
  if (offset < 0) {
    const uint64_t back = offset == INT64_MIN ? uint64_t(1) << 63 : static_cast<uint64_t>(-offset);
    target = back > base ? 0 : base - back;
  } else {
    const uint64_t forward = static_cast<uint64_t>(offset);
    target = forward > length_ || base > length_ - forward ? length_ : base + forward;
  }
  position_.store(target);
  return target;
}

uint32_t BlobByteStream::ReadAt(uint8_t* destination, uint32_t want, uint64_t offset) {
  if (!destination || offset >= length_) return 0;
  const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(want, length_ - offset));
  if (n == 0) return 0;
  {
    std::lock_guard<std::mutex> lock(cacheMutex_);
    if (!cache_.empty() && offset >= cacheOffset_ && offset - cacheOffset_ <= cache_.size() &&
        n <= cache_.size() - (offset - cacheOffset_)) {
      std::memcpy(destination, cache_.data() + (offset - cacheOffset_), n);
      return n;
    }
  }
  if (aborted_.load() || !outlet_ || !router_ || openUnanswered_.load()) return 0;

  BlobChunkRequest request;
  request.streamId = static_cast<uint32_t>(playerID_);
  request.requestId = NextRequestId();
  request.offset = offset;
  request.length = std::min(length_ - offset, std::clamp<uint64_t>(n, kMinRequestBytes, kMaxRequestBytes));
  BlobChunkWait wait;
  wait.timeout = options_.timeout;
  wait.stop = [this] { return aborted_.load(); };
  BlobChunkReply reply = FetchBlobChunk(*outlet_, *router_, request, wait);
  if (!reply.filled && opening_.load()) openUnanswered_.store(true);
  if (!reply.filled || reply.data.empty()) {
    LogPrintf("[blob %u] req#%u offset=%llu want=%lu FAILED ok=%d\n", static_cast<unsigned>(playerID_),
              request.requestId, static_cast<unsigned long long>(offset), static_cast<unsigned long>(n),
              reply.filled ? 1 : 0);
    return 0;
  }
  const uint32_t copied = static_cast<uint32_t>(std::min<size_t>(reply.data.size(), n));
  std::memcpy(destination, reply.data.data(), copied);
  std::lock_guard<std::mutex> lock(cacheMutex_);
  cacheOffset_ = offset;
  cache_ = std::move(reply.data);
  return copied;
}

}  // namespace media
