#include "app/log_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include "base/constants.h"
#include "base/log.h"
#include "platform/paths.h"

void SetupLogFile() {
  std::string path = platform::JoinPath(platform::ExecutableDir(), "Quorvane.log");
  bool fallback = false;
  if (!ProbeLogFileWritable(path)) {
    std::string appData = platform::LocalAppDataDir();
    if (appData.empty()) return;
    platform::CreateDirectories(appData);
    std::string folder = platform::JoinPath(appData, kProductFolderName);
    platform::CreateDirectory(folder);
    path = platform::JoinPath(folder, "Quorvane.log");
    if (!ProbeLogFileWritable(path)) return;
    fallback = true;
  }
  if (!AttachLogFile(path)) return;
  // The log carries the installation id: the user's alone, also when an earlier run left the
  // file readable by others.
  fchmod(STDOUT_FILENO, 0600);
  LogPrintf("[main] logging to %s%s\n", path.c_str(), fallback ? " (exe directory wasn't writable)" : "");
}

