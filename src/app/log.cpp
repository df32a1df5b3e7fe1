#include "app/log.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/paths.h"

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

bool ProbeWritable(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  close(fd);
  return true;
}

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

void SetupLogFile() {
  std::string path = platform::JoinPath(platform::ExecutableDir(), "Quorvane.log");
  bool fallback = false;
  if (!ProbeWritable(path)) {
    std::string appData = platform::LocalAppDataDir();
    if (appData.empty()) return;
    platform::CreateDirectories(appData);
    std::string folder = platform::JoinPath(appData, "Quorvane");
    platform::CreateDirectory(folder);
    path = platform::JoinPath(folder, "Quorvane.log");
    if (!ProbeWritable(path)) return;
    fallback = true;
  }
  if (!freopen(path.c_str(), "w", stdout)) return;
  setvbuf(stdout, nullptr, _IONBF, 0);
  static const unsigned char kBom[] = {0xEF, 0xBB, 0xBF};
  fwrite(kBom, 1, sizeof kBom, stdout);
  LogPathStorage() = path;
  g_mirrorToStderr = isatty(STDERR_FILENO) == 1;
  LogPrintf("[main] logging to %s%s\n", path.c_str(), fallback ? " (exe directory wasn't writable)" : "");
}

std::string LogFilePath() { return LogPathStorage(); }

namespace {

// Async-signal-safe formatting: the crash path never allocates, locks or uses stdio.
struct CrashLine {
  char buf[256];
  size_t len = 0;
  void Add(const char* s) {
    while (*s && len < sizeof buf) buf[len++] = *s++;
  }
  void Hex(unsigned long long v, int minDigits) {
    char tmp[16];
    int n = 0;
    do {
      tmp[n++] = "0123456789abcdef"[v & 0xF];
      v >>= 4;
    } while (v && n < 16);
    while (n < minDigits && n < 16) tmp[n++] = '0';
    while (n > 0 && len < sizeof buf) buf[len++] = tmp[--n];
  }
  void Write() {
    size_t off = 0;
    while (off < len) {
      ssize_t n = write(STDOUT_FILENO, buf + off, len - off);
      if (n <= 0) break;
      off += static_cast<size_t>(n);
    }
  }
};

const char* AccessKind(const void* context) {
#if defined(__x86_64__)
  const auto* uc = static_cast<const ucontext_t*>(context);
  unsigned long long err = static_cast<unsigned long long>(uc->uc_mcontext.gregs[REG_ERR]);
  if (err & 0x10) return "executing";  // instruction fetch
  if (err & 0x2) return "writing";
  return "reading";
#else
  (void)context;
  return "reading";
#endif
}

const void* FaultingInstruction(const void* context) {
#if defined(__x86_64__)
  const auto* uc = static_cast<const ucontext_t*>(context);
  return reinterpret_cast<const void*>(uc->uc_mcontext.gregs[REG_RIP]);
#else
  (void)context;
  return nullptr;
#endif
}

void CrashFilter(int sig, siginfo_t* info, void* context) {
  int savedErrno = errno;
  CrashLine first;
  first.Add("[CRASH] code=0x");
  first.Hex(static_cast<unsigned>(sig), 8);
  first.Add(" at address=0x");
  first.Hex(reinterpret_cast<uintptr_t>(FaultingInstruction(context)), 1);
  first.Add("\n");
  first.Write();
  if (sig == SIGSEGV && info) {
    CrashLine second;
    second.Add("[CRASH] access violation: ");
    second.Add(AccessKind(context));
    second.Add(" address 0x");
    second.Hex(reinterpret_cast<uintptr_t>(info->si_addr), 1);
    second.Add("\n");
    second.Write();
  }
  errno = savedErrno;
  // The default action follows: the handler was reset on entry, so re-raising kills the
  // process with the same signal (a returning fault handler would re-fault the same way).
  raise(sig);
}

}  // namespace

void InstallCrashFilter() {
  struct sigaction sa {};
  sa.sa_sigaction = CrashFilter;
  sa.sa_flags = SA_SIGINFO | SA_RESETHAND | SA_NODEFER;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) sigaction(sig, &sa, nullptr);
}
