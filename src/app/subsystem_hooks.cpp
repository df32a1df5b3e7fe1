#include "app/subsystem_hooks.h"

#include "app/binary_frames.h"
#include "bridge/rpc_dispatch.h"
#include "media/export_session.h"
#include "plugins/native_packs.h"
#include "plugins/sdk_discovery.h"

void WarmUpDeviceKey() {}
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

void RegisterSubsystemRows(RpcDispatch& dispatcher, BinaryFrameTargets& binaryTargets) {
  plugins::RegisterSdkRows(dispatcher.routes(), [&dispatcher] { return dispatcher.developerMode(); });
  plugins::RegisterNativePackRows(dispatcher.routes());
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
}
