#include "platform/paths.h"

#include <dirent.h>

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace platform {

std::string ExecutablePath() {
  std::vector<char> buf(4096);
  ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return {};
  return std::string(buf.data(), static_cast<size_t>(n));
}

std::string ExecutableDir() {
  std::string exe = ExecutablePath();
  size_t slash = exe.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return exe.substr(0, slash);
}

std::string LocalAppDataDir() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return JoinPath(JoinPath(home, ".local"), "share");
  return {};
}

std::string TempDir() {
  const char* tmp = std::getenv("TMPDIR");
  if (tmp && tmp[0] == '/') return tmp;
  return "/tmp";
}

bool CreateDirectory(const std::string& path, unsigned mode) {
  if (path.empty()) return false;
  if (mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0) return true;
  if (errno != EEXIST) return false;
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateDirectories(const std::string& path, unsigned mode) {
  if (path.empty()) return false;
  for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    std::string prefix = path.substr(0, pos);
    if (!CreateDirectory(prefix, mode)) return false;
  }
  return CreateDirectory(path, mode);
}

std::string JoinPath(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (a.back() == '/') return a + b;
  return a + "/" + b;
}

std::vector<std::string> ListDirectory(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (!dir) return names;
  while (struct dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  closedir(dir);
  return names;
}

}  // namespace platform
