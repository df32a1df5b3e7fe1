#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <atomic>
#include <deque>
#include <functional>
#include <thread>

#include "base/log.h"
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

struct ChildPlan {
  const char* path;
  char* const* argv;
  char* const* envp;
  const char* workingDirectory;  // null: keep
  int stdinFd, stdoutFd, stderrFd;
  int gateRead;  // -1 when not suspended
  int reportWrite;
  int controlRead;  // the keeper's end of the host's control socket
  int statusWrite;  // the keeper's end of the status pipe
  pid_t parent;
  int inheritFds[kMaxInherited];  // the host's descriptors the program gets ...
  int inheritAs[kMaxInherited];   // ... as these numbers
  int inheritCount;
  bool handOff;
};

// Descriptor numbers inside the keeper (and, for the first three, inside the run's program).
constexpr int kControlFd = 3;
constexpr int kStatusFd = 4;
constexpr int kReportFd = 5;
constexpr int kGateFd = 6;
constexpr int kKeeperFds = 7;  // then the inherited descriptors, from kKeeperFds on
constexpr int kMaxInheritedAs = 63;
// The most descriptors a layout places: the program's highest inherited number, its report
// and gate descriptors above it.
constexpr int kMaxArranged = kMaxInheritedAs + 3;
static_assert(kKeeperFds + static_cast<int>(kMaxInherited) <= kMaxArranged);

// Puts sources[i] on descriptor i (a negative source leaves i closed) and closes every other
// descriptor. Sources are first lifted above the targets so no dup2 overwrites a source.
// False when a source could not be lifted (nothing moved yet) or a dup2 failed.
bool ArrangeDescriptors(const int* sources, int count) {
  int lifted[kMaxArranged];
  for (int i = 0; i < count; ++i) {
    lifted[i] = sources[i] < 0 ? -1 : fcntl(sources[i], F_DUPFD, count);
    if (sources[i] >= 0 && lifted[i] < 0) return false;
  }
  for (int i = 0; i < count; ++i) {
    if (lifted[i] < 0) {
      close(i);
    } else if (dup2(lifted[i], i) < 0) {
      _exit(127);  // the layout is half made: nothing can be reported any more
    }
  }
  syscall(SYS_close_range, static_cast<unsigned>(count), ~0u >> 1, 0u);
  return true;
}

void WriteStatus(char tag, int value) { ChildWrite(kStatusFd, tag, value); }

void ResetSignals() {
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
}

// The run's program, forked by its keeper; descriptors are already where the program wants them.
[[noreturn]] void RunProgram(const ChildPlan& plan, pid_t keeper) {
  setpgid(0, 0);
  // A hand-off run's program is the desktop's: it outlives its keeper.
  if (!plan.handOff) prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != keeper) _exit(127);
  ResetSignals();
  // The program's layout: its standard streams, the inherited descriptors at their numbers,
  // and the report and gate descriptors just above the highest of them; nothing else.
  int count = 3;
  for (int i = 0; i < plan.inheritCount; ++i) count = std::max(count, plan.inheritAs[i] + 1);
  const int reportFd = count, gateFd = count + 1;
  int sources[kMaxArranged];
  for (int& source : sources) source = -1;
  for (int fd = 0; fd < 3; ++fd) sources[fd] = fd;
  for (int i = 0; i < plan.inheritCount; ++i) sources[plan.inheritAs[i]] = kKeeperFds + i;
  sources[reportFd] = kReportFd;
  sources[gateFd] = plan.gateRead >= 0 ? kGateFd : -1;
  if (!ArrangeDescriptors(sources, gateFd + 1)) ChildFail(kReportFd, errno);
  fcntl(reportFd, F_SETFD, FD_CLOEXEC);
  if (plan.workingDirectory && chdir(plan.workingDirectory) != 0) ChildFail(reportFd, errno);
  if (plan.gateRead >= 0) {
    // A program that cannot be run is reported now, not only when the host resumes it.
    if (access(plan.path, X_OK) != 0) ChildFail(reportFd, errno);
    ChildWrite(reportFd, 'W', 0);
    char go = 0;
    ssize_t n;
    do {
      n = read(gateFd, &go, 1);
    } while (n < 0 && errno == EINTR);
    if (n != 1) _exit(127);  // the host let go without resuming
  }
  close(gateFd);
  execve(plan.path, plan.argv, plan.envp);
  ChildFail(reportFd, errno);
}

