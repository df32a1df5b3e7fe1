#include "app/subsystem_hooks.h"

#include "app/native_dialogs.h"
#include "app/update/ota_check.h"
#include "app/window_procs.h"
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
void RunOtaCheckWorker(unsigned long long mainWindow, std::function<void()> done) {
  OtaCheckWorker(DefaultOtaServerConfig(),
                 [mainWindow] { platform::ui::PostMessage(mainWindow, WM_APP_OTA_RELOAD, 0, 0); });
  done();
}

void RegisterSubsystemRows(RpcDispatch& dispatcher) {
  plugins::RegisterSdkRows(dispatcher.routes(), [&dispatcher] { return dispatcher.developerMode(); });
  plugins::RegisterNativePackRows(dispatcher.routes());
  RegisterDeviceIdentityRows(dispatcher.routes());
  RegisterOtaRows(dispatcher.routes());
  RegisterNativeDialogRows(dispatcher.routes());
}
