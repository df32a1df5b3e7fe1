#pragma once
// Child processes: the one way the host starts any child (plugins, decoders, converters, the
// dialogs, the openers, the browser). Started from an argv list and a whole environment block
// (never through a shell), optionally suspended until Resume, with pipes for the standard
// streams and further descriptors placed at the numbers the program expects, each run inside a
// job.
//
// The job: every run has a keeper, a small process forked from the host that is a child
// subreaper and the program's parent. Every descendant of the program that loses its parent
// (a double fork, a setsid, a new process group) is adopted by the keeper, so the keeper holds
// the whole run. It kills all it holds when the host ends the job, when the Child is destroyed
// and when the host dies (its end of the host's control socket closes), then exits; its exit
// is the job being empty. Where the kernel refuses the subreaper, the job still ends the
// program's process group and the host logs once what it cannot hold.
//
// A hand-off run (SpawnOptions::handOff, for the openers) is the desktop's once started: its
// keeper holds nothing but the program, reaps it and reports its end, and lets go of whatever
// is still running when the Child is destroyed or the host ends (what the user opened is theirs).
//
// Threads: every fork happens on one long-lived spawner thread (a death signal follows the
// thread that forked). Spawn may be called from any thread; it hands the work over and waits.
// A Child is owned by one owner; its methods may be called from several threads (the stdio
// reader and the supervisor), and Wait/HasExited/End/WaitForJobToEmpty are safe together.
//
// Invariants: no descriptor of the host but the three standard streams and the ones named in
// SpawnOptions::inherit reaches a program; a failed exec is reported with its errno and leaves
// no process behind; every process of a run is reaped, by its keeper (or, for what a hand-off
// run let go of, by the system), and the keeper by the Child's destructor, which ends the job
// first.
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

// A descriptor of the host that the program gets as descriptor number `as` (3 to 63). The
// caller keeps ownership of fd; the program's copy is its own.
struct InheritedFd {
  int fd = -1;
  int as = -1;
};

struct SpawnOptions {
  std::vector<std::string> argv;  // given to the program as it is
  std::string program;            // the file run ("" = argv[0]); no PATH search: see FindOnPath
  std::vector<std::string> env;   // "NAME=value" entries: the child's whole environment
  std::string workingDirectory;   // "" keeps the host's
  bool startSuspended = false;    // the child runs nothing of the program before Resume
  Stream stdinMode = Stream::Null;
  Stream stdoutMode = Stream::Null;
  Stream stderrMode = Stream::Pipe;
  int givenStdin = -1;   // Stream::Given only; the caller keeps ownership
  int givenStdout = -1;  // Stream::Given only; the caller keeps ownership
  int givenStderr = -1;  // Stream::Given only; the caller keeps ownership
  std::vector<InheritedFd> inherit;  // at most kMaxInherited, each number once
  bool handOff = false;  // an opener's run: see the top of this file
};

inline constexpr size_t kMaxInherited = 8;

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

// The exit code a wait status stands for: the program's own, or 128 + the signal that ended it
// (as a shell reports it).
int ExitCodeOf(int waitStatus);

// The host's environment as "NAME=value" entries.
std::vector<std::string> CurrentEnvironment();

// name itself when it holds a '/'; otherwise the first executable regular file of that name on
// the PATH of env ("/usr/local/bin:/usr/bin:/bin" when env has none or an empty one); "" when
// there is none.
std::string FindOnPath(const std::string& name, const std::vector<std::string>& env);

// The last lines a child wrote on one of its streams, for the log when it fails: at most
// maxLines lines (an unfinished last line counts as one) and maxBytes bytes, oldest first; a
// line cut by the byte bound loses its start. One thread feeds it; any thread may read it.
class OutputTail {
 public:
  explicit OutputTail(size_t maxLines = 20, size_t maxBytes = 4096) : maxLines_(maxLines), maxBytes_(maxBytes) {}
  void Feed(const char* data, size_t length);
  std::string Text() const;

 private:
  const size_t maxLines_, maxBytes_;
  mutable std::mutex mutex_;
  std::string text_;  // guarded by mutex_; never longer than maxBytes_
};

}  // namespace platform::process