// Parses a decimal pid; 0 when the text is not one.
pid_t ParsePid(const char* text, size_t length) {
  pid_t value = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return 0;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

// Appends text, then returns the new end; only async-signal-safe work.
size_t AppendText(char* out, size_t size, size_t at, const char* text) {
  for (; *text && at + 1 < size; ++text) out[at++] = *text;
  out[at] = 0;
  return at;
}

size_t AppendNumber(char* out, size_t size, size_t at, pid_t value) {
  char digits[16];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0 && n < 15);
  while (n > 0 && at + 1 < size) out[at++] = digits[--n];
  out[at] = 0;
  return at;
}

// SIGKILL to every direct child of the keeper, orphans it adopted included. Reads the kernel's
// list of children; where that list is missing, every /proc/<pid>/stat is looked at.
void KillKeeperChildren(pid_t self) {
  char path[64];
  size_t at = AppendText(path, sizeof path, 0, "/proc/");
  at = AppendNumber(path, sizeof path, at, self);
  at = AppendText(path, sizeof path, at, "/task/");
  at = AppendNumber(path, sizeof path, at, self);
  AppendText(path, sizeof path, at, "/children");
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    char buffer[4096];
    size_t kept = 0;
    ssize_t n;
    while ((n = read(fd, buffer + kept, sizeof buffer - kept)) > 0) {
      size_t end = kept + static_cast<size_t>(n), start = 0;
      for (size_t i = 0; i < end; ++i) {
        if (buffer[i] == ' ' || buffer[i] == '\n') {
          if (pid_t pid = ParsePid(buffer + start, i - start); pid > 0) kill(pid, SIGKILL);
          start = i + 1;
        }
      }
      kept = end - start;
      std::memmove(buffer, buffer + start, kept);
      if (kept == sizeof buffer) kept = 0;
    }
    close(fd);
    return;
  }
  int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (proc < 0) return;
  alignas(8) char entries[8192];
  long got;
  while ((got = syscall(SYS_getdents64, proc, entries, sizeof entries)) > 0) {
    for (long at = 0; at < got;) {
      const auto* entry = reinterpret_cast<const struct dirent64*>(entries + at);
      at += entry->d_reclen;
      pid_t pid = ParsePid(entry->d_name, std::strlen(entry->d_name));
      if (pid <= 0) continue;
      size_t end = AppendText(path, sizeof path, 0, "/proc/");
      end = AppendNumber(path, sizeof path, end, pid);
      AppendText(path, sizeof path, end, "/stat");
      int stat = open(path, O_RDONLY | O_CLOEXEC);
      if (stat < 0) continue;
      char text[512];
      ssize_t n = read(stat, text, sizeof text - 1);
      close(stat);
      if (n <= 0) continue;
      text[n] = 0;
      // "pid (comm) state ppid ...": comm may hold spaces and parentheses; the last ')' ends it.
      const char* closeParen = std::strrchr(text, ')');
      if (!closeParen || closeParen[1] != ' ' || !closeParen[2] || closeParen[3] != ' ') continue;
      const char* ppidText = closeParen + 4;
      size_t ppidLength = std::strcspn(ppidText, " ");
      if (ParsePid(ppidText, ppidLength) == self) kill(pid, SIGKILL);
    }
  }
  close(proc);
}

