#include "platform/dialogs.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <vector>

#include "base/locked_slot.h"
#include "base/log.h"
#include "platform/process.h"
#include "platform/shell.h"

namespace platform {

namespace {

base::LockedSlot<DialogLayer>& Slot() {
  static auto* slot = new base::LockedSlot<DialogLayer>;
  return *slot;
}
DialogLayer CurrentLayer() { return Slot().Get(); }

// zenity's full path from PATH (the spawner runs no PATH search); "" when there is none.
std::string FindZenity() { return process::FindOnPath("zenity", process::CurrentEnvironment()); }

struct ZenityRun {
  bool started = false;
  int exitCode = -1;  // -1: ended by a signal
  std::string out;
};

// Runs zenity with the arguments and waits for it; its standard output is the answer.
ZenityRun RunZenity(const std::string& zenity, std::vector<std::string> args) {
  ZenityRun run;
  process::SpawnOptions options;
  options.argv = {zenity};
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  options.env = process::CurrentEnvironment();
  options.stdoutMode = process::Stream::Pipe;
  options.stderrMode = process::Stream::Null;
  process::SpawnResult spawned = process::Spawn(options);
  if (!spawned.child) return run;
  run.started = true;
  char buf[4096];
  ssize_t n;
  // Reads until zenity closes its output, which it does when it ends; the path is bounded.
  while ((n = read(spawned.child->stdoutRead().get(), buf, sizeof buf)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (run.out.size() < 65536) run.out.append(buf, static_cast<size_t>(n));
  }
  int status = 0;
  while (!spawned.child->Wait(std::chrono::hours(1), &status)) {
  }
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// What a dialog answers without a desktop to show it on.
bool Unavailable(const char* what, std::string* zenity) {
  if (!HasDisplay()) {
    LogPrintf("[dialogs] no display: %s reported as cancelled\n", what);
    return true;
  }
  *zenity = FindZenity();
  if (zenity->empty()) {
    LogPrintf("[dialogs] zenity not found: %s reported as cancelled\n", what);
    return true;
  }
  return false;
}

DialogResult FileSelection(const char* what, std::vector<std::string> args) {
  DialogResult result;
  std::string zenity;
  if (Unavailable(what, &zenity)) {
    result.cancelled = true;
    return result;
  }
  ZenityRun run = RunZenity(zenity, std::move(args));
  if (!run.started) {
    LogPrintf("[dialogs] zenity could not start: %s reported as cancelled\n", what);
    result.cancelled = true;
  } else if (run.exitCode == 1 || run.exitCode == -1) {
    result.cancelled = true;  // Cancel, the window closed, or the dialog ended from outside
  } else if (run.exitCode != 0) {
    result.error = "Show() failed";
  } else {
    while (!run.out.empty() && (run.out.back() == '\n' || run.out.back() == '\r')) run.out.pop_back();
    if (run.out.empty() || run.out.find('\n') != std::string::npos) {
      result.error = "GetDisplayName() failed";
    } else {
      result.ok = true;
      result.path = run.out;
    }
  }
  return result;
}

}  // namespace

bool ShowMessageBox(const std::string& caption, const std::string& text, MessageBoxKind kind) {
  if (!HasDisplay()) {
    LogPrintf("[main] message box (no display): %s: %s\n", caption.c_str(), text.c_str());
    return false;
  }
  const char* mode = "--info";
  switch (kind) {
    case MessageBoxKind::Error: mode = "--error"; break;
    case MessageBoxKind::Warning: mode = "--warning"; break;
    case MessageBoxKind::Info: mode = "--info"; break;
    case MessageBoxKind::Question: mode = "--question"; break;
  }
  // --no-markup: the text is shown as it is, never interpreted.
  int rc = RunProgram({"zenity", mode, "--no-markup", "--title=" + caption, "--text=" + text});
  if (rc < 0) LogPrintf("[main] message box could not be shown: %s: %s\n", caption.c_str(), text.c_str());
  return rc == 0;
}

DialogResult ShowSaveDialog(const std::string& suggestedName) {
  DialogLayer layer = CurrentLayer();
  if (layer.save) return layer.save(suggestedName);
  std::vector<std::string> args = {"--file-selection", "--save", "--confirm-overwrite"};
  if (!suggestedName.empty()) args.push_back("--filename=" + suggestedName);
  return FileSelection("save dialog", std::move(args));
}

DialogResult ShowFolderDialog() {
  DialogLayer layer = CurrentLayer();
  if (layer.folder) return layer.folder();
  return FileSelection("folder picker", {"--file-selection", "--directory"});
}

bool ShowOkCancelWarning(const std::string& caption, const std::string& text) {
  DialogLayer layer = CurrentLayer();
  if (layer.okCancel) return layer.okCancel(caption, text);
  std::string zenity;
  if (Unavailable("OK/Cancel box", &zenity)) return false;
  ZenityRun run = RunZenity(zenity, {"--question", "--no-markup", "--icon-name=dialog-warning", "--default-cancel",
                                     "--ok-label=OK", "--cancel-label=Cancel", "--title=" + caption, "--text=" + text});
  return run.started && run.exitCode == 0;
}

void SetDialogLayerForTesting(DialogLayer layer) {
  Slot().Set(std::move(layer));
}

}  // namespace platform
