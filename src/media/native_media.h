#pragma once
// Native media's page requests: the player table and the rows of "createNativePlayer",
// "destroyNativePlayer" and the player controls.
//
// Threads: rows run on the bridge's connection thread; create and destroy hand the slow part
// (opening a video, closing a player) to detached workers, which hold shared ownership of the
// table, the outlet and the router. The table's mutex is held only to look up, enter or remove
// a player; players are closed outside it.
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "bridge/blob_chunk_router.h"
#include "bridge/rpc_routes.h"
#include "media/player.h"

namespace media {

class NativePlayerTable {
 public:
  std::shared_ptr<NativePlayer> Find(int32_t playerID);
  // Enters the player under its id and returns the one it replaces (for the caller to close
  // outside the lock). After CloseAll the player itself is returned, not entered.
  std::shared_ptr<NativePlayer> Insert(int32_t playerID, std::shared_ptr<NativePlayer> player);
  std::shared_ptr<NativePlayer> Remove(int32_t playerID);
  // Closes every player; players created later are closed at once. Shutdown.
  void CloseAll();
  size_t size();

 private:
  std::mutex mutex_;
  bool shut_ = false;
  std::unordered_map<int32_t, std::shared_ptr<NativePlayer>> players_;
};

// Process-wide set-up of the media facility; false when it failed.
bool StartNativeMedia();

void RegisterNativeMediaRows(RpcRouteTable& routes, std::shared_ptr<NativePlayerTable> players,
                             std::shared_ptr<BlobChunkRouter> router, NativePlayerOptions options = {});

}  // namespace media
