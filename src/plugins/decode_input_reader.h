#pragma once
// Pulling a telemetry file that lives only in the page (a blob) to a spool file on disk, in
// 1 MiB chunks: a "readBlobChunk" text request to the page, answered by one "BNVQ" binary frame
// that the bridge's BlobChunkRouter hands to the waiting reader.
//
// Threads: a reader runs on its decode worker thread; the chunks arrive on the bridge's receive
// thread. The reader shares ownership of the outlet and the router, so it may outlive the
// dispatcher (its sends then fail and it ends with an error). Each blob may be read once per
// page connection (ConsumedInputBlobs); one chunk is outstanding at a time.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "bridge/blob_chunk_router.h"
#include "bridge/rpc_outlet.h"

// (payload, target path, cancel predicate, progress sink) -> "" on success, else the error.
using PluginInputReader =
    std::function<std::string(const nlohmann::json& payload, const std::string& targetPath,
                              const std::function<bool()>& cancelled,
                              const std::function<void(const nlohmann::json& progress)>& progress)>;

struct PluginInputReaderOptions {
  std::chrono::milliseconds chunkTimeout{20000};  // the page's time to answer one chunk
  size_t chunkBytes = 1u << 20;
};

// generation: the page connection's generation when the decode was asked for.
PluginInputReader MakePluginInputReader(RpcOutletPtr outlet, std::shared_ptr<BlobChunkRouter> router,
                                        uint64_t generation, PluginInputReaderOptions options = {});

// Forgets which blobs were read (tests).
void ResetConsumedInputBlobsForTesting();
