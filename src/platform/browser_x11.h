#pragma once
// The browser's top-level X11 windows, for what the DevTools protocol does not give: the title
// the host wants on screen, always-on-top (_NET_WM_STATE_ABOVE), which window is active, and
// whether a window is fullscreen after the browser's own keys (F11, Esc) changed it.
//
// Threads: every function may be called from any thread. The facility owns one X connection,
// used only under its mutex, and one event thread (joined at exit) that watches the root window
// (client list, new windows) and the matched windows' names and states, so that the host's
// title is put back whenever the browser writes its document's title over it.
//
// Matching: a tracked handle (a window record) names the browser process that shows it. The
// browser's top-level windows of that process (not transient dialogs) are handed to tracked
// handles in order: the oldest unmatched handle gets the oldest unmatched window (the browser
// allocates window ids in increasing order). A window once matched is never handed to another
// handle while it exists.
//
// Without a display (DISPLAY unset or not reachable) every call does nothing: the window
// records keep the state, as they always do.
#include <cstdint>
#include <string>
#include <vector>

namespace platform::x11 {

// True when the display could be opened (opens it on first use).
bool Available();

void Track(uint64_t handle, int browserPid);
void Untrack(uint64_t handle);
// The wanted state of a tracked handle; applied now when its window is known, else as soon as
// it is matched.
void SetTitle(uint64_t handle, const std::string& title);
void SetAbove(uint64_t handle, bool above);
// Fullscreen as the window really is: the last word of the host (NoteFullscreen, said when it
// asks the browser for a state) or of the screen (a change of the window's
// _NET_WM_STATE_FULLSCREEN, whoever made it). A request the browser has not carried out yet
// is the last word until the screen changes, so two quick toggles do not read a stale state.
// Fullscreen answers false while there has been no word.
void NoteFullscreen(uint64_t handle, bool fullscreen);
bool Fullscreen(uint64_t handle, bool* out);
// The tracked handle whose window is the active one; 0 when the active window is none of ours.
uint64_t ActiveHandle();
// The X window matched to handle, 0 while none is (logs, tests).
unsigned long WindowOf(uint64_t handle);

// Pure matching step (tested): given the handles still unmatched (oldest first) and the
// candidate window ids not yet matched, the pairs to make.
std::vector<std::pair<uint64_t, unsigned long>> MatchInOrder(const std::vector<uint64_t>& handles,
                                                               std::vector<unsigned long> windows);

}  // namespace platform::x11