// The run's keeper: a child subreaper, so every descendant of the run that loses its parent
// (a double fork, a setsid) becomes its child. It ends them all when the host says so, when
// the host's control socket closes (the host ended or was killed) or when it is told to end,
// and exits once it holds no process any more; its exit is the job being empty.
// Forked from the multithreaded host, it uses only async-signal-safe calls.
[[noreturn]] void RunKeeper(const ChildPlan& plan) {
  setpgid(0, 0);
  int sources[kMaxArranged] = {plan.stdinFd,   plan.stdoutFd,    plan.stderrFd, plan.controlRead,
                               plan.statusWrite, plan.reportWrite, plan.gateRead};
  for (int i = 0; i < plan.inheritCount; ++i) sources[kKeeperFds + i] = plan.inheritFds[i];
  if (!ArrangeDescriptors(sources, kKeeperFds + plan.inheritCount)) _exit(127);
  // The program resets its own signals; the keeper keeps SIGPIPE ignored, since its reports to a
  // host that died must not kill it before it has ended the run.
  ResetSignals();
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, nullptr);
  sigset_t watched;
  sigemptyset(&watched);
  for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) sigaddset(&watched, sig);
  sigprocmask(SIG_BLOCK, &watched, nullptr);
  // A host that dies also closes the control socket; the death signal covers a descriptor that
  // some other process kept open by mistake.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != plan.parent) _exit(127);  // the host is already gone
  // A hand-off run holds only its program: what the program starts is the desktop's.
  if (!plan.handOff && prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) WriteStatus('D', errno);
  int signals = signalfd(-1, &watched, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signals < 0) {
    ChildWrite(kReportFd, 'J', errno);
    _exit(127);
  }

  const pid_t self = getpid();
  pid_t program = fork();
  if (program < 0) {
    ChildWrite(kReportFd, 'J', errno);
    _exit(127);
  }
  if (program == 0) RunProgram(plan, self);
  setpgid(program, program);
  WriteStatus('P', program);
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  for (int fd = 0; fd < 3; ++fd) {
    if (null >= 0) dup2(null, fd);
  }
  if (null >= 0) close(null);
  close(kReportFd);
  // Without a gate its number is free and may be the signal descriptor's.
  if (plan.gateRead >= 0) close(kGateFd);
  // The inherited descriptors are the program's alone: a pipe must close when the program's
  // side of it ends, not when its keeper does.
  for (int i = 0; i < plan.inheritCount; ++i) close(kKeeperFds + i);

  bool programReaped = false;
  bool ending = false;  // the job ends: every process held is killed
  bool letGo = false;   // a hand-off run's host ended the job: the keeper leaves, killing nothing
  auto reapAll = [&] {
    bool any = false;
    while (true) {
      int status = 0;
      pid_t pid = waitpid(-1, &status, WNOHANG);
      if (pid < 0 && errno == EINTR) continue;
      if (pid < 0) {
        if (programReaped || errno == ECHILD) _exit(0);  // nothing of the run is left
        return any;
      }
      if (pid == 0) return any;
      any = true;
      if (pid == program) {
        programReaped = true;
        WriteStatus('X', status);
      }
    }
  };
  auto drainSignals = [&] {
    struct signalfd_siginfo info[8];
    ssize_t n;
    while ((n = read(signals, info, sizeof info)) > 0) {
      for (size_t i = 0; i < static_cast<size_t>(n) / sizeof info[0]; ++i) {
        if (info[i].ssi_signo != SIGCHLD) letGo = true;
      }
    }
  };
  while (true) {
    if (letGo) {
      if (plan.handOff) _exit(0);
      ending = true;
    }
    if (ending) {
      if (!programReaped) kill(-program, SIGKILL);
      KillKeeperChildren(self);
      if (!reapAll()) {
        struct pollfd p {signals, POLLIN, 0};
        poll(&p, 1, 20);
        drainSignals();
      }
      continue;
    }
    struct pollfd fds[2] = {{kControlFd, POLLIN, 0}, {signals, POLLIN, 0}};
    int r = poll(fds, 2, -1);
    if (r < 0 && errno != EINTR) letGo = true;
    if (fds[0].revents) {
      unsigned char commands[64];
      ssize_t n = read(kControlFd, commands, sizeof commands);
      if (n <= 0 && !(n < 0 && errno == EINTR)) letGo = true;  // the host let go or is gone
      for (ssize_t i = 0; i < n; ++i) {
        if (commands[i] == SIGKILL) {
          ending = true;
        } else if (!programReaped) {
          kill(-program, commands[i]);
        }
      }
    }
    drainSignals();
    // Once the program is gone, what it left behind stays held until the host ends the job.
    reapAll();
  }
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
  if (keeper_ <= 0) return;
  // Closing the control socket is the job's end: the keeper kills everything it holds, then
  // exits, and is reaped here.
  control_.Reset();
  int status;
  while (waitpid(keeper_, &status, 0) < 0 && errno == EINTR) {
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
  std::lock_guard<std::mutex> lock(mutex_);
  if (!control_ || signal <= 0 || signal >= 256) return;
  const unsigned char command = static_cast<unsigned char>(signal);
  ssize_t n;
  do {
    n = send(control_.get(), &command, 1, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
}

void Child::DrainStatusLocked() {
  while (status_ && !keeperGone_) {
    Report reports[16];
    ssize_t n = read(status_.get(), reports, sizeof reports);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return;  // nothing more now
    if (n == 0) {
      keeperGone_ = true;
      // A keeper that ended without reporting the program's end was killed itself, and the
      // program with it (its death signal).
      if (!exited_) {
        exited_ = true;
        waitStatus_ = SIGKILL;
      }
      return;
    }
    for (size_t i = 0; i < static_cast<size_t>(n) / sizeof reports[0]; ++i) {
      if (reports[i].tag == 'X') {
        exited_ = true;
        waitStatus_ = reports[i].error;
      }
    }
  }
}

bool Child::WaitFor(std::chrono::milliseconds timeout, bool wholeJob) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      DrainStatusLocked();
      if (wholeJob ? keeperGone_ : exited_) return true;
      if (!status_) return false;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    struct pollfd p {status_.get(), POLLIN, 0};
    int ms = static_cast<int>(std::min<int64_t>(left.count(), 1 << 30));
    int r = poll(&p, 1, ms);
    if (r < 0 && errno != EINTR) return false;
  }
}

