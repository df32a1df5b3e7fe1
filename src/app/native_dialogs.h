#pragma once
// The page's native dialogs ("promptSaveFile", "promptOpenDirectory") and the consent box that
// turns plugin developer mode on.
//
// Threads: a dialog blocks until the user answers, so it never runs on the UI thread: each
// request gets a detached worker that shows it and sends the reply itself through the
// request's outlet. The consent box is posted to the main window as the dispatcher asks
// (WM_APP+3); its handler hands it to a worker too, and the answer comes back to the UI
// thread as a task that applies it through the main window's developer-mode hook, which the
// composition root clears before the dispatcher goes away.
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "bridge/rpc_routes.h"
#include "bridge/window_side.h"
#include "platform/dialogs.h"

struct NativeDialogRequest {
  RpcOutletPtr sender;
  nlohmann::json id;
  std::string suggestedName;
  std::string path;  // the file the page wrote, copied to the chosen place (save only)
  bool isOpenDirectory = false;
};

inline constexpr const char kDeveloperModeConsentTitle[] = "Quorvane \xE2\x80\x94 Plugin developer mode";
extern const char kDeveloperModeConsentText[];

// The save dialog, then the copy of sourcePath to the chosen path. A name typed without an
// extension gets the suggested name's one, as a default extension would.
platform::DialogResult ShowSaveFileDialog(const std::string& suggestedName, const std::string& sourcePath);
platform::DialogResult ShowFolderPicker();

// Shows the dialog and replies (on the calling thread; workers call it).
void RunNativeDialogRequest(std::unique_ptr<NativeDialogRequest> request);
// UI thread: the consent box on a worker; the answer is applied on the UI thread.
void ConfirmDeveloperMode(std::unique_ptr<DeveloperModeRequest> request);
// The consent itself, on the calling thread: shows the box, applies the answer through apply
// (developer-mode flag and title), logs and replies.
void RunDeveloperModeConsent(std::unique_ptr<DeveloperModeRequest> request,
                             const std::function<void(bool enabled)>& apply);

// "promptSaveFile" and "promptOpenDirectory", each on a detached worker.
void RegisterNativeDialogRows(RpcRouteTable& routes);
