#pragma once
// What the page's requests ask of the host's windows: always-on-top, fullscreen, the title and
// the developer-mode consent box. The bridge holds no window handles or message numbers; the
// host's window side (app) implements this and the composition root hands it to the dispatcher.
//
// Threads: called from the UI connection's thread and from request workers; an implementation
// posts to the UI thread whatever must run there. It outlives the dispatcher (shared ownership).
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "bridge/rpc_outlet.h"

// The page's "turn developer mode on": the consent box answers it through sender.
struct DeveloperModeRequest {
  RpcOutletPtr sender;
  nlohmann::json id;
};

class WindowSide {
 public:
  virtual ~WindowSide() = default;
  // The window a request names ("main", "mainWindow", a part of a title; otherwise the
  // foreground window, else the main one). False when there is no such window.
  virtual bool SetAlwaysOnTop(const std::string& windowName, bool on) = 0;
  virtual bool IsAlwaysOnTop(const std::string& windowName) = 0;
  // The foreground window, else the main one, toggles fullscreen on the UI thread.
  virtual void ToggleFullscreen() = 0;
  // The main window's title for developer mode on or off.
  virtual void SetDeveloperModeTitle(bool on) = 0;
  // Hands the request to the consent box on the UI thread, which then owns and answers it.
  // False when it could not be handed over; request is then still the caller's.
  virtual bool AskDeveloperModeConsent(std::unique_ptr<DeveloperModeRequest>& request) = 0;
};
using WindowSidePtr = std::shared_ptr<WindowSide>;
