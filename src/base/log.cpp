#include "base/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>


namespace {

// Lives for the whole process: detached threads may still log while statics are destroyed.
std::mutex& LogMutex() {
  static auto* m = new std::mutex;
  return *m;
}

std::string& LogPathStorage() {
  static auto* p = new std::string;
  return *p;
}

// Mirrors the log to standard error while standard output goes to the log file, so a
// developer running the host from a terminal still sees it (the debugger-output channel).
bool g_mirrorToStderr = false;

}  // namespace

int LogPrintf(const char* format, ...) {
  std::lock_guard<std::mutex> lock(LogMutex());
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int written = vfprintf(stdout, format, args);
  fflush(stdout);
  va_end(args);
  if (g_mirrorToStderr) {
    vfprintf(stderr, format, copy);
  }
  va_end(copy);
  return written;
}

// Opens path for writing and empties it, but only when it is a plain file of this user's with
// one name: a symlink or hard link planted in a shared folder would otherwise have the log
// truncate and overwrite whatever it points at. -1 when refused. A new file is the user's alone
// from the start: one readable by others even for a moment could be opened then and read later.
int OpenLogFileSafely(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1 ||
      ftruncate(fd, 0) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool AttachLogFile(const std::string& path) {
  int fd = OpenLogFileSafely(path);
  if (fd < 0) return false;
  fflush(stdout);
  bool ok = dup2(fd, STDOUT_FILENO) >= 0;
  close(fd);
  if (!ok) return false;
  clearerr(stdout);
  setvbuf(stdout, nullptr, _IONBF, 0);
  static const unsigned char kBom[] = {0xEF, 0xBB, 0xBF};
  fwrite(kBom, 1, sizeof kBom, stdout);
  LogPathStorage() = path;
  g_mirrorToStderr = isatty(STDERR_FILENO) == 1;
  return true;
}

bool ProbeLogFileWritable(const std::string& path) {
  int fd = OpenLogFileSafely(path);
  if (fd < 0) return false;
  close(fd);
  return true;
}

std::string LogFilePath() { return LogPathStorage(); }

