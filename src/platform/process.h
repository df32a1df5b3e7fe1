#pragma once
// Child processes: started from an argv list and a whole environment block (never through a
// shell), optionally suspended until Resume, each in a process group of its own that serves as
// its job (ending the job ends every descendant that stayed in the group), with pipes for the
// standard streams.
//
// Threads: every fork happens on one long-lived spawner thread, because the death signal a
// child asks for (the child dies when the host does) follows the thread that forked it, not the
// process. Spawn may be called from any thread; it hands the work over and waits for it.
// A Child is owned by one owner; its methods may be called from several threads (the stdio
// reader and the supervisor), and Wait/HasExited/End are safe together.
//
// Invariants: no descriptor of the host but the three standard streams reaches a child; a
// failed exec is reported with its errno and leaves no process behind; every child is reaped,
// by the Child's destructor, which ends the job first. Until then an exited child is only
// looked at, never reaped, so its pid (and the job's group id) cannot go to another process.
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
  // Ends the job: signal to the whole process group (SIGKILL by default).
  void End(int signal = 9);
  // Waits at most timeout for the child to exit; true with its wait status when it did.
  bool Wait(std::chrono::milliseconds timeout, int* status = nullptr);
  bool HasExited() { return Wait(std::chrono::milliseconds(0)); }
  // After End: waits at most timeout until no live process is left in the job's group (the
  // leader stays as an unreaped zombie, which does not count). False when some remain.
  bool WaitForJobToEmpty(std::chrono::milliseconds timeout);

 private:
  friend struct SpawnResult Spawn(const SpawnOptions& options);
  Child() = default;

  pid_t pid_ = -1;
  UniqueFd pidfd_;
  UniqueFd gate_;    // write end of the suspend gate; closed at Resume
  UniqueFd report_;  // a suspended child's report pipe, read at Resume
  UniqueFd stdinWrite_, stdoutRead_, stderrRead_;
  std::mutex mutex_;  // guards the gate and the report pipe
  int resumeError_ = 0;
};

struct SpawnResult {
  std::unique_ptr<Child> child;  // null on failure
  int error = 0;                 // errno of what failed (the exec's own errno when exec failed)
  std::string what;              // "pipe", "fork", "exec", "spawner"
};

SpawnResult Spawn(const SpawnOptions& options);

// The host's environment as "NAME=value" entries.
std::vector<std::string> CurrentEnvironment();

}  // namespace platform::process
