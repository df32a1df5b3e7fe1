#include "app/subsystem_hooks.h"

#include "bridge/rpc_dispatch.h"
#include "plugins/native_packs.h"
#include "plugins/sdk_discovery.h"
#include "remote/remote_listener.h"

void WarmUpDeviceKey() {}
bool StartNativeMedia() { return true; }  // FFmpeg needs no process-wide start-up
void ShutdownNativeMedia() {}
void InstallKickPluginSessionsHook(KickPluginSessionsHook) {}
void InstallPluginStatusSink(UiTextSink) {}
void StopAllPlugins() {}
void StartRealtimeHub(UiTextSink) {}
void StopRealtimeHub() {}
void StartRemoteAccess(UiTextSink eventSink) {
  remote::State& state = remote::GetState();
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.eventSink = std::move(eventSink);
  }
  remote::Start(state);
}
void CloseRemoteOutConns() {}
void StopRemoteListener() { remote::Shutdown(remote::GetState()); }
void OnPageConnectedSubsystems() {}
void RunOtaCheckWorker(unsigned long long, std::function<void()> done) { done(); }

void RegisterSubsystemRows(RpcDispatch& dispatcher) {
  plugins::RegisterSdkRows(dispatcher.routes(), [&dispatcher] { return dispatcher.developerMode(); });
  plugins::RegisterNativePackRows(dispatcher.routes());
}
