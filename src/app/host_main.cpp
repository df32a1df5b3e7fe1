#include "app/host_main.h"

#include <atomic>
#include <memory>
#include <thread>

#include "app/binary_frames.h"
#include "app/helpers.h"
#include "app/host_window_side.h"
#include "app/log_file.h"
#include "app/crash_filter.h"
#include "base/log.h"
#include "base/thread.h"
#include "app/subsystem_hooks.h"
#include "app/webview/webview_host.h"
#include "app/webview/webview_policy.h"
#include "app/window_procs.h"
#include "bridge/identity/installation_id.h"
#include "bridge/plugin_sessions.h"
#include "bridge/rpc_dispatch.h"
#include "bridge/tokens/capability_token_registry.h"
#include "bridge/ws_server.h"
#include "app/native_dialogs.h"
#include "platform/dialogs.h"
#include "platform/ui.h"

namespace ui = platform::ui;

namespace {

std::atomic<bool> g_otaCheckRunning{false};

OtaCheckWorkerFn& OtaWorkerOverride() {
  static auto* fn = new OtaCheckWorkerFn;
  return *fn;
}

void ShowFatalBox(const char* text) {
  platform::ShowMessageBox(kMainWindowTitle, text, platform::MessageBoxKind::Error);
}

}  // namespace

void StartOtaCheck(unsigned long long mainWindow, const std::string& startPageUrl) {
  LogPrintf("[main] WebView2 navigation issued (%s)\n", startPageUrl.c_str());
  bool expected = false;
  if (!g_otaCheckRunning.compare_exchange_strong(expected, true)) {
    LogPrintf("[ota-native] check already running\n");
    return;
  }
  LogPrintf("[ota-native] background check started\n");
  OtaCheckWorkerFn worker = OtaWorkerOverride() ? OtaWorkerOverride() : OtaCheckWorkerFn(RunOtaCheckWorker);
  bool started = base::StartDetachedThread("ota-native", [mainWindow, worker] {
    try {
      worker(mainWindow, [] { g_otaCheckRunning.exchange(false); });
    } catch (const std::exception& e) {
      LogPrintf("[ota-native] exception: %s\n", e.what());
      g_otaCheckRunning.exchange(false);
    }
  });
  if (!started) g_otaCheckRunning.exchange(false);
}

void SetOtaCheckWorkerForTesting(OtaCheckWorkerFn worker) { OtaWorkerOverride() = std::move(worker); }

