#include "app/subsystem_hooks.h"

#include <memory>
#include <utility>

#include "app/binary_frames.h"
#include "app/native_dialogs.h"
#include "app/update/ota_check.h"
#include "app/window_procs.h"
#include "base/never_destroyed.h"
#include "bridge/identity/device_key.h"
#include "bridge/rpc_dispatch.h"
#include "bridge/tokens/capability_token_registry.h"
#include "media/export_session.h"
#include "media/media_tools.h"
#include "media/native_media.h"
#include "platform/media_engine.h"
#include "plugins/decode_requests.h"
#include "plugins/native_packs.h"
#include "plugins/package_store.h"
#include "plugins/plugin_host.h"
#include "plugins/plugin_registry.h"
#include "plugins/sdk_discovery.h"
#include "realtime/realtime_hub.h"
#include "remote/out_conn.h"
#include "remote/remote_control.h"
#include "remote/remote_listener.h"

namespace {

// The process's native players; closed at shutdown.
const std::shared_ptr<media::NativePlayerTable>& NativePlayers() {
  static base::NeverDestroyed<std::shared_ptr<media::NativePlayerTable>> players(
      std::make_shared<media::NativePlayerTable>());
  return players.get();
}

}  // namespace

void WarmUpDeviceKey() { GetDeviceKeyId(); }
bool StartNativeMedia() {
  // The FFmpeg side is loaded from beside the executable when a player, probe or export first
  // needs it, not now.
  platform::media::InstallMediaEngineLoader(platform::media::LoadMediaEngineBesideExecutable);
  return media::StartNativeMedia();
}
void ShutdownNativeMedia() { NativePlayers()->CloseAll(); }
void InstallKickPluginSessionsHook(KickPluginSessionsHook hook) { plugins::SetKickPluginSessionsHook(std::move(hook)); }
void InstallPluginStatusSink(UiTextSink sink) { plugins::SetPluginStatusSink(std::move(sink)); }
void StopAllPlugins() { plugins::StopAllPlugins(); }

void StartRealtimeHub(UiTextSink batchSink) {
  realtime::RealtimeHub& hub = realtime::RealtimeHub::Instance();
  hub.SetBatchSink(std::move(batchSink));
  // The plugin host's stdio slots are filled here, not from a static initialiser, so the stdio
  // path does not hang on the order in which translation units start.
  realtime::RealtimePluginQueries queries;
  queries.isPluginProcessAlive = plugins::IsPluginProcessAlive;
  queries.getPluginGeneration = plugins::GetPluginGeneration;
  queries.markPluginNeedsOnline = plugins::MarkPluginNeedsOnline;
  queries.publishStoppedNeedsOnline = [](const std::string& pluginId) {
    plugins::PublishPluginStatus(pluginId, "stopped", 0, 0, true);
  };
  auto stdio = std::make_shared<realtime::StdioHook>(hub, CapabilityTokenRegistry::Instance(), std::move(queries));
  plugins::SetStdioPublishHook(
      [stdio](const std::string& pluginId, const std::string& packageSha256, const nlohmann::json& payload) {
        return plugins::StdioReply{stdio->Publish(pluginId, packageSha256, payload)};
      });
  plugins::PluginHostServices host;
  host.tokens = &CapabilityTokenRegistry::Instance();
  host.endPublisher = [](const std::string& pluginId) { realtime::RealtimeHub::Instance().EndPublisher(pluginId); };
  plugins::InstallPluginHost(std::move(host));
  plugins::SetStdioGenerationHook(
      [stdio](const std::string& pluginId, uint64_t generation) { stdio->BeginGeneration(pluginId, generation); });
}

void StopRealtimeHub() { realtime::RealtimeHub::Instance().Stop(); }

