#pragma once
// Desktop integration: whether a display exists, opening URLs and files with the desktop.
#include <string>
#include <vector>

namespace platform {

// True when an X11 or Wayland display is named in the environment.
bool HasDisplay();

// Runs argv[0] (looked up on PATH) with the given arguments, never through a shell, and
// returns its exit status (-1 when it could not start). Blocks until it ends.
int RunProgram(const std::vector<std::string>& argv);
// Starts argv[0] without waiting; a background thread reaps it. False when it could not start.
bool StartProgram(const std::vector<std::string>& argv);

// Opens a URL or path with the desktop's handler (xdg-open); false when it could not start.
bool OpenExternal(const std::string& target);

}  // namespace platform
