#include "app/crash_filter.h"

#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <initializer_list>
#include <cstdint>

namespace {

// Async-signal-safe formatting: the crash path never allocates, locks or uses stdio, which is why
// it writes its own hex here instead of base's HexLower (that one builds a std::string).
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