PluginSessionHooks MakePluginSessionHooks() {
  PluginSessionHooks hooks;
  hooks.getPluginGeneration = plugins::GetPluginGeneration;
  hooks.isPluginProcessAlive = plugins::IsPluginProcessAlive;
  hooks.markPluginNeedsOnline = plugins::MarkPluginNeedsOnline;
  hooks.publishPluginStatus = [](const std::string& pluginId, const std::string& state, int64_t pid,
                                 int64_t restarts, bool needsOnline) {
    plugins::PublishPluginStatus(pluginId, state, static_cast<int32_t>(pid), static_cast<int32_t>(restarts),
                                 needsOnline);
  };
  hooks.setPluginTokenStamp = plugins::SetPluginTokenStamp;
  hooks.publish = [](const CapabilityClaims& claims, bool verified, const nlohmann::json& payload,
                     uint64_t generation) {
    return realtime::RealtimeHub::Instance().Publish(claims, verified, payload, generation);
  };
  return hooks;
}

void DetachPageSinks() {
  realtime::RealtimeHub::Instance().SetBatchSink(nullptr);
  plugins::SetPluginStatusSink(nullptr);
}

void StartRemoteAccess(UiTextSink eventSink) {
  remote::State& state = remote::GetState();
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.eventSink = std::move(eventSink);
    state.listenerStatusHook = [&state] { remote::SendListenerStatusEvent(state); };
  }
  // What the hub accepts reaches the LAN viewers; the hub never includes remote.
  realtime::RealtimeHub::Instance().SetFanoutHooks(
      {[](const nlohmann::json& message) { remote::FanOutVerified(message); },
       [](const std::string& pluginId) { remote::FanOutSourceEnded(pluginId); }});
  remote::Start(state);
}
void CloseRemoteOutConns() { remote::CloseAllOutConns(remote::GetState()); }
void StopRemoteListener() { remote::Shutdown(remote::GetState()); }
void OnPageConnectedSubsystems() {
  realtime::RealtimeHub::Instance().ReplayDeclarations();
  remote::OnPageConnected(remote::GetState());
}
void RunOtaCheckWorker(unsigned long long mainWindow, std::function<void()> done) {
  OtaCheckWorker(DefaultOtaServerConfig(),
                 [mainWindow] { platform::ui::PostMessage(mainWindow, WM_APP_OTA_RELOAD, 0, 0); });
  done();
}

void RegisterSubsystemRows(RpcDispatch& dispatcher, BinaryFrameTargets& binaryTargets) {
  plugins::RegisterSdkRows(dispatcher.routes(), [&dispatcher] { return dispatcher.developerMode(); });
  plugins::RegisterNativePackRows(dispatcher.routes());
  plugins::RegisterDecodeRows(dispatcher.routes(), [&dispatcher] { return dispatcher.developerMode(); },
                              dispatcher.sharedBlobRouter());
  RegisterDeviceIdentityRows(dispatcher.routes());
  RegisterOtaRows(dispatcher.routes());
  RegisterNativeDialogRows(dispatcher.routes());
  plugins::RegisterPluginRegistryRows(dispatcher, CapabilityTokenRegistry::Instance());
  // One export per dispatcher: its rows and the page's frames share the session.
  auto exportSession = std::make_shared<NativeExportSession>();
  media::RegisterExportRows(dispatcher.routes(), exportSession);
  binaryTargets.writeVideoFrame = [exportSession](const uint8_t* rgba, size_t length, uint32_t width,
                                                  uint32_t height, double timeUs) {
    exportSession->WriteVideoFrame(rgba, length, width, height, timeUs);
  };
  binaryTargets.writeAudioFrames = [exportSession](const uint8_t* samples, size_t length, uint32_t frames,
                                                   uint32_t channels) {
    exportSession->WriteAudioFrames(samples, length, frames, channels);
  };
  // A package's run is stopped before its files go.
  plugins::RegisterPackageStoreRows(dispatcher.routes(), [](const std::string& pluginId) {
    plugins::StopRealtimePlugin(pluginId);
  });
  plugins::RegisterPluginHostRows(dispatcher.routes(), [&dispatcher] { return dispatcher.developerMode(); });
  media::RegisterNativeMediaRows(dispatcher.routes(), NativePlayers(), dispatcher.sharedBlobRouter());
  media::RegisterMediaToolRows(dispatcher.routes());
  remote::RegisterRemoteRows(dispatcher.routes());
}
