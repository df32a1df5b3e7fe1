#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <thread>

#include "base/never_destroyed.h"

extern char** environ;

namespace platform::process {
namespace {

// What the child tells the host through its close-on-exec report pipe: 'W' waiting at the
// gate, 'E' failed with errno. End of file without a message: the exec succeeded.
struct Report {
  char tag;
  int error;
};

// Runs every fork on one thread that lives as long as the process: a child's death signal is
// tied to the thread that forked it, so that thread must never end before the children do.
class Spawner {
 public:
  void Run(const std::function<void()>& task) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!started_) {
      // Never joined, on purpose: see above. It waits on its condition variable when idle.
      std::thread([this] { Loop(); }).detach();
      started_ = true;
    }
    bool done = false;
    queue_.push_back([&] {
      task();
      std::lock_guard<std::mutex> guard(mutex_);
      done = true;
      doneCv_.notify_all();
    });
    cv_.notify_one();
    doneCv_.wait(lock, [&] { return done; });
  }

 private:
  void Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
      cv_.wait(lock, [&] { return !queue_.empty(); });
      std::function<void()> task = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      task();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_, doneCv_;
  std::deque<std::function<void()>> queue_;
  bool started_ = false;
};

Spawner& TheSpawner() {
  static base::NeverDestroyed<Spawner> spawner;
  return spawner.get();
}

bool MakePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  readEnd.Reset(fds[0]);
  writeEnd.Reset(fds[1]);
  return true;
}

// Reads one report; false at end of file (or on a broken read).
bool ReadReport(int fd, Report& report) {
  size_t got = 0;
  char* p = reinterpret_cast<char*>(&report);
  while (got < sizeof report) {
    ssize_t n = read(fd, p + got, sizeof report - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// Only async-signal-safe calls from here to the exec: the host is multithreaded.
void ChildWrite(int fd, char tag, int error) {
  Report r{tag, error};
  ssize_t n;
  do {
    n = write(fd, &r, sizeof r);
  } while (n < 0 && errno == EINTR);
}

[[noreturn]] void ChildFail(int reportFd, int error) {
  ChildWrite(reportFd, 'E', error);
  _exit(127);
}

void CloseAllBut(int keepA, int keepB) {
  int lo = std::min(keepA, keepB), hi = std::max(keepA, keepB);
  auto closeRange = [](int first, int last) {
    if (first <= last) syscall(SYS_close_range, static_cast<unsigned>(first), static_cast<unsigned>(last), 0u);
  };
  if (lo < 0) {  // only one descriptor to keep
    closeRange(3, hi - 1);
    closeRange(hi + 1, ~0u >> 1);
    return;
  }
  closeRange(3, lo - 1);
  closeRange(lo + 1, hi - 1);
  closeRange(hi + 1, ~0u >> 1);
}

struct ChildPlan {
  const char* path;
  char* const* argv;
  char* const* envp;
  const char* workingDirectory;  // null: keep
  int stdinFd, stdoutFd, stderrFd;
  int gateRead;  // -1 when not suspended
  int reportWrite;
  pid_t parent;
};

[[noreturn]] void RunChild(const ChildPlan& plan) {
  setpgid(0, 0);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != plan.parent) _exit(127);  // the host is already gone

  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  // Ignored signals stay ignored across exec (the host ignores SIGPIPE): give them back.
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) {
      struct sigaction dfl {};
      dfl.sa_handler = SIG_DFL;
      sigaction(sig, &dfl, nullptr);
    }
  }

  int streams[3] = {plan.stdinFd, plan.stdoutFd, plan.stderrFd};
  for (int target = 0; target < 3; ++target) {
    if (dup2(streams[target], target) < 0) ChildFail(plan.reportWrite, errno);
  }
  if (plan.workingDirectory && chdir(plan.workingDirectory) != 0) ChildFail(plan.reportWrite, errno);
  CloseAllBut(plan.gateRead, plan.reportWrite);

  if (plan.gateRead >= 0) {
    // A program that cannot be run is reported now, not only when the host resumes it.
    if (access(plan.path, X_OK) != 0) ChildFail(plan.reportWrite, errno);
    ChildWrite(plan.reportWrite, 'W', 0);
    char go = 0;
    ssize_t n;
    do {
      n = read(plan.gateRead, &go, 1);
    } while (n < 0 && errno == EINTR);
    if (n != 1) _exit(127);  // the host let go without resuming
    close(plan.gateRead);
  }
  execve(plan.path, plan.argv, plan.envp);
  ChildFail(plan.reportWrite, errno);
}

std::vector<char*> CStrings(const std::vector<std::string>& strings) {
  std::vector<char*> out;
  out.reserve(strings.size() + 1);
  for (const std::string& s : strings) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

}  // namespace

Child::~Child() {
  if (pid_ <= 0) return;
  // The leader is never reaped before this point, so its pid and group id cannot have been
  // handed to another process: the group signal reaches only this job.
  kill(-pid_, SIGKILL);
  int status;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

bool Child::Resume() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!gate_) return false;
  char go = 1;
  bool sent = write(gate_.get(), &go, 1) == 1;
  gate_.Reset();
  if (!sent) return false;
  Report report{};
  if (report_ && ReadReport(report_.get(), report) && report.tag == 'E') {
    resumeError_ = report.error;
    report_.Reset();
    return false;
  }
  report_.Reset();
  return true;
}

void Child::End(int signal) {
  if (pid_ > 0) kill(-pid_, signal);
}

