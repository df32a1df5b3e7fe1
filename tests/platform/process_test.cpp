#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
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

#include "platform/shell.h"
#include "support/process_state.h"
#include "support/temp_folder.h"

namespace proc = platform::process;
using testsupport::BecomesGone;
using testsupport::IsGone;
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

struct UniqueFdPair {
  UniqueFdPair() {
    int fds[2] = {-1, -1};
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    read.Reset(fds[0]);
    write.Reset(fds[1]);
  }
  platform::UniqueFd read, write;
};

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
    if (suspended) {
      ASSERT_TRUE(r.child->Resume());
    }
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

// The browser's shape: pipes at the numbers the program reads and writes, nothing else of the
// host's; the numbers given may sit anywhere, and a suspended start's gate leaves no trace.
TEST(Process, InheritedDescriptorsArriveAtTheirNumbersAndNothingElse) {
  struct Case {
    std::vector<int> as;
    bool suspended;
    std::string listed;  // ls opens its folder on the lowest free number
  };
  const std::vector<Case> cases = {
      {{3, 4}, false, "0\n1\n2\n3\n4\n5\n"},
      {{3, 4}, true, "0\n1\n2\n3\n4\n5\n"},
      {{9}, false, "0\n1\n2\n3\n9\n"},
      {{63, 5}, true, "0\n1\n2\n3\n5\n63\n"},
  };
  int leaked = open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
  ASSERT_GE(leaked, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.listed);
    std::vector<UniqueFdPair> pipes(c.as.size());
    proc::SpawnOptions options;
    options.argv = {"/bin/ls", "/proc/self/fd"};
    options.startSuspended = c.suspended;
    for (size_t i = 0; i < c.as.size(); ++i) options.inherit.push_back({pipes[i].write.get(), c.as[i]});
    options.stdoutMode = proc::Stream::Pipe;
    proc::SpawnResult r = proc::Spawn(options);
    ASSERT_TRUE(r.child) << r.what << " " << r.error;
    if (c.suspended) {
      ASSERT_TRUE(r.child->Resume());
    }
    EXPECT_EQ(ReadAll(r.child->stdoutRead().get()), c.listed);
    EXPECT_TRUE(r.child->Wait(milliseconds(10000)));
  }
  close(leaked);

  // Each number is the descriptor given: what goes into 3 comes out of 4.
  UniqueFdPair in, out;
  proc::SpawnOptions options;
  options.argv = {"/bin/sh", "-c", "cat <&3 >&4"};
  options.inherit = {{in.read.get(), 3}, {out.write.get(), 4}};
  proc::SpawnResult r = proc::Spawn(options);
  ASSERT_TRUE(r.child);
  in.read.Reset();
  out.write.Reset();
  ASSERT_EQ(write(in.write.get(), "ping\0", 5), 5);
  in.write.Reset();
  EXPECT_EQ(ReadAll(out.read.get()), std::string("ping\0", 5));
  EXPECT_TRUE(r.child->Wait(milliseconds(10000)));

  for (std::vector<proc::InheritedFd> bad : std::vector<std::vector<proc::InheritedFd>>{
           {{0, 2}}, {{0, 64}}, {{-1, 3}}, {{0, 3}, {1, 3}}}) {
    options.argv = {"/bin/true"};
    options.inherit = bad;
    EXPECT_EQ(proc::Spawn(options).error, EINVAL);
  }
}

