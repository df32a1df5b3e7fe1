#pragma once
// The calls start-up and shutdown make into the subsystems (plugins, realtime, media, remote
// viewers, updates, dialogs), so the composition root names each step without including every
// subsystem: each hook registers a subsystem's rows, starts or stops it, or fills a slot of a
// lower layer with the subsystem's call. Called from the start-up thread in start-up order.
#include <functional>
#include <string>

#include "bridge/plugin_sessions.h"

class RpcDispatch;
struct BinaryFrameTargets;

using UiTextSink = std::function<void(const std::string& text)>;
using KickPluginSessionsHook = std::function<void(const std::string& pluginId)>;

// Each subsystem registers its page-request rows on the dispatcher, one line per subsystem,
// right after the dispatcher is built and before the page can connect. A subsystem that takes
// the page's binary messages fills its slot of binaryTargets; what it puts there shares the
// subsystem's state with its rows, and the host clears the binary handler before the dispatcher goes.
void RegisterSubsystemRows(RpcDispatch& dispatcher, BinaryFrameTargets& binaryTargets);
// Opens or creates the device key once; runs on the detached warm-up thread.
void WarmUpDeviceKey();
// Native media start-up and shutdown; false when start-up failed.
bool StartNativeMedia();
void ShutdownNativeMedia();
// Plugin host slots.
void InstallKickPluginSessionsHook(KickPluginSessionsHook hook);
void InstallPluginStatusSink(UiTextSink sink);
void StopAllPlugins();
// Realtime hub: built with its flusher, its batch sink installed; stopped at shutdown.
void StartRealtimeHub(UiTextSink batchSink);
void StopRealtimeHub();
// What the bridge's plugin sessions ask of the plugin registry and the realtime hub.
PluginSessionHooks MakePluginSessionHooks();
// Clears every sink that sends to the page, before the bridge stops: a late send is dropped.
void DetachPageSinks();
// Remote access: event sink, settings, listener and first status; then its shutdown steps.
void StartRemoteAccess(UiTextSink eventSink);
void CloseRemoteOutConns();
void StopRemoteListener();
// The page's connection was accepted: the hub replays its declarations, remote access pushes
// its listener status.
void OnPageConnectedSubsystems();
// The update check worker; it must call done() when it ends, whatever its outcome.
void RunOtaCheckWorker(unsigned long long mainWindow, std::function<void()> done);
