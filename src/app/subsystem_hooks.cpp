#include "app/subsystem_hooks.h"

#include "base/never_destroyed.h"
#include "bridge/rpc_dispatch.h"
#include "media/native_media.h"
#include "plugins/native_packs.h"
#include "plugins/sdk_discovery.h"

namespace {

// The process's native players; closed at shutdown.
const std::shared_ptr<media::NativePlayerTable>& NativePlayers() {
  static base::NeverDestroyed<std::shared_ptr<media::NativePlayerTable>> players(
      std::make_shared<media::NativePlayerTable>());
  return players.get();
}

}  // namespace

void WarmUpDeviceKey() {}
bool StartNativeMedia() { return media::StartNativeMedia(); }
void ShutdownNativeMedia() { NativePlayers()->CloseAll(); }
void InstallKickPluginSessionsHook(KickPluginSessionsHook) {}
void InstallPluginStatusSink(UiTextSink) {}
void StopAllPlugins() {}
void StartRealtimeHub(UiTextSink) {}
void StopRealtimeHub() {}
void StartRemoteAccess(UiTextSink) {}
void CloseRemoteOutConns() {}
void StopRemoteListener() {}
void OnPageConnectedSubsystems() {}
void RunOtaCheckWorker(unsigned long long, std::function<void()> done) { done(); }

void RegisterSubsystemRows(RpcDispatch& dispatcher) {
  plugins::RegisterSdkRows(dispatcher.routes(), [&dispatcher] { return dispatcher.developerMode(); });
  plugins::RegisterNativePackRows(dispatcher.routes());
  media::RegisterNativeMediaRows(dispatcher.routes(), NativePlayers(), dispatcher.sharedBlobRouter());
}