int RunHost(const HostOptions& options) {
  auto step = [&](const char* name) {
    if (options.onStep) options.onStep(name);
  };

  step("log");
  if (options.setupLogFile) SetupLogFile();
  step("crash-filter");
  InstallCrashFilter();

  step("warm-up");
  // Joined on every way out of RunHost, so no start-up failure exits while it is inside the
  // crypto library (which keeps its state to the end of the process).
  struct JoinedThread {
    std::thread thread;
    ~JoinedThread() {
      if (thread.joinable()) thread.join();
    }
  } warmUp{std::thread([] {
    try {
      WarmUpDeviceKey();
    } catch (const std::exception& e) {
      LogPrintf("[main] warm-up failed: %s\n", e.what());
    } catch (...) {
      LogPrintf("[main] warm-up failed\n");
    }
  })};

  step("package-identity");
  if (HasPackageIdentity()) {
    LogPrintf("[main] Windows Package Identity detected\n");
  } else {
    LogPrintf("[main] Running without Windows Package Identity (standalone mode)\n");
  }

  step("native-media");
  const bool mediaStarted = StartNativeMedia();
  if (!mediaStarted) LogPrintf("[main] MFStartup failed: hr=0x%08lx (native player fallback will not work)\n", 0x80004005UL);

  step("main-window");
  const HWND mainWindow = ui::CreateWindow(kMainWindowClass, kMainWindowTitle, 1280, 800, MainWndProc);
  if (mainWindow == 0) {
    LogPrintf("[main] FATAL: CreateWindowExW failed\n");
    return 1;
  }
  ui::CloseOnTerminateSignals(mainWindow);

  step("bridge-token");
  const std::string bridgeToken = MakeNativeWsToken();
  if (bridgeToken.empty()) {
    ShowFatalBox("Unable to initialize the secure native bridge.");
    return 1;
  }

  step("bridge-listener");
  std::shared_ptr<WsServer> wsServer = WsServer::Create();
  if (!wsServer->Start(bridgeToken)) {
    LogPrintf("[main] FATAL: WsServer failed to start\n");
    ShowFatalBox("Unable to initialize the native media bridge.");
    if (mediaStarted) ShutdownNativeMedia();
    wsServer->Stop();
    return 1;
  }
  LogPrintf("[main] WsServer listening on 127.0.0.1:%d\n", wsServer->port());
  const int bridgePort = wsServer->port();

  step("kick-hook");
  auto pluginSessions = std::make_shared<PluginSessions>(CapabilityTokenRegistry::Instance(), MakePluginSessionHooks());
  wsServer->SetPluginConnectionFactory(pluginSessions->Factory());
  InstallKickPluginSessionsHook([pluginSessions](const std::string& id) { pluginSessions->KickPluginSessions(id); });

  step("installation-id");
  const std::string installationId = LoadOrCreateInstallationId();
  step("session-handle");
  const std::string sessionHandle = MakeSessionHandle();

  step("token-registry");
  CapabilityTokenRegistry::Instance().SetInstallation(installationId, sessionHandle);
  CapabilityTokenRegistry::Instance().SetRpcPort(bridgePort);

  step("dispatcher");
  // Replies reach the page through the outlet, which is detached before the server goes away.
  auto pageOutlet = std::make_shared<RpcOutlet>(wsServer->OutletTarget());
  RpcDispatch::Options dispatchOptions;
  dispatchOptions.deliverPluginToken = [pluginSessions](const std::string& token, int64_t now,
                                                        const std::string& pluginId, const std::string& pkg) {
    return pluginSessions->DeliverPluginToken(token, now, pluginId, pkg);
  };
  dispatchOptions.registry = &CapabilityTokenRegistry::Instance();
  auto dispatcher = std::make_unique<RpcDispatch>(pageOutlet, std::make_shared<HostWindowSide>(mainWindow),
                                                  std::move(dispatchOptions));
  CurrentMainWindowHooks().confirmDeveloperMode = TakeDeveloperModeRequests(ConfirmDeveloperMode);
  CurrentMainWindowHooks().applyDeveloperMode = [d = dispatcher.get()](bool enabled) {
    d->SetDeveloperMode(enabled);
    d->SetDeveloperModeTitle(enabled);
  };
  BinaryFrameTargets binaryTargets;
  RegisterSubsystemRows(*dispatcher, binaryTargets);
  step("ui-handlers");
  wsServer->SetOnUiText([d = dispatcher.get()](std::string& text) { d->HandleMessageInPlace(text); });
  binaryTargets.deliverBlobChunk = [d = dispatcher.get()](uint32_t stream, uint32_t request, const uint8_t* bytes,
                                                          size_t length) {
    d->blobRouter().Deliver(stream, request, bytes, length);
  };
  wsServer->SetOnUiBinary([binaryTargets](const uint8_t* bytes, size_t length) {
    UiBinaryHandler(binaryTargets, bytes, length);
  });
  wsServer->SetOnUiConnected([] {
    LogPrintf("[main] WS client connected\n");
    OnPageConnectedSubsystems();
  });

  // Events and batches go to whichever page connection is current, never keeping the server.
  const UiTextSink pageSink = [weak = std::weak_ptr<WsServer>(wsServer)](const std::string& text) {
    if (auto server = weak.lock()) server->SendTextToUi(text);
  };
  step("realtime-hub");
  StartRealtimeHub(pageSink);
  step("remote-access");
  StartRemoteAccess(pageSink);
  step("plugin-status-sink");
  InstallPluginStatusSink(pageSink);
  step("ui-closed-handler");
  // A page that goes away or is replaced takes its plugins with it.
  wsServer->SetOnUiClosed([] { StopAllPlugins(); });

  step("webview");
  auto webView = std::make_unique<WebViewHost>();
  CurrentMainWindowHooks().resizeWebView = [host = webView.get(), mainWindow] { host->ResizeToClient(mainWindow); };
  CurrentMainWindowHooks().reloadAfterUpdate = [host = webView.get()] { host->ReloadAfterUpdate(); };
  webView->Initialize(mainWindow, bridgePort, bridgeToken, installationId, sessionHandle,
                      [mainWindow] { StartOtaCheck(mainWindow, StartPageUrl()); });

  step("loop");
  int exitCode = ui::RunMessageLoop();

  step("stop-plugins");
  StopAllPlugins();
  step("close-remote-out-conns");
  CloseRemoteOutConns();
  step("stop-remote-listener");
  StopRemoteListener();
  step("stop-bridge-listener");
  DetachPageSinks();
  wsServer->Stop();
  step("stop-realtime-hub");
  StopRealtimeHub();
  step("shutdown-native-media");
  if (mediaStarted) ShutdownNativeMedia();
  step("destroy-webview");
  CurrentMainWindowHooks().resizeWebView = nullptr;
  CurrentMainWindowHooks().reloadAfterUpdate = nullptr;
  webView.reset();
  step("delete-dispatcher");
  // The handlers are cleared under the dispatch lock, so none is running once they are gone.
  wsServer->SetOnUiText(nullptr);
  wsServer->SetOnUiBinary(nullptr);
  pageOutlet->Detach();
  CurrentMainWindowHooks().confirmDeveloperMode = nullptr;
  CurrentMainWindowHooks().applyDeveloperMode = nullptr;
  dispatcher.reset();
  step("delete-bridge-listener");
  wsServer->Stop();
  wsServer.reset();

  // A fatal path closes the main window like the user would; the run still failed.
  if (ui::IsFatalMarked()) exitCode = 1;
  return exitCode;
}
