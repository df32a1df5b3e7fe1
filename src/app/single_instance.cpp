#include "app/single_instance.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace {

constexpr char kShowRequest[] = "show\n";
constexpr char kShowAnswer[] = "shown\n";
constexpr int kAnswerWaitMs = 2000;

std::string ErrnoText(int error) { return std::strerror(error); }

// mkdir -p that says which folder failed and why; "" on success.
std::string CreateFolders(const std::string& path) {
  for (size_t pos = path.find('/', 1);; pos = path.find('/', pos + 1)) {
    const std::string prefix = path.substr(0, pos);
    if (mkdir(prefix.c_str(), 0700) != 0) {
      const int error = errno;
      struct stat st{};
      if (error != EEXIST) return prefix + ": " + ErrnoText(error);
      if (stat(prefix.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return prefix + ": Not a directory";
    }
    if (pos == std::string::npos) return {};
  }
}

bool SocketAddress(const std::string& path, sockaddr_un& address) {
  std::memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size());
  return true;
}

// Waits up to timeoutMs for fd to become readable; reads what is there (at most size bytes).
ssize_t ReadWithin(int fd, char* buffer, size_t size, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return -1;
  return recv(fd, buffer, size, MSG_DONTWAIT);
}

// The second start's side: true when the running instance answered that it showed its window.
bool AskToShow(const std::string& socketPath) {
  sockaddr_un address;
  if (!SocketAddress(socketPath, address)) return false;
  platform::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return false;
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return false;
  if (send(fd.get(), kShowRequest, sizeof(kShowRequest) - 1, MSG_NOSIGNAL) != sizeof(kShowRequest) - 1) return false;
  char answer[16];
  ssize_t n = ReadWithin(fd.get(), answer, sizeof(answer), kAnswerWaitMs);
  return n == static_cast<ssize_t>(sizeof(kShowAnswer) - 1) && std::memcmp(answer, kShowAnswer, n) == 0;
}

}  // namespace

SingleInstance::Result SingleInstance::Acquire(const std::string& dataFolder) {
  Result result;
  if (std::string failed = CreateFolders(dataFolder); !failed.empty()) {
    result.message = "Quorvane cannot create its data folder " + dataFolder + " (" + failed + ").";
    return result;
  }
  const std::string lockPath = dataFolder + "/instance.lock";
  const std::string socketPath = dataFolder + "/instance.sock";
  platform::UniqueFd lock(open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!lock) {
    result.message = "Quorvane cannot write to its data folder " + dataFolder + " (" + lockPath + ": " +
                     ErrnoText(errno) + ").";
    return result;
  }
  if (flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    if (error != EWOULDBLOCK) {
      result.message = "Quorvane cannot lock " + lockPath + ": " + ErrnoText(error) + ".";
      return result;
    }
    result.outcome = Outcome::kAlreadyRunning;
    result.message = "Quorvane is already running with the data folder " + dataFolder + ".";
    if (AskToShow(socketPath)) result.message += " Its window was brought to the front.";
    return result;
  }
  // The pid tells a person which process holds the folder; writing it also shows that the folder
  // takes writes (a full disk fails here, before anything else is started).
  const std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(lock.get(), 0) != 0 || pwrite(lock.get(), pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    const int error = errno;
    result.message = "Quorvane cannot write to its data folder " + dataFolder + " (" + lockPath + ": " +
                     ErrnoText(error) + ").";
    return result;
  }
  result.outcome = Outcome::kAcquired;
  result.instance.reset(new SingleInstance(std::move(lock), socketPath));
  return result;
}

SingleInstance::SingleInstance(platform::UniqueFd lock, std::string socketPath)
    : lock_(std::move(lock)), socketPath_(std::move(socketPath)) {}

SingleInstance::~SingleInstance() {
  if (thread_.joinable()) {
    const char wake = 1;
    (void)!write(wakeWrite_.get(), &wake, 1);
    thread_.join();
  }
  if (listener_) unlink(socketPath_.c_str());  // still under the lock, which closes after this
}

bool SingleInstance::Listen(std::function<void()> onShow) {
  sockaddr_un address;
  if (thread_.joinable() || !SocketAddress(socketPath_, address)) return false;
  platform::UniqueFd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener) return false;
  // A socket file left by a run that ended without removing it; only the lock holder gets here.
  unlink(socketPath_.c_str());
  const mode_t old = umask(0077);
  const bool bound = bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  umask(old);
  if (!bound || listen(listener.get(), 4) != 0) return false;
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    unlink(socketPath_.c_str());
    return false;
  }
  wakeRead_.Reset(pipeFds[0]);
  wakeWrite_.Reset(pipeFds[1]);
  listener_ = std::move(listener);
  onShow_ = std::move(onShow);
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void SingleInstance::Serve() {
  for (;;) {
    pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) continue;
    platform::UniqueFd peer(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!peer) continue;
    // Only the user who runs this instance may ask it for anything.
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (getsockopt(peer.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 || credentials.uid != getuid()) {
      continue;
    }
    char request[16];
    ssize_t n = ReadWithin(peer.get(), request, sizeof(request), kAnswerWaitMs);
    if (n != static_cast<ssize_t>(sizeof(kShowRequest) - 1) || std::memcmp(request, kShowRequest, n) != 0) continue;
    if (onShow_) onShow_();
    (void)send(peer.get(), kShowAnswer, sizeof(kShowAnswer) - 1, MSG_NOSIGNAL);
  }
}
