#include "plugins/decode_input_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <unordered_set>

#include "base/json.h"
#include "base/never_destroyed.h"
#include "platform/files.h"
#include "platform/unique_fd.h"

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint64_t kMaxInputBytes = 8ull << 30;  // 8 GiB
constexpr size_t kMaxRememberedBlobs = 4096;
constexpr size_t kMaxBlobIdLength = 128;
constexpr std::chrono::milliseconds kProgressInterval{100};

struct ConsumedInputBlobs {
  std::mutex mutex;
  uint64_t generation = 0;
  std::unordered_set<std::string> ids;
};

ConsumedInputBlobs& Consumed() {
  static base::NeverDestroyed<ConsumedInputBlobs> consumed;
  return consumed.get();
}

std::atomic<uint32_t> g_inputStreamId{0x80000000u};

class InputRead {
 public:
  InputRead(RpcOutletPtr outlet, std::shared_ptr<BlobChunkRouter> router, uint64_t generation,
            const PluginInputReaderOptions& options, const std::function<bool()>& cancelled,
            const std::function<void(const json&)>& progress)
      : outlet_(std::move(outlet)),
        router_(std::move(router)),
        generation_(generation),
        options_(options),
        cancelled_(cancelled),
        progress_(progress) {}

  std::string Run(const json& payload, const std::string& target) {
    auto blob = payload.find("inputBlob");
    if (blob == payload.end() || !blob->is_object() || !blob->contains("size")) return "invalid input blob";
    const json& size = (*blob)["size"];
    // A whole number that is not negative (a text parse makes it unsigned; built JSON may not).
    const bool wholeNonNegative = size.is_number_unsigned() || (size.is_number_integer() && size.get<int64_t>() >= 0);
    if (!wholeNonNegative || !blob->contains("blobId") || !(*blob)["blobId"].is_string()) {
      return "invalid input blob";
    }
    const uint64_t bytes = size.get<uint64_t>();
    if (bytes == 0 || bytes > kMaxInputBytes) return "selected input must be between 1 byte and 8 GiB";
    blobId_ = (*blob)["blobId"].get<std::string>();
    decodeId_ = PayloadReader(payload).String("decodeId");
    if (blobId_.empty() || blobId_.size() > kMaxBlobIdLength || decodeId_.empty()) return "invalid input blob";
    if (std::string error = Consume(); !error.empty()) return error;

    streamId_ = g_inputStreamId.fetch_add(1);
    lastReport_ = Clock::now();
    if (progress_) progress_({{"phase", "transfer"}, {"ratio", 0}});
    return Spool(target, bytes);
  }

 private:
  std::string Consume() {
    ConsumedInputBlobs& consumed = Consumed();
    std::lock_guard<std::mutex> lock(consumed.mutex);
    if (!outlet_ || outlet_->Generation() != generation_) return "input page disconnected";
    if (consumed.generation == generation_ && consumed.ids.size() >= kMaxRememberedBlobs) {
      return "input blob already consumed";
    }
    if (consumed.generation != generation_) {
      consumed.ids.clear();
      consumed.generation = generation_;
    }
    if (!consumed.ids.insert(blobId_).second) return "input blob already consumed";
    return "";
  }

  bool Cancelled() const {
    return (cancelled_ && cancelled_()) || !outlet_ || outlet_->Generation() != generation_;
  }

  std::string Spool(const std::string& target, uint64_t size) {
    platform::UniqueFd file(open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0600));
    if (!file) return "could not spool selected input";
    std::string error;
    for (uint64_t offset = 0; offset < size && error.empty();) {
      if (Cancelled()) {
        error = "decoder cancelled";
        break;
      }
      const size_t n = static_cast<size_t>(std::min<uint64_t>(size - offset, options_.chunkBytes));
      std::vector<uint8_t> chunk;
      if (!ReadChunk(offset, n, chunk) || chunk.size() != n) {
        error = Cancelled() ? "decoder cancelled" : "input stream length mismatch or timeout";
        break;
      }
      if (Cancelled()) {
        error = "decoder cancelled";
        break;
      }
      if (!platform::WriteAll(file.get(), chunk.data(), chunk.size())) {
        error = "could not spool selected input";
        break;
      }
      offset += n;
      Report(static_cast<double>(offset) / static_cast<double>(size));
    }
    const bool closed = close(file.Release()) == 0;
    if (error.empty() && !closed) error = "could not flush selected input";
    if (!error.empty()) unlink(target.c_str());
    return error;
  }

  // One request and its answer; false on a failed send, a time-out or a cancel.
  bool ReadChunk(uint64_t offset, size_t length, std::vector<uint8_t>& out) {
    BlobChunkRequest request;
    request.streamId = streamId_;
    request.requestId = ++reqId_;
    request.offset = offset;
    request.length = length;
    request.blobId = blobId_;
    request.decodeId = decodeId_;
    BlobChunkWait wait;
    wait.timeout = options_.chunkTimeout;
    wait.giveUpWhenSendFails = true;
    wait.stop = [this] { return Cancelled(); };
    BlobChunkReply reply = FetchBlobChunk(*outlet_, *router_, request, wait);
    if (!reply.filled || Cancelled()) return false;
    out = std::move(reply.data);
    return true;
  }

  void Report(double ratio) {
    if (!progress_) return;
    const Clock::time_point now = Clock::now();
    if (ratio != 1.0 && (ratio - lastRatio_) * 0.3 < 0.01 && now - lastReport_ < kProgressInterval) return;
    progress_({{"phase", "transfer"}, {"ratio", ratio * 0.3}});
    lastRatio_ = ratio;
    lastReport_ = now;
  }

  RpcOutletPtr outlet_;
  std::shared_ptr<BlobChunkRouter> router_;
  const uint64_t generation_;
  const PluginInputReaderOptions options_;
  const std::function<bool()>& cancelled_;
  const std::function<void(const json&)>& progress_;
  std::string blobId_, decodeId_;
  uint32_t streamId_ = 0;
  uint32_t reqId_ = 0;
  double lastRatio_ = -1.0;
  Clock::time_point lastReport_;
};

}  // namespace

PluginInputReader MakePluginInputReader(RpcOutletPtr outlet, std::shared_ptr<BlobChunkRouter> router,
                                        uint64_t generation, PluginInputReaderOptions options) {
  return [outlet = std::move(outlet), router = std::move(router), generation, options](
             const json& payload, const std::string& target, const std::function<bool()>& cancelled,
             const std::function<void(const json&)>& progress) {
    if (!router) return std::string("input page disconnected");
    InputRead read(outlet, router, generation, options, cancelled, progress);
    return read.Run(payload, target);
  };
}

void ResetConsumedInputBlobsForTesting() {
  ConsumedInputBlobs& consumed = Consumed();
  std::lock_guard<std::mutex> lock(consumed.mutex);
  consumed.ids.clear();
  consumed.generation = 0;
}