bool Child::Wait(std::chrono::milliseconds timeout, int* status) {
  if (!WaitFor(timeout, false)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (status) *status = waitStatus_;
  return true;
}

bool Child::WaitForJobToEmpty(std::chrono::milliseconds timeout) { return WaitFor(timeout, true); }

namespace {

// Said once per host: without a subreaper a descendant that leaves its group is not held.
void NoteDegradedJob(int error) {
  static std::atomic<bool> said{false};
  if (said.exchange(true)) return;
  LogPrintf("[process] child subreaper unavailable error=%d: a descendant that leaves its process group can outlive its run\n",
            error);
}

}  // namespace

SpawnResult Spawn(const SpawnOptions& options) {
  SpawnResult result;
  bool inheritValid = options.inherit.size() <= kMaxInherited;
  for (size_t i = 0; inheritValid && i < options.inherit.size(); ++i) {
    const InheritedFd& in = options.inherit[i];
    inheritValid = in.fd >= 0 && in.as >= 3 && in.as <= kMaxInheritedAs;
    for (size_t j = 0; inheritValid && j < i; ++j) inheritValid = options.inherit[j].as != in.as;
  }
  if (options.argv.empty() || options.argv[0].empty() || !inheritValid) {
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
  UniqueFd gateRead, gateWrite, reportRead, reportWrite, statusRead, statusWrite;
  UniqueFd controlHost, controlKeeper;
  int control[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, control) != 0) return fail("job", errno);
  controlHost.Reset(control[0]);
  controlKeeper.Reset(control[1]);
  if ((options.stdinMode == Stream::Pipe && !MakePipe(stdinRead, stdinWrite)) ||
      (options.stdoutMode == Stream::Pipe && !MakePipe(stdoutRead, stdoutWrite)) ||
      (options.stderrMode == Stream::Pipe && !MakePipe(stderrRead, stderrWrite)) ||
      (options.startSuspended && !MakePipe(gateRead, gateWrite)) || !MakePipe(reportRead, reportWrite) ||
      !MakePipe(statusRead, statusWrite)) {
    return fail("pipe", errno);
  }

  std::vector<char*> argv = CStrings(options.argv);
  std::vector<char*> envp = CStrings(options.env);
  ChildPlan plan{options.program.empty() ? options.argv[0].c_str() : options.program.c_str(),
                 argv.data(),
                 envp.data(),
                 options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str(),
                 stdinRead                                      ? stdinRead.get()
                 : options.stdinMode == Stream::Given && options.givenStdin >= 0 ? options.givenStdin
                                                                                 : devNull.get(),
                 stdoutWrite                                      ? stdoutWrite.get()
                 : options.stdoutMode == Stream::Given && options.givenStdout >= 0 ? options.givenStdout
                                                                                   : devNull.get(),
                 stderrWrite                                      ? stderrWrite.get()
                 : options.stderrMode == Stream::Given && options.givenStderr >= 0 ? options.givenStderr
                                                                                   : devNull.get(),
                 gateRead ? gateRead.get() : -1,
                 reportWrite.get(),
                 controlKeeper.get(),
                 statusWrite.get(),
                 getpid(),
                 {},
                 {},
                 static_cast<int>(options.inherit.size()),
                 options.handOff};
  for (size_t i = 0; i < options.inherit.size(); ++i) {
    plan.inheritFds[i] = options.inherit[i].fd;
    plan.inheritAs[i] = options.inherit[i].as;
  }
  pid_t keeper = -1;
  int forkError = 0;
  TheSpawner().Run([&] {
    keeper = fork();
    if (keeper == 0) RunKeeper(plan);
    if (keeper < 0) forkError = errno;
  });
  if (keeper < 0) return fail("fork", forkError);
  setpgid(keeper, keeper);

  std::unique_ptr<Child> child(new Child());
  child->keeper_ = keeper;
  child->control_ = std::move(controlHost);
  // The child's ends go now, so end of file on the report pipe means exec (or a keeper that
  // could not make the run).
  controlKeeper.Reset();
  stdinRead.Reset();
  stdoutWrite.Reset();
  stderrWrite.Reset();
  gateRead.Reset();
  reportWrite.Reset();
  statusWrite.Reset();

  Report report{};
  bool reported = ReadReport(reportRead.get(), report);
  if (reported && report.tag == 'J') {
    child.reset();  // reaps the keeper
    return fail("job", report.error);
  }
  // The keeper names the program right after forking it (after a note when it is no subreaper).
  Report status{};
  while (ReadReport(statusRead.get(), status) && status.tag != 'P') {
    if (status.tag == 'D') NoteDegradedJob(status.error);
  }
  if (status.tag != 'P') {
    child.reset();
    return fail("job", ECHILD);
  }
  child->pid_ = static_cast<pid_t>(status.error);
  if (reported && report.tag == 'E') {
    child.reset();  // the keeper reaps the program and exits; this reaps the keeper
    return fail("exec", report.error);
  }
  if (!reported && options.startSuspended) {
    child.reset();  // the program ended at its gate without a word (the keeper could not arrange it)
    return fail("job", ECHILD);
  }
  fcntl(statusRead.get(), F_SETFL, fcntl(statusRead.get(), F_GETFL) | O_NONBLOCK);
  child->status_ = std::move(statusRead);
  child->gate_ = std::move(gateWrite);
  if (options.startSuspended) child->report_ = std::move(reportRead);
  child->stdinWrite_ = std::move(stdinWrite);
  child->stdoutRead_ = std::move(stdoutRead);
  child->stderrRead_ = std::move(stderrRead);
  result.child = std::move(child);
  return result;
}

int ExitCodeOf(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return 1;
}

std::vector<std::string> CurrentEnvironment() {
  std::vector<std::string> out;
  for (char** e = environ; e && *e; ++e) out.emplace_back(*e);
  return out;
}

std::string FindOnPath(const std::string& name, const std::vector<std::string>& env) {
  if (name.empty()) return {};
  if (name.find('/') != std::string::npos) return name;
  std::string list = "/usr/local/bin:/usr/bin:/bin";
  for (const std::string& entry : env) {
    if (entry.rfind("PATH=", 0) == 0 && entry.size() > 5) list = entry.substr(5);
  }
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    std::string dir = list.substr(start, end - start);
    if (!dir.empty()) {
      std::string candidate = dir + "/" + name;
      struct stat st {};
      if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0) {
        return candidate;
      }
    }
    start = end + 1;
  }
  return {};
}

void OutputTail::Feed(const char* data, size_t length) {
  if (length == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  // Only the last maxBytes_ of what arrived can stay.
  if (length > maxBytes_) {
    data += length - maxBytes_;
    length = maxBytes_;
    text_.clear();
  }
  text_.append(data, length);
  if (text_.size() > maxBytes_) text_.erase(0, text_.size() - maxBytes_);
  // Keep the last maxLines_ lines: find where the line before them ends.
  size_t lines = 0;
  size_t at = text_.size();
  if (at > 0 && text_[at - 1] == '\n') --at;  // a finished last line is not a line more
  while (at > 0) {
    size_t newline = text_.rfind('\n', at - 1);
    if (newline == std::string::npos) break;
    if (++lines == maxLines_) {
      text_.erase(0, newline + 1);
      break;
    }
    at = newline;
  }
}

std::string OutputTail::Text() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_;
}

}  // namespace platform::process
