#include "app/host_entry.h"

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "app/command_line.h"
#include "app/host_main.h"
#include "app/single_instance.h"
#include "base/constants.h"
#include "base/log.h"
#include "platform/browser_x11.h"
#include "platform/dialogs.h"
#include "platform/paths.h"
#include "platform/shell.h"
#include "platform/ui.h"

namespace ui = platform::ui;

namespace {

// A start that cannot go on is told to the person on stderr, and in a dialog when the display
// can show one. Nothing is logged: the log is not open yet, and opening it would write.
void TellUser(const std::string& text, platform::MessageBoxKind kind, bool displayUsable) {
  std::fprintf(stderr, "quorvane: %s\n", text.c_str());
  if (displayUsable) platform::ShowMessageBox(kMainWindowTitle, text, kind);
}

}  // namespace

int HostMain(int argc, char** argv) {
  if (std::optional<int> answered = AnswerCommandLine(argc, argv)) return *answered;

  // A named X display that does not answer would only show up later as a browser that exits.
  const char* display = std::getenv("DISPLAY");
  if (display && *display && !platform::x11::Available()) {
    TellUser(std::string("cannot open display ") + display + ".", platform::MessageBoxKind::Error, false);
    return 1;
  }
  const bool displayUsable = platform::HasDisplay();

  // The lock comes before the log: a second start must not truncate the first one's log.
  std::unique_ptr<SingleInstance> instance;
  const std::string dataRoot = platform::LocalAppDataDir();
  if (!dataRoot.empty()) {
    SingleInstance::Result result = SingleInstance::Acquire(platform::JoinPath(dataRoot, kProductFolderName));
    switch (result.outcome) {
      case SingleInstance::Outcome::kAlreadyRunning:
        TellUser(result.message, platform::MessageBoxKind::Info, displayUsable);
        return 1;
      case SingleInstance::Outcome::kFailed:
        TellUser(result.message, platform::MessageBoxKind::Error, displayUsable);
        return 1;
      case SingleInstance::Outcome::kAcquired:
        instance = std::move(result.instance);
        break;
    }
    instance->Listen([] {
      ui::PostTask([] {
        const std::vector<ui::HWND> windows = ui::EnumWindows();
        if (windows.empty()) return;
        LogPrintf("[main] a second start asked for the main window\n");
        ui::ActivateWindow(windows.front());  // the main window is the first one created
      });
    });
  }
  return RunHost();
}
