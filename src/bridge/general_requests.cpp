// The general rows of the dispatcher: hello, window state, file chunks, desktop hand-offs,
// plugin arming and developer mode.
#include "bridge/general_requests.h"

#include <memory>
#include <exception>

#include "base/constants.h"
#include "base/strings.h"
#include "base/version.h"
#include "base/log.h"
#include "base/thread.h"
#include "base/base64.h"
#include "bridge/rpc_dispatch.h"
#include "base/json.h"
#include "bridge/tokens/token_format.h"
#include "platform/files.h"
#include "platform/shell.h"

using nlohmann::json;

namespace {


// A desktop hand-off that throws (it starts a process and a reaper thread) counts as failed.
template <typename Fn>
bool HandOff(const Fn& fn, const std::string& target) {
  try {
    return fn(target);
  } catch (...) {
    return false;
  }
}

}  // namespace

bool RevealInFolder(const std::string& path) {
  size_t slash = path.find_last_of('/');
  std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  // A leading '-' would read as an option to the opener.
  if (!folder.empty() && folder[0] == '-') folder = "./" + folder;
  return platform::OpenExternal(folder);
}

bool IsPluginIdText(std::string_view id) {
  if (id.empty() || id.size() > 64) return false;
  for (char c : id) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.')) return false;
  }
  return true;
}

bool IsPackageSha256(std::string_view hash) { return tokens::IsLowerHex(hash, 64); }

json RpcDispatch::MakeHelloReply() const {
  json data = {
      {"protocol", 2},
      {"platform", PluginPlatformName()},
      {"hardened", true},
      {"capabilities",
       {"hello", "tokenInHello", "originCheck", "hostCheck", "pluginDeveloperMode", "authDeviceProof",
        "getAuthDeviceIdentity", "signAuthDeviceChallenge", "startRealtimePlugin", "bmsTelemetryUrl",
        "stopRealtimePlugin", "stagePluginPackage", "unstagePluginPackage", "nativePluginPack",
        "nativePluginInputStream", "armPluginRpc", "rt.publish", "remote.status", "remote.setEnabled",
        "remote.shareSources", "remoteShareSources", "remote.revoke", "remote.kick", "remote.connect",
        "remote.renew", "remote.disconnect", "shell.openExternal"}},
      {"pluginDeveloperMode", developerMode_.load()},
      {"nativeVersion", GetExeProductVersion()},
      {"appVersion", appVersion_},
  };
  std::string installationId = Registry().InstallationId();
  if (!installationId.empty()) data["installationId"] = installationId;
  std::string sessionHandle = Registry().InstanceId();
  if (!sessionHandle.empty()) data["sessionHandle"] = sessionHandle;
  return data;
}

void RpcDispatch::SetDeveloperModeTitle(bool on) {
  if (windows_) windows_->SetDeveloperModeTitle(on);
}

void RpcDispatch::RegisterGeneralRows() {
  auto row = [this](void (RpcDispatch::*handler)(const json&, const json&)) {
    return [this, handler](const RpcRequest& r) { (this->*handler)(r.id, r.payload); };
  };
  routes_.Register({"setAppVersion"}, row(&RpcDispatch::HandleSetAppVersion));
  routes_.Register({"setAlwaysOnTop"}, row(&RpcDispatch::HandleSetAlwaysOnTop));
  routes_.Register({"isAlwaysOnTop", "getAlwaysOnTop"}, row(&RpcDispatch::HandleIsAlwaysOnTop));
  routes_.Register({"toggleFullscreenNative"}, [this](const RpcRequest& r) { HandleToggleFullscreen(r.id); });
  routes_.Register({"setUILanguage"}, [](const RpcRequest& r) { r.Reply({{"success", true}}); });
  routes_.Register({"appendFileChunk"}, row(&RpcDispatch::HandleAppendFileChunk));
  routes_.Register({"shareFile"}, row(&RpcDispatch::HandleShareFile));
  routes_.Register({"shell.openExternal"}, row(&RpcDispatch::HandleOpenExternal));
  routes_.Register({"hello"}, [this](const RpcRequest& r) { r.Reply(MakeHelloReply()); });
  routes_.Register({"applyRpcRevocations"}, row(&RpcDispatch::HandleApplyRevocations));
  routes_.Register({"armPluginRpc"}, row(&RpcDispatch::HandleArmPluginRpc));
  routes_.Register({"getPluginDeveloperMode"},
                   [this](const RpcRequest& r) { r.Reply({{"enabled", developerMode_.load()}}); });
  routes_.Register({"setPluginDeveloperMode"}, row(&RpcDispatch::HandleSetDeveloperMode));
  // Where the log is, so the page can tell the user which file to look at or send.
  routes_.Register({"getLogPath"}, [](const RpcRequest& r) {
    std::string path = LogFilePath();
    if (path.empty()) return r.ReplyError("no log file (standard output is the log)");
    r.Reply({{"path", path}});
  });
}

void RpcDispatch::HandleSetAppVersion(const json& id, const json& payload) {
  auto it = payload.find("version");
  if (it != payload.end() && it->is_string()) appVersion_ = it->get<std::string>();
  Reply(id, {{"version", appVersion_}});
}

