#pragma once
// A page stand-in for the media tests: an outlet that records what the host sends and, when
// it holds a blob, answers each "readBlobChunk" through the router the way the page does.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/blob_chunk_router.h"
#include "bridge/rpc_outlet.h"

namespace mediatest {

struct FakePage {
  std::shared_ptr<BlobChunkRouter> router = std::make_shared<BlobChunkRouter>();
  RpcOutletPtr outlet;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<nlohmann::json> texts;
  std::vector<std::vector<uint8_t>> binaries;
  std::string blob;
  bool answerChunks = true;
  // Called before the answer, with the request (lets a test deliver something else first).
  std::function<void(const nlohmann::json&)> beforeAnswer;

  FakePage() {
    RpcOutlet::Target target;
    target.sendText = [this](const std::string& text) { return OnText(text); };
    target.sendBinary = [this](const uint8_t* bytes, size_t length) {
      std::lock_guard<std::mutex> lock(mutex);
      binaries.emplace_back(bytes, bytes + length);
      changed.notify_all();
      return true;
    };
    target.generation = [] { return uint64_t(1); };
    outlet = std::make_shared<RpcOutlet>(std::move(target));
  }

  bool OnText(const std::string& text) {
    nlohmann::json message = nlohmann::json::parse(text);
    bool answer;
    {
      std::lock_guard<std::mutex> lock(mutex);
      texts.push_back(message);
      answer = answerChunks;
      changed.notify_all();
    }
    if (message.value("type", "") != "readBlobChunk" || !answer) return true;
    if (beforeAnswer) beforeAnswer(message);
    const uint64_t offset = message["offset"], length = message["length"];
    const size_t from = std::min<uint64_t>(offset, blob.size());
    const size_t n = std::min<uint64_t>(length, blob.size() - from);
    router->Deliver(message["playerID"], message["reqId"], reinterpret_cast<const uint8_t*>(blob.data()) + from, n);
    return true;
  }

  std::vector<nlohmann::json> ChunkRequests() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<nlohmann::json> out;
    for (const auto& t : texts) {
      if (t.value("type", "") == "readBlobChunk") out.push_back(t);
    }
    return out;
  }

  // Waits until pred() holds (under the page's lock) or the time is up.
  bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, pred);
  }
};

}  // namespace mediatest
