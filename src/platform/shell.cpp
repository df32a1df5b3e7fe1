#include "platform/shell.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>

#include "base/thread.h"
#include "platform/process.h"

namespace platform {
namespace {

// argv[0] looked up on the host's PATH, run through the process facility: standard input
// from /dev/null, its output joins the host's.
std::unique_ptr<process::Child> Start(const std::vector<std::string>& argv, bool handOff) {
  if (argv.empty()) return nullptr;
  process::SpawnOptions options;
  options.argv = argv;
  options.env = process::CurrentEnvironment();
  options.program = process::FindOnPath(argv[0], options.env);
  if (options.program.empty()) return nullptr;
  options.stdoutMode = process::Stream::Given;
  options.givenStdout = STDOUT_FILENO;
  options.stderrMode = process::Stream::Given;
  options.givenStderr = STDERR_FILENO;
  options.handOff = handOff;
  return std::move(process::Spawn(options).child);
}

int Wait(process::Child& child) {
  int status = 0;
  while (!child.Wait(std::chrono::hours(1), &status)) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

bool HasDisplay() {
  const char* x = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (w && *w);
}

int RunProgram(const std::vector<std::string>& argv) {
  std::unique_ptr<process::Child> child = Start(argv, false);
  return child ? Wait(*child) : -1;
}

bool StartProgram(const std::vector<std::string>& argv) {
  std::shared_ptr<process::Child> child = Start(argv, true);
  if (!child) return false;
  if (!base::StartDetachedThread("shell", [child] { Wait(*child); })) {
    Wait(*child);  // no thread to reap it: the hand-off programs exit quickly, so wait here
  }
  return true;
}

bool OpenExternal(const std::string& target) { return StartProgram({"xdg-open", target}); }

}  // namespace platform