namespace {

// Whether a process other than a zombie is in the process group, read from /proc.
bool GroupHasLiveMembers(pid_t group) {
  DIR* proc = opendir("/proc");
  if (!proc) return false;
  bool live = false;
  while (struct dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%s/stat", entry->d_name);
    UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) continue;
    char buffer[512];
    ssize_t n = read(fd.get(), buffer, sizeof buffer - 1);
    if (n <= 0) continue;
    buffer[n] = 0;
    // "pid (comm) state ppid pgrp ...": comm may hold spaces and parentheses; the last ')' ends it.
    const char* close = std::strrchr(buffer, ')');
    char state = 0;
    long ppid = 0, pgrp = 0;
    if (!close || std::sscanf(close + 1, " %c %ld %ld", &state, &ppid, &pgrp) != 3) continue;
    if (pgrp == group && state != 'Z' && state != 'X') {
      live = true;
      break;
    }
  }
  closedir(proc);
  return live;
}

}  // namespace

bool Child::WaitForJobToEmpty(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return true;
  // The group's members are not our children (only the leader is), so nothing can be waited on:
  // the group is looked at again every few milliseconds, for a bounded time.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (GroupHasLiveMembers(pid_)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool Child::Wait(std::chrono::milliseconds timeout, int* status) {
  if (pid_ <= 0) return false;
  if (pidfd_) {
    struct pollfd p {pidfd_.get(), POLLIN, 0};
    int ms = static_cast<int>(std::min<int64_t>(timeout.count(), 1 << 30));
    int r;
    do {
      r = poll(&p, 1, ms);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return false;
  }
  // Looked at without reaping: the zombie keeps the pid (and so the job's group id) ours.
  siginfo_t info {};
  int flags = WEXITED | WNOWAIT | (pidfd_ ? WNOHANG : 0);
  if (waitid(P_PID, static_cast<id_t>(pid_), &info, flags) != 0 || info.si_pid != pid_) return false;
  if (status) {
    *status = info.si_code == CLD_EXITED ? ((info.si_status & 0xff) << 8) : (info.si_status & 0x7f);
  }
  return true;
}

SpawnResult Spawn(const SpawnOptions& options) {
  SpawnResult result;
  if (options.argv.empty() || options.argv[0].empty()) {
    result.error = EINVAL;
    result.what = "exec";
    return result;
  }
  auto fail = [&](const char* what, int error) {
    result.child.reset();
    result.error = error;
    result.what = what;
    return std::move(result);
  };

  UniqueFd devNull(open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!devNull) return fail("pipe", errno);
  UniqueFd stdinRead, stdinWrite, stdoutRead, stdoutWrite, stderrRead, stderrWrite;
  UniqueFd gateRead, gateWrite, reportRead, reportWrite;
  if ((options.stdinMode == Stream::Pipe && !MakePipe(stdinRead, stdinWrite)) ||
      (options.stdoutMode == Stream::Pipe && !MakePipe(stdoutRead, stdoutWrite)) ||
      (options.stderrMode == Stream::Pipe && !MakePipe(stderrRead, stderrWrite)) ||
      (options.startSuspended && !MakePipe(gateRead, gateWrite)) || !MakePipe(reportRead, reportWrite)) {
    return fail("pipe", errno);
  }

  std::vector<char*> argv = CStrings(options.argv);
  std::vector<char*> envp = CStrings(options.env);
  ChildPlan plan{options.argv[0].c_str(),
                 argv.data(),
                 envp.data(),
                 options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str(),
                 stdinRead                                      ? stdinRead.get()
                 : options.stdinMode == Stream::Given && options.givenStdin >= 0 ? options.givenStdin
                                                                                 : devNull.get(),
                 stdoutWrite                                      ? stdoutWrite.get()
                 : options.stdoutMode == Stream::Given && options.givenStdout >= 0 ? options.givenStdout
                                                                                   : devNull.get(),
                 stderrWrite ? stderrWrite.get() : devNull.get(),
                 gateRead ? gateRead.get() : -1,
                 reportWrite.get(),
                 getpid()};

  pid_t pid = -1;
  int forkError = 0;
  TheSpawner().Run([&] {
    pid = fork();
    if (pid == 0) RunChild(plan);
    if (pid < 0) forkError = errno;
  });
  if (pid < 0) return fail("fork", forkError);
  setpgid(pid, pid);  // also from this side, so the group exists before anyone signals it

  std::unique_ptr<Child> child(new Child());
  child->pid_ = pid;
  child->pidfd_.Reset(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  // The child's ends go now, so end of file on the report pipe means exec.
  stdinRead.Reset();
  stdoutWrite.Reset();
  stderrWrite.Reset();
  gateRead.Reset();
  reportWrite.Reset();

  Report report{};
  bool reported = ReadReport(reportRead.get(), report);
  if (reported && report.tag == 'E') {
    child.reset();  // reaps it
    return fail("exec", report.error);
  }
  child->gate_ = std::move(gateWrite);
  if (options.startSuspended) child->report_ = std::move(reportRead);
  child->stdinWrite_ = std::move(stdinWrite);
  child->stdoutRead_ = std::move(stdoutRead);
  child->stderrRead_ = std::move(stderrRead);
  result.child = std::move(child);
  return result;
}

std::vector<std::string> CurrentEnvironment() {
  std::vector<std::string> out;
  for (char** e = environ; e && *e; ++e) out.emplace_back(*e);
  return out;
}

}  // namespace platform::process
