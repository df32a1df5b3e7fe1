#pragma once
// What the test plugin programs share: their settings, a whole write to a descriptor, and a
// descendant that escapes its run the way a daemon would.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include <cstdlib>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

inline nlohmann::json ChildSettings() {
  const char* text = std::getenv("QVN_PLUGIN_SETTINGS");
  nlohmann::json settings = nlohmann::json::parse(text ? text : "{}", nullptr, false);
  return settings.is_object() ? settings : nlohmann::json::object();
}

inline void WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// "escapee": path — a double fork with a setsid() between: the grandchild, in a session and
// process group of its own and orphaned by its parent's exit, writes its pid to path (written
// to path.tmp, then renamed, so a reader never sees half a number) and sleeps until killed.
// The caller goes on once the pid is written, so a run that ends at once has left it behind.
inline void LeaveEscapee(const nlohmann::json& settings) {
  if (!settings.contains("escapee") || !settings["escapee"].is_string()) return;
  const std::string path = settings["escapee"].get<std::string>();
  int written[2];
  if (pipe(written) != 0) return;
  const pid_t first = fork();
  if (first != 0) {
    close(written[1]);
    char byte;
    while (read(written[0], &byte, 1) < 0 && errno == EINTR) {
    }
    close(written[0]);
    int status;
    while (first > 0 && waitpid(first, &status, 0) < 0 && errno == EINTR) {
    }
    return;
  }
  close(written[0]);
  setsid();
  if (fork() != 0) _exit(0);
  // Like a daemon, it lets go of the streams it was given.
  const int null = open("/dev/null", O_RDWR);
  for (int fd = 0; fd < 3; ++fd) dup2(null, fd);
  std::ofstream(path + ".tmp") << getpid() << "\n";
  rename((path + ".tmp").c_str(), path.c_str());
  close(written[1]);  // end of file for the caller: the pid is written
  for (;;) pause();
}
