#pragma once
// Desktop integration: whether a display exists, opening URLs and files with the desktop.
//
// Threads: any thread; RunProgram blocks its caller until the program ends (hold no lock
// across it). A StartProgram run is reaped by a detached thread started through
// base::StartDetachedThread, which owns the run until the program ends.
#include <string>
#include <vector>

namespace platform {

// True when an X11 or Wayland display is named in the environment.
bool HasDisplay();

// Both start argv[0] (looked up on PATH) through platform/process with the given arguments,
// never through a shell, standard input from /dev/null and the output joining the host's.
//
// Runs the program as the host's own job and returns its exit status (-1 when it could not
// start or was ended by a signal). Blocks until it ends; what it left running ends with it.
int RunProgram(const std::vector<std::string>& argv);
// Starts the program as a hand-off to the desktop without waiting; a background thread reaps
// it, and what it opened outlives the host. False when it could not start.
bool StartProgram(const std::vector<std::string>& argv);

// Opens a URL or path with the desktop's handler (xdg-open); false when it could not start.
bool OpenExternal(const std::string& target);

}  // namespace platform
