#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/strings.h"
#include "platform/crypto.h"
#include "platform/unique_fd.h"

namespace platform {

namespace {

FileTrust TrustOf(const struct stat& st) {
  FileTrust trust;
  if (!S_ISREG(st.st_mode)) {
    trust.whyNot = "not a regular file";
  } else if (st.st_uid != geteuid() && st.st_uid != 0) {
    trust.whyNot = "owned by another user";
  } else if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    trust.whyNot = "writable by others";
  } else {
    trust.trusted = true;
  }
  return trust;
}

// Reads what fd holds, at most maxBytes; the file was checked to be regular.
bool ReadAllFrom(int fd, size_t maxBytes, std::string* out) {
  std::string data;
  char buf[65536];
  while (true) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    if (data.size() + static_cast<size_t>(n) > maxBytes) return false;
    data.append(buf, static_cast<size_t>(n));
  }
  *out = std::move(data);
  return true;
}

// Opens for reading without ever waiting on a FIFO or device; fills st.
UniqueFd OpenForReading(const std::string& path, struct stat* st) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd || fstat(fd.get(), st) != 0) return UniqueFd();
  return fd;
}

}  // namespace

bool ReadFile(const std::string& path, std::string* out, size_t maxBytes) {
  struct stat st {};
  UniqueFd fd = OpenForReading(path, &st);
  if (!fd || !S_ISREG(st.st_mode) || static_cast<unsigned long long>(st.st_size) > maxBytes) return false;
  return ReadAllFrom(fd.get(), maxBytes, out);
}

bool ReadTrustedFile(const std::string& path, std::string* out, size_t maxBytes, FileTrust* trust) {
  *trust = FileTrust{};
  struct stat st {};
  UniqueFd fd = OpenForReading(path, &st);
  if (!fd) return false;
  *trust = TrustOf(st);
  if (!trust->trusted || static_cast<unsigned long long>(st.st_size) > maxBytes) return false;
  return ReadAllFrom(fd.get(), maxBytes, out);
}

bool WriteFileAtomic(const std::string& path, const std::string& data, unsigned mode, bool durable) {
  uint8_t rnd[6];
  if (!RandomBytes(rnd, sizeof rnd)) return false;
  std::string temp = path + ".tmp-" + HexLower(rnd, sizeof rnd);
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode));
  if (fd < 0) return false;
  bool ok = fchmod(fd, static_cast<mode_t>(mode)) == 0 && WriteAll(fd, data.data(), data.size());
  ok = ok && (!durable || fsync(fd) == 0);
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

std::string FileErrorCause(int errnoValue) {
  switch (errnoValue) {
    case ENOENT: return "no such file or folder";
    case EISDIR: return "is a folder";
    case ENOTDIR: return "a part of the path is not a folder";
    case EACCES:
    case EPERM: return "permission denied";
    case EROFS: return "read-only file system";
    case ENOSPC:
    case EDQUOT: return "no space left on the disk";
    case ENAMETOOLONG: return "the name is too long";
    case ELOOP: return "too many symbolic links on the path";
    default: return {};
  }
}

std::string WithCause(const std::string& text, const std::string& cause) {
  return cause.empty() ? text : text + ": " + cause;
}

}  // namespace platform
