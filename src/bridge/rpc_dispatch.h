#pragma once
// The page's requests: parses each UI text message, picks its row and answers inline, from a
// detached worker or through a message posted to the main window.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/blob_chunk_router.h"
#include "bridge/plugin_sessions.h"
#include "bridge/rpc_outlet.h"
#include "bridge/rpc_routes.h"
#include "bridge/tokens/capability_token_registry.h"
#include "bridge/window_side.h"

// A request text read once before it is parsed. deepAt is where its nesting first goes deeper
// than maxNesting, the byte tokens::NestingExceededAt gives (0: never; the scan stops there).
// The long string literals made only of printable ASCII without an escape are noted (which
// literal of the text, counting from 0, and where its contents lie), so the parse can take each
// whole instead of lexing it a byte at a time: a large request is mostly one such payload.
struct RequestTextScan {
  struct LongString {
    size_t ordinal;
    size_t begin;
    size_t length;
  };
  size_t deepAt = 0;
  std::vector<LongString> longStrings;
};
RequestTextScan ScanRequestText(std::string_view text, size_t maxNesting);
// The text parsed exactly as nlohmann::json::parse parses it, the same value or the same
// exception, with the scan's long strings taken whole. scan must come from this text.
nlohmann::json ParseRequestText(const std::string& text, const RequestTextScan& scan);
// The same parse, with text as scratch: the largest long string takes over text's buffer
// instead of being copied, and *taken is where that string lies in the value (null when it is
// a key, or was replaced by a repeated key, or there was none). text is empty afterwards;
// moving *taken back into it returns the buffer. On a refusal text is left as it was.
nlohmann::json ParseRequestTextInPlace(std::string& text, const RequestTextScan& scan, std::string** taken);

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
  // The same for a message the caller lends as scratch: its largest string goes to the row
  // without a copy, and once the request is done text holds that buffer again, with other
  // contents, for the caller to reuse.
  void HandleMessageInPlace(std::string& text);

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
  void Handle(const std::string& text, std::string* scratch);
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
