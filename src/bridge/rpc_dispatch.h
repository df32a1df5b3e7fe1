#pragma once
// The page's requests: parses each UI text message, picks its row and answers inline, from a
// detached worker or through a message posted to the main window.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "bridge/blob_chunk_router.h"
#include "bridge/plugin_sessions.h"
#include "bridge/rpc_outlet.h"
#include "bridge/rpc_routes.h"
#include "bridge/tokens/capability_token_registry.h"
#include "bridge/window_side.h"

// An http or https URL with an authority and no blanks, controls or backslashes, 8..8192 bytes.
bool IsOpenableExternalUrl(const std::string& url);

// The plugin sessions' push of a renewed token; a non-empty code means nothing may be armed.
using DeliverPluginTokenHook = std::function<PluginTokenDelivery(
    const std::string& token, int64_t nowSeconds, const std::string& pluginId, const std::string& packageSha256)>;

struct RpcDispatchOptions {
  DeliverPluginTokenHook deliverPluginToken;          // empty: nothing delivered, no code
  CapabilityTokenRegistry* registry = nullptr;        // the host's registry (required)
  WallClockMs wallClock;                              // empty: the system clock
  // Desktop hand-offs of the worker rows; empty: the shell layer.
  std::function<bool(const std::string& url)> openExternal;
  std::function<bool(const std::string& path)> revealInFolder;
};

class RpcDispatch {
 public:
  using Options = RpcDispatchOptions;


  // windows may be null (no window side: the window rows answer as without a window).
  RpcDispatch(RpcOutletPtr outlet, WindowSidePtr windows, Options options);
  ~RpcDispatch();
  RpcDispatch(const RpcDispatch&) = delete;
  RpcDispatch& operator=(const RpcDispatch&) = delete;

  // One complete text message of the UI connection, on its thread under the UI dispatch lock.
  void HandleMessage(const std::string& text);

  BlobChunkRouter& blobRouter() { return *blobRouter_; }
  // For readers on worker threads that may outlive the dispatcher.
  std::shared_ptr<BlobChunkRouter> sharedBlobRouter() const { return blobRouter_; }
  // Where subsystems register their rows, before the page connects.
  RpcRouteTable& routes() { return routes_; }
  const RpcOutletPtr& outlet() const { return outlet_; }
  bool developerMode() const { return developerMode_.load(); }
  void SetDeveloperMode(bool on) { developerMode_.store(on); }
  // The main window's title for developer mode on or off; nothing without a window.
  void SetDeveloperModeTitle(bool on);
  nlohmann::json MakeHelloReply() const;
  // The plugin registry's step after "armPluginRpc" armed a token; set before the page connects.
  using PluginTokenArmedHook = std::function<void(const std::string& pluginId, int64_t nowSeconds)>;
  void SetPluginTokenArmedHook(PluginTokenArmedHook hook) { pluginTokenArmed_ = std::move(hook); }

 private:
  void RegisterGeneralRows();
  void Reply(const nlohmann::json& id, const nlohmann::json& data);
  void ReplyError(const nlohmann::json& id, const std::string& error);
  CapabilityTokenRegistry& Registry() const { return *options_.registry; }

  // General requests.
  void HandleSetAppVersion(const nlohmann::json& id, const nlohmann::json& payload);
  void HandleSetAlwaysOnTop(const nlohmann::json& id, const nlohmann::json& payload);
  void HandleIsAlwaysOnTop(const nlohmann::json& id, const nlohmann::json& payload);
  void HandleToggleFullscreen(const nlohmann::json& id);
  void HandleAppendFileChunk(const nlohmann::json& id, const nlohmann::json& payload);
  void HandleShareFile(const nlohmann::json& id, const nlohmann::json& payload);
  void HandleOpenExternal(const nlohmann::json& id, const nlohmann::json& payload);
  void HandleApplyRevocations(const nlohmann::json& id, const nlohmann::json& payload);
  void HandleArmPluginRpc(const nlohmann::json& id, const nlohmann::json& payload);
  void HandleSetDeveloperMode(const nlohmann::json& id, const nlohmann::json& payload);

  RpcOutletPtr outlet_;
  WindowSidePtr windows_;
  RpcRouteTable routes_;
  Options options_;
  std::string appVersion_ = "1.2";
  std::atomic<bool> developerMode_{false};
  PluginTokenArmedHook pluginTokenArmed_;
  std::shared_ptr<BlobChunkRouter> blobRouter_ = std::make_shared<BlobChunkRouter>();
};
