#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "app/crash_filter.h"
#include "base/log.h"

namespace {

// Runs fn in a forked child whose standard output goes to a pipe; returns the output and
// the child's wait status.
std::string RunCrashingChild(void (*fn)(), int* status) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    InstallCrashFilter();
    fn();
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[512];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  waitpid(pid, status, 0);
  return out;
}

volatile int* g_null = nullptr;

// The null access is the point of these tests; the sanitizer must not stop it first.
__attribute__((no_sanitize("undefined"))) void NullRead() { (void)*g_null; }
__attribute__((no_sanitize("undefined"))) void NullWrite() { *g_null = 1; }
void Abort() { abort(); }

TEST(CrashFilter, NullReadLeavesBothLinesAndDiesBySegv) {
  int status = 0;
  std::string out = RunCrashingChild(NullRead, &status);
  ASSERT_TRUE(WIFSIGNALED(status)) << out;
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);
  EXPECT_NE(out.find("[CRASH] code=0x0000000b at address=0x"), std::string::npos) << out;
  EXPECT_NE(out.find("[CRASH] access violation: reading address 0x0\n"), std::string::npos) << out;
}

TEST(CrashFilter, NullWriteSaysWriting) {
  int status = 0;
  std::string out = RunCrashingChild(NullWrite, &status);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);
  EXPECT_NE(out.find("access violation: writing"), std::string::npos) << out;
}

TEST(CrashFilter, AbortLogsOneLineAndStillAborts) {
  int status = 0;
  std::string out = RunCrashingChild(Abort, &status);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGABRT);
  EXPECT_NE(out.find("[CRASH] code=0x00000006"), std::string::npos) << out;
  EXPECT_EQ(out.find("access violation"), std::string::npos);
}

}  // namespace
