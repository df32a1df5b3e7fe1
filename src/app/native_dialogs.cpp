#include "app/native_dialogs.h"

#include <filesystem>
#include <system_error>

#include "app/window_procs.h"
#include "base/json.h"
#include "base/log.h"
#include "base/thread.h"
#include "platform/ui.h"

using nlohmann::json;

const char kDeveloperModeConsentText[] =
    "Plugin developer mode lets the page run plugin code it supplies and decoders from any folder.\n\n"
    "Only enable this while developing a plugin. It switches off when the app restarts.\n\n"
    "插件开发者模式允许页面运行其提供的插件代码。仅在开发插件时开启，重启后自动关闭。";

namespace {

// The text after the last "." of a name, when there is at least one character after it.
std::string DefaultExtension(const std::string& name) {
  size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || dot + 1 >= name.size()) return {};
  return name.substr(dot + 1);
}

}  // namespace

platform::DialogResult ShowSaveFileDialog(const std::string& suggestedName, const std::string& sourcePath) {
  platform::DialogResult result = platform::ShowSaveDialog(suggestedName);
  if (!result.ok) return result;
  std::string chosen = result.path;
  std::string extension = DefaultExtension(suggestedName);
  std::string chosenName = std::filesystem::path(chosen).filename().string();
  if (!extension.empty() && !chosenName.empty() && chosenName.find('.') == std::string::npos) {
    chosen += "." + extension;
  }
  if (!sourcePath.empty()) {
    std::error_code ec;
    std::filesystem::copy_file(sourcePath, chosen, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) {
      result.ok = false;
      result.path.clear();
      result.error = "CopyFileW failed, code=" + std::to_string(ec.value());
      return result;
    }
  }
  result.path = chosen;
  return result;
}

platform::DialogResult ShowFolderPicker() { return platform::ShowFolderDialog(); }

void RunNativeDialogRequest(std::unique_ptr<NativeDialogRequest> request) {
  if (!request) return;
  platform::DialogResult result = request->isOpenDirectory
                                      ? ShowFolderPicker()
                                      : ShowSaveFileDialog(request->suggestedName, request->path);
  std::string reply;
  if (result.cancelled) {
    reply = MakeRpcReply(request->id, "data", {{"success", false}, {"cancelled", true}});
  } else if (result.ok) {
    reply = MakeRpcReply(request->id, "data", {{"success", true}, {"path", result.path}});
  } else {
    reply = MakeRpcReply(request->id, "error", result.error);
  }
  if (request->sender) request->sender->SendText(reply);
}

void RunDeveloperModeConsent(std::unique_ptr<DeveloperModeRequest> request,
                             const std::function<void(bool enabled)>& apply) {
  if (!request) return;
  bool enabled = platform::ShowOkCancelWarning(kDeveloperModeConsentTitle, kDeveloperModeConsentText);
  if (apply) apply(enabled);
  LogPrintf("[plugin] developer mode %s (native confirmation)\n", enabled ? "ON" : "declined");
  if (request->sender) {
    request->sender->SendText(MakeRpcReply(request->id, "data", {{"enabled", enabled}, {"confirmed", enabled}}));
  }
}

void ConfirmDeveloperMode(std::unique_ptr<DeveloperModeRequest> request) {
  if (!request) return;
  std::shared_ptr<DeveloperModeRequest> shared(std::move(request));
  bool started = base::StartDetachedThread("devmode-consent", [shared] {
    std::unique_ptr<DeveloperModeRequest> owned(new DeveloperModeRequest(*shared));
    RunDeveloperModeConsent(std::move(owned), [](bool enabled) {
      // Applied on the UI thread through the hook that is current then: after shutdown has
      // cleared it (or ended the loop) the answer changes nothing.
      platform::ui::PostTask([enabled] {
        auto& apply = CurrentMainWindowHooks().applyDeveloperMode;
        if (apply) apply(enabled);
      });
    });
  });
  if (!started && shared->sender) {
    shared->sender->SendText(MakeRpcReply(shared->id, "error", "could not open developer mode consent"));
  }
}

void RegisterNativeDialogRows(RpcRouteTable& routes) {
  routes.Register({"promptSaveFile", "promptOpenDirectory"}, [](const RpcRequest& r) {
    PayloadReader reader(r.payload);
    auto request = std::make_unique<NativeDialogRequest>();
    request->sender = r.outlet;
    request->id = r.id;
    request->suggestedName = reader.String("suggestedName");
    request->path = reader.String("path");
    request->isOpenDirectory = r.type == "promptOpenDirectory";
    if (!reader.ok()) return r.ReplyError(reader.Error());
    if (!request->isOpenDirectory && request->suggestedName.empty()) {
      return r.ReplyError("suggestedName is required");
    }
    std::shared_ptr<NativeDialogRequest> shared(std::move(request));
    bool started = base::StartDetachedThread("native-dialog", [shared] {
      RunNativeDialogRequest(std::make_unique<NativeDialogRequest>(*shared));
    });
    if (!started) r.ReplyError("could not open native dialog");
  });
}
