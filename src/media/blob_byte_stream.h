#pragma once
// A video held by the page, read as a byte stream: each read that misses the one-chunk cache
// asks the page for the bytes with a "readBlobChunk" request and waits for its "BNVQ" answer,
// which the bridge's BlobChunkRouter delivers.
//
// Threads: reads come from the player's pump thread (through the source reader); Abort may come
// from any thread. Answers arrive on the UI connection's thread, so a read must never be made
// while handling a UI message. The stream shares ownership of the outlet and the router, so it
// may outlive the dispatcher: its requests then fail and its reads end empty.
//
// Request ids come from one process-wide counter, so an answer that arrives late for a player
// that was replaced under the same id can never satisfy a read of its successor.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "bridge/blob_chunk_router.h"
#include "bridge/rpc_outlet.h"
#include "platform/media_source.h"

namespace media {

class BlobByteStream : public platform::media::MediaByteStream {
 public:
  // Every request asks for at least this much (less only at the end of the blob) ...
  static constexpr uint64_t kMinRequestBytes = 512u * 1024u;
  // ... and at most what the router accepts in one answer; a larger read comes back short.
  static constexpr uint64_t kMaxRequestBytes = BlobChunkRouter::kMaxChunkBytes;

  struct Options {
    std::chrono::milliseconds timeout{20000};
  };

  BlobByteStream(RpcOutletPtr outlet, std::shared_ptr<BlobChunkRouter> router, int32_t playerID, uint64_t length,
                 Options options);
  BlobByteStream(RpcOutletPtr outlet, std::shared_ptr<BlobChunkRouter> router, int32_t playerID, uint64_t length)
      : BlobByteStream(std::move(outlet), std::move(router), playerID, length, Options()) {}

  // Readable and seekable.
  static constexpr uint32_t kCapabilities = 5;
  uint64_t Length() override { return length_; }
  uint64_t Position() override { return position_.load(); }
  // Stored as given, not clamped: past the end, reads return 0.
  void SetPosition(uint64_t position) override { position_.store(position); }
  bool IsEndOfStream() { return position_.load() >= length_; }
  // Reads at the position and advances it by what was read.
  uint32_t Read(uint8_t* destination, uint32_t want) override;
  // From the beginning or from the position; the result is clamped to 0..length and returned.
  enum class Origin { Begin, Current };
  uint64_t Seek(Origin origin, int64_t offset);
  // The one read path: up to want bytes at offset, from the cache or the page; 0 at or past the
  // end and when the page does not answer in time (logged).
  uint32_t ReadAt(uint8_t* destination, uint32_t want, uint64_t offset);
  // Ends the waits of current and later reads at once (they return 0): the player is closing.
  void Abort() { aborted_.store(true); }
  // While opening, a read that the page left unanswered makes every later read return 0 at
  // once: the demuxer retries its reads when one fails, and a page that never answers must cost
  // the open one wait, not one per retry. Leaving the mode makes the stream wait again.
  void SetOpening(bool opening) {
    opening_.store(opening);
    openUnanswered_.store(false);
  }

 private:
  RpcOutletPtr outlet_;
  std::shared_ptr<BlobChunkRouter> router_;
  const int32_t playerID_;
  const uint64_t length_;
  const Options options_;
  std::atomic<uint64_t> position_{0};
  std::atomic<bool> aborted_{false};
  std::atomic<bool> opening_{false};
  std::atomic<bool> openUnanswered_{false};
  std::mutex cacheMutex_;
  uint64_t cacheOffset_ = 0;
  std::vector<uint8_t> cache_;
};

}  // namespace media
