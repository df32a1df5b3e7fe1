#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/crypto.h"

namespace platform {

bool ReadFile(const std::string& path, std::string* out, size_t maxBytes) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st{};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<unsigned long long>(st.st_size) > maxBytes) {
    close(fd);
    return false;
  }
  std::string data;
  char buf[65536];
  while (true) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      close(fd);
      return false;
    }
    if (n == 0) break;
    if (data.size() + static_cast<size_t>(n) > maxBytes) {
      close(fd);
      return false;
    }
    data.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  *out = std::move(data);
  return true;
}

bool WriteFileAtomic(const std::string& path, const std::string& data, unsigned mode) {
  uint8_t rnd[6];
  if (!RandomBytes(rnd, sizeof rnd)) return false;
  static const char kDigits[] = "0123456789abcdef";
  std::string suffix;
  for (uint8_t b : rnd) suffix += kDigits[b >> 4], suffix += kDigits[b & 0xF];
  std::string temp = path + ".tmp-" + suffix;
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode));
  if (fd < 0) return false;
  bool ok = fchmod(fd, static_cast<mode_t>(mode)) == 0 && WriteAll(fd, data.data(), data.size());
  ok = ok && fsync(fd) == 0;
  ok = (close(fd) == 0) && ok;
  ok = ok && rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) unlink(temp.c_str());
  return ok;
}

bool WriteAll(int fd, const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t n = write(fd, p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

FileAppendResult AppendToFile(const std::string& path, const void* data, size_t length, bool truncate) {
  FileAppendResult result;
  int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | (truncate ? O_TRUNC : 0);
  int fd = open(path.c_str(), flags, 0644);
  if (fd < 0) {
    result.openError = errno;
    return result;
  }
  result.ok = WriteAll(fd, data, length);
  if (close(fd) != 0) result.ok = false;
  return result;
}

bool PathExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

}  // namespace platform
