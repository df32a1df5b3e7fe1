#include "media/native_media.h"

#include <cmath>
#include <limits>
#include <vector>

#include "base/json.h"
#include "base/thread.h"
#include "platform/media_source.h"

using nlohmann::json;

namespace media {

namespace {

// Player ids share the router's key space with decode inputs (2^31 and up), so they stay below.
constexpr uint32_t kMaxPlayerID = 0x7FFFFFFFu;

int32_t PlayerID(const json& payload) {
  const uint32_t id = Id32(payload, "playerID");
  return id <= kMaxPlayerID ? static_cast<int32_t>(id) : 0;
}

// A number member as an int: whole numbers clamped to the int range, fractions truncated.
int IntMember(const json& payload, const char* key, int fallback) {
  auto it = payload.find(key);
  if (it == payload.end() || !it->is_number()) return fallback;
  const double v = it->get<double>();
  if (std::isnan(v)) return fallback;
  if (v >= std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  if (v <= std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  return static_cast<int>(v);
}

double DoubleMember(const json& payload, const char* key, double fallback) {
  auto it = payload.find(key);
  return it != payload.end() && it->is_number() ? it->get<double>() : fallback;
}

bool CheckTypes(const RpcRequest& r, std::initializer_list<const char*> strings,
                std::initializer_list<const char*> numbers) {
  PayloadReader reader(r.payload);
  for (const char* key : strings) reader.String(key);
  if (!reader.ok()) {
    r.ReplyError(reader.Error());
    return false;
  }
  const std::string error = NumberTypeError(r.payload, numbers);
  if (!error.empty()) r.ReplyError(error);
  return error.empty();
}

void CloseOnWorker(std::shared_ptr<NativePlayer> player) {
  if (!player) return;
  // Not on the connection thread: the pump may be waiting for a chunk that thread delivers.
  base::StartDetachedThread("native-player-close", [player] { player->Close(); });
}

}  // namespace

std::shared_ptr<NativePlayer> NativePlayerTable::Find(int32_t playerID) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = players_.find(playerID);
  return it == players_.end() ? nullptr : it->second;
}

std::shared_ptr<NativePlayer> NativePlayerTable::Insert(int32_t playerID, std::shared_ptr<NativePlayer> player) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (shut_) return player;
  std::shared_ptr<NativePlayer>& slot = players_[playerID];
  std::swap(slot, player);
  return player;
}

std::shared_ptr<NativePlayer> NativePlayerTable::Remove(int32_t playerID) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = players_.find(playerID);
  if (it == players_.end()) return nullptr;
  std::shared_ptr<NativePlayer> player = std::move(it->second);
  players_.erase(it);
  return player;
}

void NativePlayerTable::CloseAll() {
  std::unordered_map<int32_t, std::shared_ptr<NativePlayer>> players;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shut_ = true;
    players.swap(players_);
  }
  for (auto& [id, player] : players) player->Close();
}

size_t NativePlayerTable::size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return players_.size();
}

bool StartNativeMedia() {
  platform::media::StartMediaFacility();
  return true;
}

void RegisterNativeMediaRows(RpcRouteTable& routes, std::shared_ptr<NativePlayerTable> players,
                             std::shared_ptr<BlobChunkRouter> router, NativePlayerOptions options) {
  routes.Register({"createNativePlayer"}, [players, router, options](const RpcRequest& r) {
    if (!CheckTypes(r, {"path"}, {"playerID", "fileSize", "width", "height"})) return;
    const int32_t playerID = PlayerID(r.payload);
    std::string path = PayloadReader(r.payload).String("path");
    if (playerID == 0 || path.empty()) return r.ReplyError("Invalid parameters");
    const double size = DoubleMember(r.payload, "fileSize", 0);
    const int64_t fileSize = size > 0 && size < 9007199254740992.0 ? static_cast<int64_t>(size) : 0;
    const int width = IntMember(r.payload, "width", 0), height = IntMember(r.payload, "height", 0);
    RpcOutletPtr outlet = r.outlet;
    if (!outlet) return;
    json id = r.id;
    const bool started = base::StartDetachedThread("native-player-create", [=, path = std::move(path)] {
      auto player = std::make_shared<NativePlayer>(outlet, router, playerID, options);
      NativePlayer::Opened opened;
      if (!player->Create(path, fileSize, width, height, &opened)) {
        const std::string why = player->lastError().empty() ? "failed to open video source" : player->lastError();
        outlet->SendText(MakeRpcReply(id, "error", "native player: " + why));
        return;
      }
      // The replaced player is closed before the answer, so its last frames come first.
      if (std::shared_ptr<NativePlayer> old = players->Insert(playerID, player)) old->Close();
      outlet->SendText(MakeRpcReply(id, "data",
                                    {{"success", true},
                                     {"duration", opened.duration},
                                     {"videoWidth", opened.videoWidth},
                                     {"videoHeight", opened.videoHeight}}));
    });
    if (!started) r.ReplyError("native player: failed to open video source");
  });

  routes.Register({"destroyNativePlayer"}, [players](const RpcRequest& r) {
    if (!CheckTypes(r, {}, {"playerID"})) return;
    std::shared_ptr<NativePlayer> player = players->Remove(PlayerID(r.payload));
    r.Reply({{"success", true}});
    CloseOnWorker(std::move(player));
  });

  // The controls answer at once; the table's lock is held for the lookup only.
  auto control = [players](void (*body)(const RpcRequest&, NativePlayer&)) {
    return [players, body](const RpcRequest& r) {
      if (!CheckTypes(r, {}, {"playerID", "timeSec", "rate", "width", "height"})) return;
      const int32_t playerID = PlayerID(r.payload);
      std::shared_ptr<NativePlayer> player = playerID != 0 ? players->Find(playerID) : nullptr;
      if (!player) return r.ReplyError("player not found");
      body(r, *player);
    };
  };
  routes.Register({"playerPlay"}, control([](const RpcRequest& r, NativePlayer& p) {
                    p.Play();
                    r.Reply({{"success", true}, {"time", p.CurrentTime()}});
                  }));
  routes.Register({"playerPause"}, control([](const RpcRequest& r, NativePlayer& p) {
                    p.Pause();
                    r.Reply({{"success", true}, {"time", p.CurrentTime()}});
                  }));
  routes.Register({"playerSeek"}, control([](const RpcRequest& r, NativePlayer& p) {
                    const double t = DoubleMember(r.payload, "timeSec", 0);
                    p.Seek(t);
                    r.Reply({{"success", true}, {"time", t}});
                  }));
  routes.Register({"playerSetRate"}, control([](const RpcRequest& r, NativePlayer& p) {
                    p.SetRate(DoubleMember(r.payload, "rate", 1.0));
                    r.Reply({{"success", true}, {"time", p.CurrentTime()}});
                  }));
  routes.Register({"playerSetSize"}, control([](const RpcRequest& r, NativePlayer& p) {
                    p.SetOutputSize(IntMember(r.payload, "width", 0), IntMember(r.payload, "height", 0));
                    r.Reply({{"success", true}});
                  }));
  routes.Register({"playerSetVolume"}, control([](const RpcRequest& r, NativePlayer&) {
                    r.Reply({{"success", true}});  // the player has no audio
                  }));
  routes.Register({"playerGetTime"}, control([](const RpcRequest& r, NativePlayer& p) {
                    r.Reply({{"success", true},
                             {"time", p.CurrentTime()},
                             {"duration", p.duration()},
                             {"paused", !p.playing()},
                             {"rate", p.rate()}});
                  }));
}

}  // namespace media
