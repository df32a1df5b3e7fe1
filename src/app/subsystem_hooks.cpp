#include "app/subsystem_hooks.h"

#include "bridge/identity/device_key.h"
#include "bridge/rpc_dispatch.h"
#include "plugins/native_packs.h"
#include "plugins/sdk_discovery.h"

void WarmUpDeviceKey() { GetDeviceKeyId(); }
bool StartNativeMedia() { return true; }  // FFmpeg needs no process-wide start-up
void ShutdownNativeMedia() {}
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
  RegisterDeviceIdentityRows(dispatcher.routes());
}