void RpcDispatch::HandleSetAlwaysOnTop(const json& id, const json& payload) {
  PayloadReader r(payload);
  std::string name = r.String("name");
  bool wanted = true;
  for (const char* key : {"alwaysOnTop", "topmost", "enabled"}) {
    if (r.Has(key)) {
      wanted = r.Bool(key, true);
      break;
    }
  }
  if (!r.ok()) return ReplyError(id, r.Error());
  if (!windows_ || !windows_->SetAlwaysOnTop(name, wanted)) {
    return ReplyError(id, "No valid window found for setAlwaysOnTop");
  }
  Reply(id, {{"success", true}, {"alwaysOnTop", wanted}});
}

void RpcDispatch::HandleIsAlwaysOnTop(const json& id, const json& payload) {
  PayloadReader r(payload);
  std::string name = r.String("name");
  if (!r.ok()) return ReplyError(id, r.Error());
  bool topmost = windows_ && windows_->IsAlwaysOnTop(name);
  Reply(id, {{"success", true}, {"alwaysOnTop", topmost}});
}

void RpcDispatch::HandleToggleFullscreen(const json& id) {
  // The page is answered before the toggle runs, whether or not the window takes it.
  if (windows_) windows_->ToggleFullscreen();
  Reply(id, {{"success", true}});
}

void RpcDispatch::HandleAppendFileChunk(const json& id, const json& payload) {
  PayloadReader r(payload);
  std::string path = r.String("path");
  std::string base64 = r.String("base64");
  bool first = r.Bool("first");
  if (!r.ok()) return ReplyError(id, r.Error());
  if (path.empty() || base64.empty()) return ReplyError(id, "path and base64 are required");
  std::vector<uint8_t> bytes = Base64Decode(base64);
  if (bytes.empty()) return ReplyError(id, "failed to decode base64 chunk");
  const platform::FileAppendResult written = platform::AppendToFile(path, bytes.data(), bytes.size(), first);
  if (written.openError != 0) {
    return ReplyError(id, "failed to open file for writing, code=" + std::to_string(written.openError));
  }
  if (!written.ok) return ReplyError(id, "write failed");
  Reply(id, {{"success", true}});
}

void RpcDispatch::HandleShareFile(const json& id, const json& payload) {
  PayloadReader r(payload);
  std::string path = r.String("path");
  if (!r.ok()) return ReplyError(id, r.Error());
  if (path.empty()) return ReplyError(id, "path is required");
  if (!platform::PathExists(path)) return ReplyError(id, "file not found on disk");
  bool started = base::StartDetachedThread("rpc", [outlet = outlet_, id, path, reveal = options_.revealInFolder] {
    // The file manager's result is not waited on; the page only learns the hand-off was made.
    HandOff(reveal, path);
    if (outlet) outlet->SendText(MakeRpcReply(id, "data", {{"success", true}, {"path", path}, {"completed", true}}));
  });
  if (!started) ReplyError(id, "could not start worker");
}

void RpcDispatch::HandleOpenExternal(const json& id, const json& payload) {
  PayloadReader r(payload);
  std::string url = r.String("url");
  if (!r.ok()) return ReplyError(id, r.Error());
  if (!IsOpenableExternalUrl(url)) return ReplyError(id, "url must be http or https");
  bool started = base::StartDetachedThread("rpc", [outlet = outlet_, id, url, open = options_.openExternal] {
    bool opened = HandOff(open, url);
    if (!outlet) return;
    outlet->SendText(opened ? MakeRpcReply(id, "data", {{"success", true}, {"opened", true}})
                            : MakeRpcReply(id, "error", "failed to open url"));
  });
  if (!started) ReplyError(id, "could not start worker");
}

void RpcDispatch::HandleApplyRevocations(const json& id, const json& payload) {
  RevocationResult result = Registry().ApplyRevocations(DumpCompact(payload));
  if (result.applied) return Reply(id, {{"ok", true}});
  ReplyError(id, result.code.empty() ? std::string(kTokenSignature) : result.code);
}

void RpcDispatch::HandleArmPluginRpc(const json& id, const json& payload) {
  PayloadReader r(payload);
  std::string pluginId = r.String("pluginId");
  std::string packageSha256 = r.String("packageSha256");
  std::string token = r.String("token");
  if (!r.ok() || !IsPluginIdText(pluginId) || !IsPackageSha256(packageSha256) || token.empty()) {
    return ReplyError(id, kTokenSignature);
  }
  CapabilityTokenRegistry& registry = Registry();
  int64_t now = registry.ServerNowSeconds(options_.wallClock());
  if (options_.deliverPluginToken) {
    PluginTokenDelivery delivery = options_.deliverPluginToken(token, now, pluginId, packageSha256);
    if (!delivery.code.empty()) return ReplyError(id, delivery.code);
  }
  std::string code = registry.ArmPluginToken(pluginId, packageSha256, token, now);
  if (!code.empty()) return ReplyError(id, code);
  if (pluginTokenArmed_) pluginTokenArmed_(pluginId, now);
  Reply(id, {{"ok", true}, {"pluginId", pluginId}});
}

void RpcDispatch::HandleSetDeveloperMode(const json& id, const json& payload) {
  PayloadReader r(payload);
  bool enabled = r.Bool("enabled");
  if (!r.ok()) return ReplyError(id, r.Error());
  if (enabled) {
    // The consent box owns the request from here and answers it.
    auto request = std::make_unique<DeveloperModeRequest>(DeveloperModeRequest{outlet_, id});
    if (!windows_ || !windows_->AskDeveloperModeConsent(request)) {
      ReplyError(id, "could not open developer mode consent");
    }
    return;
  }
  developerMode_.store(false);
  SetDeveloperModeTitle(false);
  LogPrintf("[plugin] developer mode OFF\n");
  Reply(id, {{"enabled", false}});
}
