#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_folder.h"

namespace proc = platform::process;
using std::chrono::milliseconds;

namespace {

std::string ReadAll(int fd) {
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// Runs to the end and gives what it wrote on standard output.
std::string RunForOutput(proc::SpawnOptions options, int* status = nullptr) {
  options.stdoutMode = proc::Stream::Pipe;
  proc::SpawnResult r = proc::Spawn(options);
  EXPECT_TRUE(r.child) << r.what << " " << r.error;
  if (!r.child) return "";
  std::string out = ReadAll(r.child->stdoutRead().get());
  EXPECT_TRUE(r.child->Wait(milliseconds(10000), status));
  return out;
}

// A process that is gone or only a zombie waiting for its parent.
bool IsGone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

bool BecomesGone(pid_t pid) {
  for (int i = 0; i < 200; ++i) {  // bounded: 10 s
    if (IsGone(pid)) return true;
    std::this_thread::sleep_for(milliseconds(50));
  }
  return false;
}

TEST(Process, ArgvAndEnvironmentArriveByteForByte) {
  const std::vector<std::string> args = {"two words", "quote\"d 'single'", "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC", "", "$HOME;|&"};
  proc::SpawnOptions options;
  options.argv = {"/usr/bin/printf", "[%s]\\n"};
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  std::string expected;
  for (const std::string& a : args) expected += "[" + a + "]\n";
  EXPECT_EQ(RunForOutput(options), expected);

  options.argv = {"/usr/bin/env"};
  options.env = {"A=1", "SPACED=x y", "EMPTY=", "UTF=\xC3\xA9"};
  EXPECT_EQ(RunForOutput(options), "A=1\nSPACED=x y\nEMPTY=\nUTF=\xC3\xA9\n");
}

TEST(Process, ExitStatusAndSignalAreReported) {
  proc::SpawnOptions options;
  options.argv = {"/bin/sh", "-c", "exit 7"};
  int status = 0;
  RunForOutput(options, &status);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7);

  options.argv = {"/bin/sleep", "60"};
  proc::SpawnResult r = proc::Spawn(options);
  ASSERT_TRUE(r.child);
  EXPECT_FALSE(r.child->HasExited());
  r.child->End(SIGKILL);
  ASSERT_TRUE(r.child->Wait(milliseconds(10000), &status));
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);
  EXPECT_TRUE(r.child->HasExited());  // asked again: still known, still not reaped
}

TEST(Process, ExecFailureIsReportedWithItsErrno) {
  for (bool suspended : {false, true}) {
    proc::SpawnOptions options;
    options.argv = {"/nonexistent/program"};
    options.startSuspended = suspended;
    proc::SpawnResult r = proc::Spawn(options);
    EXPECT_FALSE(r.child) << suspended;
    EXPECT_EQ(r.what, "exec");
    EXPECT_EQ(r.error, ENOENT);
  }
  proc::SpawnOptions empty;
  EXPECT_EQ(proc::Spawn(empty).error, EINVAL);
}

