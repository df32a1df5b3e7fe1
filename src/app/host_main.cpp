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

namespace {

// A thread joined by its owner.
struct JoinedThread {
  std::thread thread;
  ~JoinedThread() {
    if (thread.joinable()) thread.join();
  }
};

// What start-up builds and shutdown takes down, in the order it is built. An early return from
// RunHost destroys it in reverse, so the warm-up thread is joined last, on every way out: no
// start-up failure exits while that thread is inside the crypto library (which keeps its state to
// the end of the process).
struct HostRun {
  explicit HostRun(const HostOptions& o) : options(o) {}
  void Step(const char* name) const {
    if (options.onStep) options.onStep(name);
  }

  const HostOptions& options;
  JoinedThread warmUp;
  bool mediaStarted = false;
  HWND mainWindow = 0;
  std::string bridgeToken;
  std::shared_ptr<WsServer> wsServer;
  int bridgePort = 0;
  std::shared_ptr<PluginSessions> pluginSessions;
  std::string installationId;
  std::string sessionHandle;
  std::shared_ptr<RpcOutlet> pageOutlet;
  std::unique_ptr<RpcDispatch> dispatcher;
  UiTextSink pageSink;
  std::unique_ptr<WebViewHost> webView;
};

// ---- Start-up steps, in the order RunHost calls them ----

void OpenLogAndCrashFilter(HostRun& run) {
  run.Step("log");
  if (run.options.setupLogFile) SetupLogFile();
  run.Step("crash-filter");
  InstallCrashFilter();
}

void StartWarmUp(HostRun& run) {
  run.Step("warm-up");
  run.warmUp.thread = std::thread([] {
    try {
      WarmUpDeviceKey();
    } catch (const std::exception& e) {
      LogPrintf("[main] warm-up failed: %s\n", e.what());
    } catch (...) {
      LogPrintf("[main] warm-up failed\n");
    }
  });
}

void LogPackageIdentity(HostRun& run) {
  run.Step("package-identity");
  if (HasPackageIdentity()) {
    LogPrintf("[main] Windows Package Identity detected\n");
  } else {
    LogPrintf("[main] Running without Windows Package Identity (standalone mode)\n");
  }
}

void StartMedia(HostRun& run) {
  run.Step("native-media");
  run.mediaStarted = StartNativeMedia();
  if (!run.mediaStarted) {
    LogPrintf("[main] MFStartup failed: hr=0x%08lx (native player fallback will not work)\n", 0x80004005UL);
  }
}

bool CreateMainWindow(HostRun& run) {
  run.Step("main-window");
  run.mainWindow = ui::CreateWindow(kMainWindowClass, kMainWindowTitle, 1280, 800, MainWndProc);
  if (run.mainWindow == 0) {
    LogPrintf("[main] FATAL: CreateWindowExW failed\n");
    return false;
  }
  ui::CloseOnTerminateSignals(run.mainWindow);
  return true;
}

bool MakeBridgeToken(HostRun& run) {
  run.Step("bridge-token");
  run.bridgeToken = MakeNativeWsToken();
  if (run.bridgeToken.empty()) {
    ShowFatalBox("Unable to initialize the secure native bridge.");
    return false;
  }
  return true;
}

bool StartBridgeListener(HostRun& run) {
  run.Step("bridge-listener");
  run.wsServer = WsServer::Create();
  if (!run.wsServer->Start(run.bridgeToken)) {
    LogPrintf("[main] FATAL: WsServer failed to start\n");
    ShowFatalBox("Unable to initialize the native media bridge.");
    if (run.mediaStarted) ShutdownNativeMedia();
    run.wsServer->Stop();
    return false;
  }
  LogPrintf("[main] WsServer listening on 127.0.0.1:%d\n", run.wsServer->port());
  run.bridgePort = run.wsServer->port();
  return true;
}

void InstallKickHook(HostRun& run) {
  run.Step("kick-hook");
  run.pluginSessions =
      std::make_shared<PluginSessions>(CapabilityTokenRegistry::Instance(), MakePluginSessionHooks());
  run.wsServer->SetPluginConnectionFactory(run.pluginSessions->Factory());
  InstallKickPluginSessionsHook(
      [sessions = run.pluginSessions](const std::string& id) { sessions->KickPluginSessions(id); });
}

void LoadIdentities(HostRun& run) {
  run.Step("installation-id");
  run.installationId = LoadOrCreateInstallationId();
  run.Step("session-handle");
  run.sessionHandle = MakeSessionHandle();
}

void SetUpTokenRegistry(HostRun& run) {
  run.Step("token-registry");
  CapabilityTokenRegistry::Instance().SetInstallation(run.installationId, run.sessionHandle);
  CapabilityTokenRegistry::Instance().SetRpcPort(run.bridgePort);
}

// The dispatcher, then the UI handlers that feed it.
void CreateDispatcherAndUiHandlers(HostRun& run) {
  run.Step("dispatcher");
  // Replies reach the page through the outlet, which is detached before the server goes away.
  run.pageOutlet = std::make_shared<RpcOutlet>(run.wsServer->OutletTarget());
  RpcDispatch::Options dispatchOptions;
  dispatchOptions.deliverPluginToken = [sessions = run.pluginSessions](const std::string& token, int64_t now,
                                                                       const std::string& pluginId,
                                                                       const std::string& pkg) {
    return sessions->DeliverPluginToken(token, now, pluginId, pkg);
  };
  dispatchOptions.registry = &CapabilityTokenRegistry::Instance();
  run.dispatcher = std::make_unique<RpcDispatch>(run.pageOutlet, std::make_shared<HostWindowSide>(run.mainWindow),
                                                 std::move(dispatchOptions));
  CurrentMainWindowHooks().confirmDeveloperMode = TakeDeveloperModeRequests(ConfirmDeveloperMode);
  CurrentMainWindowHooks().applyDeveloperMode = [d = run.dispatcher.get()](bool enabled) {
    d->SetDeveloperMode(enabled);
    d->SetDeveloperModeTitle(enabled);
  };
  BinaryFrameTargets binaryTargets;
  RegisterSubsystemRows(*run.dispatcher, binaryTargets);

  run.Step("ui-handlers");
  // The page's connection takes the largest request a row accepts (a whole package to stage).
  run.wsServer->SetUiMessageLimit(run.dispatcher->routes().LargestRequestBytes());
  run.wsServer->SetOnUiText([d = run.dispatcher.get()](std::string& text) { d->HandleMessageInPlace(text); });
  binaryTargets.deliverBlobChunk = [d = run.dispatcher.get()](uint32_t stream, uint32_t request,
                                                              const uint8_t* bytes, size_t length) {
    d->blobRouter().Deliver(stream, request, bytes, length);
  };
  run.wsServer->SetOnUiBinary([binaryTargets](const uint8_t* bytes, size_t length) {
    UiBinaryHandler(binaryTargets, bytes, length);
  });
  run.wsServer->SetOnUiConnected([] {
    LogPrintf("[main] WS client connected\n");
    OnPageConnectedSubsystems();
  });
  // Events and batches go to whichever page connection is current, never keeping the server.
  run.pageSink = [weak = std::weak_ptr<WsServer>(run.wsServer)](const std::string& text) {
    if (auto server = weak.lock()) server->SendTextToUi(text);
  };
}

void StartPageSubsystems(HostRun& run) {
  run.Step("realtime-hub");
  StartRealtimeHub(run.pageSink);
  run.Step("remote-access");
  StartRemoteAccess(run.pageSink);
  run.Step("plugin-status-sink");
  InstallPluginStatusSink(run.pageSink);
  run.Step("ui-closed-handler");
  // A page that goes away or is replaced takes its plugins with it.
  run.wsServer->SetOnUiClosed([] { StopAllPlugins(); });
}

void StartWebView(HostRun& run) {
  run.Step("webview");
  run.webView = std::make_unique<WebViewHost>();
  CurrentMainWindowHooks().resizeWebView = [host = run.webView.get(), window = run.mainWindow] {
    host->ResizeToClient(window);
  };
  CurrentMainWindowHooks().reloadAfterUpdate = [host = run.webView.get()] { host->ReloadAfterUpdate(); };
  run.webView->Initialize(run.mainWindow, run.bridgePort, run.bridgeToken, run.installationId, run.sessionHandle,
                          [window = run.mainWindow] { StartOtaCheck(window, StartPageUrl()); });
}

int RunLoop(HostRun& run) {
  run.Step("loop");
  return ui::RunMessageLoop();
}

// ---- Shutdown steps, in the order RunHost calls them ----

void StopPlugins(HostRun& run) {
  run.Step("stop-plugins");
  StopAllPlugins();
}

void StopRemoteAccess(HostRun& run) {
  run.Step("close-remote-out-conns");
  CloseRemoteOutConns();
  run.Step("stop-remote-listener");
  StopRemoteListener();
}

void StopBridgeListener(HostRun& run) {
  run.Step("stop-bridge-listener");
  DetachPageSinks();
  run.wsServer->Stop();
}

void StopHub(HostRun& run) {
  run.Step("stop-realtime-hub");
  StopRealtimeHub();
}

void StopMedia(HostRun& run) {
  run.Step("shutdown-native-media");
  if (run.mediaStarted) ShutdownNativeMedia();
}

void DestroyWebView(HostRun& run) {
  run.Step("destroy-webview");
  CurrentMainWindowHooks().resizeWebView = nullptr;
  CurrentMainWindowHooks().reloadAfterUpdate = nullptr;
  run.webView.reset();
}

void DeleteDispatcher(HostRun& run) {
  run.Step("delete-dispatcher");
  // The handlers are cleared under the dispatch lock, so none is running once they are gone.
  run.wsServer->SetOnUiText(nullptr);
  run.wsServer->SetOnUiBinary(nullptr);
  run.pageOutlet->Detach();
  CurrentMainWindowHooks().confirmDeveloperMode = nullptr;
  CurrentMainWindowHooks().applyDeveloperMode = nullptr;
  run.dispatcher.reset();
}

void DeleteBridgeListener(HostRun& run) {
  run.Step("delete-bridge-listener");
  run.wsServer->Stop();
  run.wsServer.reset();
}

}  // namespace

int RunHost(const HostOptions& options) {
  HostRun run(options);

  // Start-up: each step runs only when the ones before it succeeded.
  OpenLogAndCrashFilter(run);
  StartWarmUp(run);
  LogPackageIdentity(run);
  StartMedia(run);
  if (!CreateMainWindow(run)) return 1;
  if (!MakeBridgeToken(run)) return 1;
  if (!StartBridgeListener(run)) return 1;
  InstallKickHook(run);
  LoadIdentities(run);
  SetUpTokenRegistry(run);
  CreateDispatcherAndUiHandlers(run);
  StartPageSubsystems(run);
  StartWebView(run);

  int exitCode = RunLoop(run);

  // Shutdown, after the loop has ended.
  StopPlugins(run);
  StopRemoteAccess(run);
  StopBridgeListener(run);
  StopHub(run);
  StopMedia(run);
  DestroyWebView(run);
  DeleteDispatcher(run);
  DeleteBridgeListener(run);

  // A fatal path closes the main window like the user would; the run still failed.
  if (ui::IsFatalMarked()) exitCode = 1;
  return exitCode;
}
