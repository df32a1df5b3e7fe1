#pragma once
// Message boxes, the save dialog, the folder picker and the OK/Cancel box on the desktop,
// through zenity as a child process (never a shell; texts shown without markup). Without a
// display, or without zenity, a message box is only logged and a dialog or OK/Cancel box
// reports "cancelled"; the log says which.
//
// Threads: every call blocks until the user answers, so callers run them off the UI thread
// (request workers); message boxes of fatal start-up paths may block the UI thread, which has
// nothing left to do then. The test seam replaces the whole layer, so tests never show a
// real dialog unless they ask for one.
#include <functional>
#include <string>

namespace platform {

enum class MessageBoxKind { Error, Warning, Info, Question };

// Blocks until the user answers; true for OK / Yes.
bool ShowMessageBox(const std::string& caption, const std::string& text, MessageBoxKind kind);

struct DialogResult {
  bool ok = false;
  bool cancelled = false;
  std::string path;
  std::string error;
};

// The path the user chose to save to (suggestedName prefilled); nothing is written.
DialogResult ShowSaveDialog(const std::string& suggestedName);
DialogResult ShowFolderDialog();
// A warning box with OK and Cancel, Cancel the default; true only for OK.
bool ShowOkCancelWarning(const std::string& caption, const std::string& text);

// Test seam: a member that is set replaces that part of the layer (all empty: the real one).
struct DialogLayer {
  std::function<DialogResult(const std::string& suggestedName)> save;
  std::function<DialogResult()> folder;
  std::function<bool(const std::string& caption, const std::string& text)> okCancel;
};
void SetDialogLayerForTesting(DialogLayer layer);

}  // namespace platform
