#pragma once
// Child processes: started from an argv list and a whole environment block (never through a
// shell), optionally suspended until Resume, with pipes for the standard streams, each run
// inside a job.
//
// The job: every run has a keeper, a small process forked from the host that is a child
// subreaper and the program's parent. Every descendant of the program that loses its parent
// (a double fork, a setsid, a new process group) is adopted by the keeper, so the keeper holds
// the whole run. It kills all it holds when the host ends the job, when the Child is destroyed
// and when the host dies (its end of the host's control socket closes), then exits; its exit
// is the job being empty. Where the kernel refuses the subreaper, the job still ends the
// program's process group and the host logs once what it cannot hold.
//
// Threads: every fork happens on one long-lived spawner thread (a death signal follows the
// thread that forked). Spawn may be called from any thread; it hands the work over and waits.
// A Child is owned by one owner; its methods may be called from several threads (the stdio
// reader and the supervisor), and Wait/HasExited/End/WaitForJobToEmpty are safe together.
//
// Invariants: no descriptor of the host but the three standard streams reaches a program; a
// failed exec is reported with its errno and leaves no process behind; every process of a run
// is reaped, by its keeper, and the keeper by the Child's destructor, which ends the job first.
// Signals reach the program only through its keeper, which has not reaped it yet, so they can
// never go to another process that took its pid.
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace platform::process {

// Given: the descriptor in SpawnOptions (a file the child reads or writes directly).
enum class Stream { Pipe, Null, Given };

struct SpawnOptions {
  std::vector<std::string> argv;  // argv[0] is the program's path (no PATH search)
  std::vector<std::string> env;   // "NAME=value" entries: the child's whole environment
  std::string workingDirectory;   // "" keeps the host's
  bool startSuspended = false;    // the child runs nothing of the program before Resume
  Stream stdinMode = Stream::Null;
  Stream stdoutMode = Stream::Null;
  Stream stderrMode = Stream::Pipe;
  int givenStdin = -1;   // Stream::Given only; the caller keeps ownership
  int givenStdout = -1;  // Stream::Given only; the caller keeps ownership
};

class Child {
 public:
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // The host's ends of the pipes asked for (invalid for Stream::Null); the owner may move them out.
  UniqueFd& stdinWrite() { return stdinWrite_; }
  UniqueFd& stdoutRead() { return stdoutRead_; }
  UniqueFd& stderrRead() { return stderrRead_; }

  // Lets a suspended child go on to run its program; false when it was not suspended, is gone
  // or its exec failed (resumeError() then holds the errno).
  bool Resume();
  int resumeError() const { return resumeError_; }
  // SIGKILL (the default) ends the job: every process the run holds is killed. Another signal
  // goes to the program's process group while the program lives.
  void End(int signal = 9);
  // Waits at most timeout for the child to exit; true with its wait status when it did.
  bool Wait(std::chrono::milliseconds timeout, int* status = nullptr);
  bool HasExited() { return Wait(std::chrono::milliseconds(0)); }
  // Waits at most timeout until no process of the run is left (after End, or once the program
  // and everything it started have exited). False when some remain.
  bool WaitForJobToEmpty(std::chrono::milliseconds timeout);

 private:
  friend struct SpawnResult Spawn(const SpawnOptions& options);
  Child() = default;

  bool WaitFor(std::chrono::milliseconds timeout, bool wholeJob);
  void DrainStatusLocked();

  pid_t pid_ = -1;     // the program
  pid_t keeper_ = -1;  // the run's keeper, the host's own child
  UniqueFd control_;   // host's end of the keeper's control socket: a byte is a signal; closing ends the job
  UniqueFd status_;    // the keeper's reports (non-blocking): the program's end; end of file: job empty
  UniqueFd gate_;      // write end of the suspend gate; closed at Resume
  UniqueFd report_;    // a suspended child's report pipe, read at Resume
  UniqueFd stdinWrite_, stdoutRead_, stderrRead_;
  std::mutex mutex_;  // guards everything below and the gate, report and control descriptors
  int resumeError_ = 0;
  bool exited_ = false;
  bool keeperGone_ = false;
  int waitStatus_ = 0;
};

struct SpawnResult {
  std::unique_ptr<Child> child;  // null on failure
  int error = 0;                 // errno of what failed (the exec's own errno when exec failed)
  std::string what;              // "pipe", "fork", "exec", "job" (the run's job could not be made)
};

SpawnResult Spawn(const SpawnOptions& options);

// The host's environment as "NAME=value" entries.
std::vector<std::string> CurrentEnvironment();

}  // namespace platform::process
