#include "platform/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace platform::net {

void IgnoreSigpipe() { signal(SIGPIPE, SIG_IGN); }

namespace {

std::mutex g_listenOverrideLock;

ListenFn& ListenOverride() {
  static auto* fn = new ListenFn;
  return *fn;
}

}  // namespace

void SetListenForTesting(ListenFn listen) {
  std::lock_guard<std::mutex> lock(g_listenOverrideLock);
  ListenOverride() = std::move(listen);
}

namespace {

// A TCP socket with SO_REUSEADDR bound to address:port and listening; -1 on any failure.
int ListenIpv4(uint32_t address, uint16_t port, int socketFlags, int backlog, uint16_t* boundPort) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | socketFlags, IPPROTO_TCP);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(address);
  addr.sin_port = htons(port);
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return -1;
  }
  *boundPort = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

int ListenLoopback(int backlog, uint16_t* port) {
  IgnoreSigpipe();
  {
    std::lock_guard<std::mutex> lock(g_listenOverrideLock);
    if (ListenOverride()) return ListenOverride()(backlog, port);
  }
  return ListenIpv4(INADDR_LOOPBACK, 0, SOCK_NONBLOCK, backlog, port);
}

int ListenAnyIpv4(uint16_t port, int backlog, uint16_t* boundPort) {
  IgnoreSigpipe();
  return ListenIpv4(INADDR_ANY, port, 0, backlog, boundPort);
}

std::string PeerIpv4(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  char text[INET_ADDRSTRLEN] = {};
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || addr.sin_family != AF_INET ||
      inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text) == nullptr) {
    return "0.0.0.0";
  }
  return text;
}

int ConnectLoopback(uint16_t port) {
  IgnoreSigpipe();
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool MakeWakePipe(int fds[2]) { return pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0; }

void WakeUp(int writeFd) {
  const char byte = 1;
  ssize_t n;
  do {
    n = write(writeFd, &byte, 1);
  } while (n < 0 && errno == EINTR);
}

WaitResult WaitReadable(int fd, int wakeFd, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    int wait = -1;
    if (timeoutMs >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = left < 0 ? 0 : static_cast<int>(left);
    }
    int n = poll(fds, wakeFd >= 0 ? 2 : 1, wait);
    if (n < 0) {
      if (errno == EINTR) continue;
      return WaitResult::Failed;
    }
    if (n == 0) return WaitResult::TimedOut;
    if (wakeFd >= 0 && fds[1].revents) return WaitResult::Woken;
    return WaitResult::Ready;  // readable, hung up or in error: the next recv tells which
  }
}

int AcceptConnection(int listenFd) { return accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC); }

bool SendAll(int fd, const void* bytes, size_t length) {
  const char* p = static_cast<const char*>(bytes);
  while (length > 0) {
    ssize_t n = send(fd, p, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool SendAllParts(int fd, iovec* parts, int count) {
  int first = 0;
  while (first < count) {
    if (parts[first].iov_len == 0) {
      ++first;
      continue;
    }
    msghdr message{};
    message.msg_iov = parts + first;
    message.msg_iovlen = static_cast<size_t>(count - first);
    ssize_t n = sendmsg(fd, &message, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    // Step over what went out, across the parts.
    size_t sent = static_cast<size_t>(n);
    while (first < count && sent >= parts[first].iov_len) {
      sent -= parts[first].iov_len;
      parts[first].iov_len = 0;
      ++first;
    }
    if (first < count) {
      parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + sent;
      parts[first].iov_len -= sent;
    }
  }
  return true;
}

bool SendAllPair(int fd, const void* head, size_t headLength, const void* body, size_t bodyLength) {
  iovec parts[2] = {{const_cast<void*>(head), headLength}, {const_cast<void*>(body), bodyLength}};
  return SendAllParts(fd, parts, 2);
}

ssize_t Receive(int fd, void* buffer, size_t length) {
  ssize_t n;
  do {
    n = recv(fd, buffer, length, 0);
  } while (n < 0 && errno == EINTR);
  return n;
}

ssize_t ReceiveNow(int fd, void* buffer, size_t length) {
  ssize_t n;
  do {
    n = recv(fd, buffer, length, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  return n;
}

void SetNoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void SetSendTimeout(int fd, int milliseconds) {
  timeval tv{};
  tv.tv_sec = milliseconds / 1000;
  tv.tv_usec = (milliseconds % 1000) * 1000;
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void ShutdownSocket(int fd) { shutdown(fd, SHUT_RDWR); }

void CloseSocket(int fd) { close(fd); }

}  // namespace platform::net