// The browser's pipe ends when the browser does, although the job still holds a descendant
// that closed its copy: the keeper keeps none.
TEST(Process, AnInheritedPipeClosesWithTheProgramNotWithTheJob) {
  UniqueFdPair out;
  proc::SpawnOptions options;
  options.argv = {"/bin/sh", "-c", "setsid sleep 60 4>&- >/dev/null 2>&1 & echo $! >&4"};
  options.inherit = {{out.write.get(), 4}};
  proc::SpawnResult r = proc::Spawn(options);
  ASSERT_TRUE(r.child);
  out.write.Reset();
  struct pollfd p {out.read.get(), POLLIN, 0};
  std::string said;
  char buf[64];
  bool endOfFile = false;
  while (!endOfFile && poll(&p, 1, 10000) == 1) {
    ssize_t n = read(out.read.get(), buf, sizeof buf);
    if (n < 0) break;
    endOfFile = n == 0;
    said.append(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
  }
  EXPECT_TRUE(endOfFile) << "no end of file while the job still runs";
  EXPECT_TRUE(r.child->Wait(milliseconds(10000)));
  pid_t left = static_cast<pid_t>(std::atoi(said.c_str()));
  ASSERT_GT(left, 0);
  EXPECT_FALSE(IsGone(left));
  EXPECT_FALSE(r.child->WaitForJobToEmpty(milliseconds(0)));
  r.child.reset();
  EXPECT_TRUE(IsGone(left));
}

// The openers' shape: argv[0] as the caller wrote it while the file run is found on PATH, and
// a hand-off run lets go of what it started, yet every process the host made is reaped.
TEST(Process, AHandOffRunKeepsArgvAndLetsGoOfWhatItStarted) {
  proc::SpawnOptions options;
  options.env = proc::CurrentEnvironment();
  // The shell prints its own argv as the kernel holds it, then the pid of what it started.
  options.argv = {"sh", "-c", "cat /proc/$$/cmdline; sleep 60 >/dev/null 2>&1 & echo \"|$!\"", "x y\xC3\xA9", ""};
  options.program = proc::FindOnPath("sh", options.env);
  options.handOff = true;
  options.stdoutMode = proc::Stream::Pipe;
  proc::SpawnResult r = proc::Spawn(options);
  ASSERT_TRUE(r.child) << r.what << " " << r.error;
  std::string out = ReadAll(r.child->stdoutRead().get());
  std::string expected;
  for (const std::string& a : options.argv) expected += a + '\0';
  ASSERT_NE(out.rfind('|'), std::string::npos);
  EXPECT_EQ(out.substr(0, out.rfind('|')), expected);
  int status = -1;
  EXPECT_TRUE(r.child->Wait(milliseconds(10000), &status));
  EXPECT_EQ(status, 0);
  pid_t opened = static_cast<pid_t>(std::atoi(out.c_str() + out.rfind('|') + 1));
  ASSERT_GT(opened, 0);
  r.child.reset();
  EXPECT_FALSE(IsGone(opened)) << "a hand-off run killed what it opened";
  kill(opened, SIGKILL);
  EXPECT_TRUE(BecomesGone(opened));
  // Nothing of the host's is left unreaped: the keeper by the Child, the program by the keeper.
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(Process, FindOnPathTakesTheFirstExecutableFile) {
  testsupport::TempFolder first("qv-path-"), second("qv-path-");
  auto make = [](const std::string& path, mode_t mode) {
    std::ofstream(path) << "#!/bin/sh\n";
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
  };
  make(first / "plain", 0644);
  make(second / "plain", 0755);
  make(second / "tool", 0755);
  make(first / "tool", 0755);
  std::filesystem::create_directory(first / "dir");
  const std::vector<std::string> env = {"HOME=/nowhere", "PATH=" + first.str() + "::" + second.str()};
  struct Case {
    std::string name, found;
  };
  for (const Case& c : std::vector<Case>{{"tool", first / "tool"},
                                         {"plain", second / "plain"},
                                         {"dir", ""},
                                         {"missing", ""},
                                         {"", ""},
                                         {"rel/tool", "rel/tool"}}) {
    EXPECT_EQ(proc::FindOnPath(c.name, env), c.found) << c.name;
  }
  EXPECT_FALSE(proc::FindOnPath("sh", {}).empty());  // no PATH: the usual folders
}

TEST(Shell, ProgramsAreFoundOnPathAndTheirEndIsReported) {
  EXPECT_EQ(platform::RunProgram({"sh", "-c", "exit 5"}), 5);
  EXPECT_EQ(platform::RunProgram({"sh", "-c", "kill -9 $$"}), -1);
  EXPECT_EQ(platform::RunProgram({"qv-no-such-program"}), -1);
  EXPECT_EQ(platform::RunProgram({}), -1);
  EXPECT_FALSE(platform::StartProgram({"qv-no-such-program"}));
  EXPECT_TRUE(platform::StartProgram({"true"}));
}

TEST(OutputTail, KeepsTheLastLinesWithinItsBounds) {
  struct Case {
    std::vector<std::string> feeds;
    std::string kept;
  };
  const std::vector<Case> cases = {
      {{}, ""},
      {{"one\ntwo\n"}, "one\ntwo\n"},
      {{"a\nb\n", "c\nd\n"}, "b\nc\nd\n"},
      {{"a\nb\nc\nunfinished"}, "b\nc\nunfinished"},
      {{"a\nb\n", "c\n", "half", " line"}, "b\nc\nhalf line"},
      {{std::string(30, 'x') + "\n" + "tail\n"}, std::string(10, 'x') + "\ntail\n"},
      {{std::string(40, 'y')}, std::string(16, 'y')},
  };
  for (const Case& c : cases) {
    proc::OutputTail tail(3, 16);
    for (const std::string& f : c.feeds) tail.Feed(f.data(), f.size());
    EXPECT_EQ(tail.Text(), c.kept) << testing::PrintToString(c.feeds);
  }
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
