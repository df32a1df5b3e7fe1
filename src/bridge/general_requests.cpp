// The general rows of the dispatcher: hello, window state, file chunks, desktop hand-offs,
// plugin arming and developer mode.
#include "bridge/general_requests.h"

#include <memory>
#include <exception>
#include <thread>

#include "app/helpers.h"
#include "app/log.h"
#include "app/window_procs.h"
#include "bridge/base64.h"
#include "bridge/rpc_dispatch.h"
#include "bridge/rpc_json.h"
#include "bridge/tokens/token_format.h"
#include "platform/files.h"
#include "platform/shell.h"

using nlohmann::json;
namespace ui = platform::ui;

namespace {

constexpr const char kDeveloperModeTitle[] = "Quorvane \xE2\x80\x94 PLUGIN DEVELOPER MODE";

// Starts a detached worker; false when the thread could not be made. Nothing the worker
// throws may leave its thread.
template <typename Fn>
bool StartWorker(Fn fn) {
  try {
    std::thread([fn = std::move(fn)]() mutable {
      try {
        fn();
      } catch (const std::exception& e) {
        LogPrintf("[rpc] worker failed: %s\n", e.what());
      } catch (...) {
        LogPrintf("[rpc] worker failed\n");
      }
    }).detach();
    return true;
  } catch (...) {
    return false;
  }
}

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

void AnswerDeveloperModeUnavailable(ui::LPARAM lParam) {
  std::unique_ptr<DeveloperModeRequest> request(reinterpret_cast<DeveloperModeRequest*>(lParam));
  if (request && request->sender) {
    request->sender->SendText(
        MakeRpcReply(request->id, "error", "not implemented in qvn_native_win yet: setPluginDeveloperMode"));
  }
}

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
  if (mainWindow_ == 0) return;
  ui::SetWindowTitle(mainWindow_, on ? kDeveloperModeTitle : kMainWindowTitle);
}

void RpcDispatch::HandleSetAppVersion(const json& id, const json& payload) {
  auto it = payload.find("version");
  if (it != payload.end() && it->is_string()) appVersion_ = it->get<std::string>();
  Reply(id, {{"version", appVersion_}});
}

ui::HWND RpcDispatch::ChooseWindow(const std::string& name) const {
  if (name == "main" || name == "mainWindow") return mainWindow_;
  if (!name.empty()) {
    // Every window record is this process's own and shown by its browser window.
    for (ui::HWND w : ui::EnumWindows()) {
      std::u16string title = Utf8ToWide(ui::GetWindowTitle(w));
      if (title.size() > 255) title.resize(255);
      if (WideToUtf8(title).find(name) != std::string::npos) return w;
    }
  }
  ui::HWND foreground = ui::GetForegroundWindow();
  if (foreground != 0 && ui::IsWindow(foreground)) return foreground;
  return mainWindow_;
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
  ui::HWND window = ChooseWindow(name);
  if (window == 0 || !ui::IsWindow(window)) return ReplyError(id, "No valid window found for setAlwaysOnTop");
  ui::SetTopmost(window, wanted);
  Reply(id, {{"success", true}, {"alwaysOnTop", wanted}});
}

void RpcDispatch::HandleIsAlwaysOnTop(const json& id, const json& payload) {
  PayloadReader r(payload);
  std::string name = r.String("name");
  if (!r.ok()) return ReplyError(id, r.Error());
  ui::HWND window = ChooseWindow(name);
  bool topmost = window != 0 && ui::IsWindow(window) && ui::IsTopmost(window);
  Reply(id, {{"success", true}, {"alwaysOnTop", topmost}});
}

void RpcDispatch::HandleToggleFullscreen(const json& id) {
  ui::HWND target = ui::GetForegroundWindow();
  if (target == 0) target = mainWindow_;
  // The page is answered before the toggle runs, whether or not the window takes it.
  ui::PostMessage(target, WM_APP_TOGGLE_FULLSCREEN, 0, 0);
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
  bool started = StartWorker([outlet = outlet_, id, path, reveal = options_.revealInFolder] {
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
  bool started = StartWorker([outlet = outlet_, id, url, open = options_.openExternal] {
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
  Reply(id, {{"ok", true}, {"pluginId", pluginId}});
}

void RpcDispatch::HandleSetDeveloperMode(const json& id, const json& payload) {
  PayloadReader r(payload);
  bool enabled = r.Bool("enabled");
  if (!r.ok()) return ReplyError(id, r.Error());
  if (enabled) {
    // The consent handler on the main window answers and frees the record.
    auto* request = new DeveloperModeRequest{outlet_, id};
    if (!ui::PostMessage(mainWindow_, WM_APP_DEVMODE_CONSENT, 0, reinterpret_cast<ui::LPARAM>(request))) {
      delete request;
      ReplyError(id, "could not open developer mode consent");
    }
    return;
  }
  developerMode_.store(false);
  SetDeveloperModeTitle(false);
  LogPrintf("[plugin] developer mode OFF\n");
  Reply(id, {{"enabled", false}});
}
