#include "platform/dialogs.h"

#include "base/log.h"
#include "platform/shell.h"

namespace platform {

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

}  // namespace platform
