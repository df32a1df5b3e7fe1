#include "app/host_main.h"

#include "app/log.h"

int RunHost() {
  SetupLogFile();
  InstallCrashFilter();
  return 0;
}