TEST(Process, SuspendedChildRunsNothingBeforeResume) {
  testsupport::TempFolder folder("qv-proc-");
  const std::string marker = folder / "ran";
  proc::SpawnOptions options;
  options.argv = {"/usr/bin/touch", marker};
  options.startSuspended = true;
  proc::SpawnResult r = proc::Spawn(options);
  ASSERT_TRUE(r.child);
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_FALSE(r.child->HasExited());
  EXPECT_NE(access(marker.c_str(), F_OK), 0) << "ran before it was resumed";
  ASSERT_TRUE(r.child->Resume());
  EXPECT_FALSE(r.child->Resume());  // once only
  int status = -1;
  ASSERT_TRUE(r.child->Wait(milliseconds(10000), &status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(access(marker.c_str(), F_OK), 0);
}

// The keeper's death signal (the host died while some process kept the control socket open)
// ends the run, whether or not it started suspended; a keeper that lost its signal descriptor
// would also spin on it for the whole run.
TEST(Process, KeeperSignalledEndsTheRun) {
  for (bool suspended : {false, true}) {
    proc::SpawnOptions options;
    options.argv = {"/bin/sleep", "60"};
    options.startSuspended = suspended;
    proc::SpawnResult r = proc::Spawn(options);
    ASSERT_TRUE(r.child) << suspended;
    if (suspended) ASSERT_TRUE(r.child->Resume());
    std::ifstream stat("/proc/" + std::to_string(r.child->pid()) + "/stat");
    std::string line;
    ASSERT_TRUE(std::getline(stat, line));
    const pid_t keeper = static_cast<pid_t>(std::atoi(line.c_str() + line.rfind(')') + 4));
    ASSERT_GT(keeper, 1);
    ASSERT_EQ(kill(keeper, SIGTERM), 0);
    int status = 0;
    EXPECT_TRUE(r.child->Wait(milliseconds(10000), &status)) << suspended;
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << suspended << " " << status;
  }
}

TEST(Process, DroppedSuspendedChildNeverRuns) {
  testsupport::TempFolder folder("qv-proc-");
  const std::string marker = folder / "ran";
  {
    proc::SpawnOptions options;
    options.argv = {"/usr/bin/touch", marker};
    options.startSuspended = true;
    ASSERT_TRUE(proc::Spawn(options).child);
  }  // destroyed without Resume
  EXPECT_NE(access(marker.c_str(), F_OK), 0);
}

TEST(Process, NoHostDescriptorReachesTheChild) {
  int leaked = open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
  ASSERT_GE(leaked, 0);
  ASSERT_EQ(dup2(leaked, 77), 77);
  proc::SpawnOptions options;
  options.argv = {"/bin/ls", "/proc/self/fd"};
  options.stdinMode = proc::Stream::Pipe;
  std::string listed = RunForOutput(options);
  close(leaked);
  close(77);
  // 0-2 and the folder ls itself opened to list.
  EXPECT_EQ(listed, "0\n1\n2\n3\n");
}

TEST(Process, EndingTheJobEndsAGrandchild) {
  proc::SpawnOptions options;
  options.argv = {"/bin/sh", "-c", "sleep 60 & echo $!; wait"};
  options.stdoutMode = proc::Stream::Pipe;
  proc::SpawnResult r = proc::Spawn(options);
  ASSERT_TRUE(r.child);
  std::string line;
  char c;
  while (read(r.child->stdoutRead().get(), &c, 1) == 1 && c != '\n') line += c;
  pid_t grandchild = static_cast<pid_t>(std::atoi(line.c_str()));
  ASSERT_GT(grandchild, 0);
  EXPECT_FALSE(IsGone(grandchild));
  r.child->End();
  EXPECT_TRUE(r.child->Wait(milliseconds(10000)));
  EXPECT_TRUE(BecomesGone(grandchild));
}

// Leaves one descendant of each shape a run can make, says their pids one a line, then "all":
// one in the program's group, one in a new session, one in a new process group and one in a
// new session whose parents have exited (re-parented to whoever adopts orphans).
const char* const kDescendantsScript =
    "sleep 60 & echo $!; "
    "setsid sleep 60 & echo $!; "
    "python3 -c 'import os,time; pid=os.fork(); pid or (time.sleep(60), os._exit(0)); os.setpgid(pid,pid); print(pid)'; "
    "sh -c 'setsid sleep 60 & echo $!'; "
    "echo all; exec sleep 60";

// Reads pid lines until "all".
std::vector<pid_t> ReadPids(int fd) {
  std::vector<pid_t> pids;
  std::string line;
  char c;
  while (read(fd, &c, 1) == 1) {
    if (c != '\n') {
      line += c;
      continue;
    }
    if (line == "all") break;
    if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) {
      pids.push_back(static_cast<pid_t>(std::atoi(line.c_str())));
    }
    line.clear();
  }
  return pids;
}

proc::SpawnResult SpawnDescendants() {
  proc::SpawnOptions options;
  options.argv = {"/bin/sh", "-c", kDescendantsScript};
  options.env = proc::CurrentEnvironment();
  options.stdoutMode = proc::Stream::Pipe;
  return proc::Spawn(options);
}

TEST(ProcessJob, EndingTheJobEndsEveryShapeOfDescendant) {
  proc::SpawnResult r = SpawnDescendants();
  ASSERT_TRUE(r.child);
  std::vector<pid_t> pids = ReadPids(r.child->stdoutRead().get());
  ASSERT_EQ(pids.size(), 4u);
  for (pid_t pid : pids) EXPECT_FALSE(IsGone(pid)) << pid;
  EXPECT_FALSE(r.child->WaitForJobToEmpty(milliseconds(0)));
  r.child->End();
  EXPECT_TRUE(r.child->WaitForJobToEmpty(milliseconds(10000)));
  int status = 0;
  EXPECT_TRUE(r.child->Wait(milliseconds(0), &status));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  for (pid_t pid : pids) EXPECT_TRUE(IsGone(pid)) << pid;
}

TEST(ProcessJob, DestroyingTheChildEndsWhatTheProgramLeftBehind) {
  proc::SpawnOptions options;
  options.argv = {"/bin/sh", "-c", "setsid sleep 60 & echo $!; echo all"};
  options.stdoutMode = proc::Stream::Pipe;
  proc::SpawnResult r = proc::Spawn(options);
  ASSERT_TRUE(r.child);
  std::vector<pid_t> pids = ReadPids(r.child->stdoutRead().get());
  ASSERT_EQ(pids.size(), 1u);
  // The program's own end is reported while what it left is still held by the job.
  int status = -1;
  EXPECT_TRUE(r.child->Wait(milliseconds(10000), &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(r.child->WaitForJobToEmpty(milliseconds(100)));
  EXPECT_FALSE(IsGone(pids[0]));
  r.child.reset();
  EXPECT_TRUE(IsGone(pids[0]));
}

TEST(ProcessJob, AJobWithNothingLeftIsEmptyOnItsOwn) {
  proc::SpawnOptions options;
  options.argv = {"/bin/sh", "-c", "sleep 0.1 & exit 3"};
  proc::SpawnResult r = proc::Spawn(options);
  ASSERT_TRUE(r.child);
  EXPECT_TRUE(r.child->WaitForJobToEmpty(milliseconds(10000)));
  int status = 0;
  EXPECT_TRUE(r.child->Wait(milliseconds(0), &status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
}

// Run as a child host by the next test: starts a run with every shape of descendant, says
// their pids, then waits to be killed.
TEST(ProcessHostRole, SpawnAndWait) {
  if (!std::getenv("QV_PROCESS_HOST_ROLE")) GTEST_SKIP() << "only as the child host of HostKilled...";
  proc::SpawnResult r = SpawnDescendants();
  ASSERT_TRUE(r.child);
  std::vector<pid_t> pids = ReadPids(r.child->stdoutRead().get());
  pids.push_back(r.child->pid());
  std::string text;
  for (pid_t pid : pids) text += std::to_string(pid) + "\n";
  text += "all\n";
  ASSERT_EQ(write(STDOUT_FILENO, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  std::this_thread::sleep_for(std::chrono::seconds(60));
}

TEST(Process, HostKilledTakesEveryDescendantWithIt) {
  for (int signal : {SIGKILL, SIGTERM}) {
    SCOPED_TRACE(signal);
    proc::SpawnOptions options;
    options.argv = {std::filesystem::read_symlink("/proc/self/exe").string(),
                    "--gtest_filter=ProcessHostRole.SpawnAndWait"};
    options.env = proc::CurrentEnvironment();
    options.env.push_back("QV_PROCESS_HOST_ROLE=1");
    options.stdoutMode = proc::Stream::Pipe;
    proc::SpawnResult host = proc::Spawn(options);
    ASSERT_TRUE(host.child);
    std::vector<pid_t> pids = ReadPids(host.child->stdoutRead().get());
    ASSERT_EQ(pids.size(), 5u);
    kill(host.child->pid(), signal);  // only the host, not its job
    EXPECT_TRUE(host.child->Wait(milliseconds(10000)));
    for (pid_t pid : pids) EXPECT_TRUE(BecomesGone(pid)) << pid;
  }
}

}  // namespace
