#include "platform/shell.h"

#include "base/thread.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <thread>

extern char** environ;

namespace platform {
namespace {

pid_t Spawn(const std::vector<std::string>& argv) {
  if (argv.empty()) return -1;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The child must not inherit our standard input; its output joins our log.
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", 0, 0);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

int Wait(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
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
  pid_t pid = Spawn(argv);
  if (pid < 0) return -1;
  return Wait(pid);
}

bool StartProgram(const std::vector<std::string>& argv) {
  pid_t pid = Spawn(argv);
  if (pid < 0) return false;
  if (!base::StartDetachedThread("shell", [pid] { Wait(pid); })) {
    Wait(pid);  // no thread to reap it: the hand-off programs exit quickly, so wait here
  }
  return true;
}

bool OpenExternal(const std::string& target) { return StartProgram({"xdg-open", target}); }

}  // namespace platform
