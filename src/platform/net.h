#pragma once
// Loopback TCP sockets. Sends never raise SIGPIPE; a thread blocked on a socket is woken by
// ShutdownSocket from another thread, and only the socket's owner ever closes it (the kernel
// hands a closed descriptor number to the next socket at once).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <sys/uio.h>

namespace platform::net {

// Ignores SIGPIPE process-wide; every send also passes MSG_NOSIGNAL.
void IgnoreSigpipe();

// A TCP socket with SO_REUSEADDR bound to 127.0.0.1 on a port the system picks, listening with
// the backlog. Returns the descriptor and the port, or -1.
int ListenLoopback(int backlog, uint16_t* port);  // non-blocking, for a poll loop

// Test seam: replaces ListenLoopback (an empty function restores the real one).
using ListenFn = std::function<int(int backlog, uint16_t* port)>;
void SetListenForTesting(ListenFn listen);

// A blocking TCP socket with SO_REUSEADDR (never SO_REUSEPORT, so a second process cannot share
// the port) bound to 0.0.0.0 on port (0: the system picks) and listening with the backlog.
// Returns the descriptor and the bound port, or -1.
int ListenAnyIpv4(uint16_t port, int backlog, uint16_t* boundPort);

// The peer's IPv4 address as dotted text, "0.0.0.0" when it cannot be had.
std::string PeerIpv4(int fd);

// A blocking TCP connection to 127.0.0.1:port, or -1.
int ConnectLoopback(uint16_t port);

// A pipe whose read end wakes a poll loop once a byte is written to it. fds[0] reads, fds[1]
// writes; both close-on-exec and non-blocking.
bool MakeWakePipe(int fds[2]);
void WakeUp(int writeFd);

enum class WaitResult { Ready, Woken, TimedOut, Failed };
// Waits until fd is readable, wakeFd (may be -1) is readable, or timeoutMs passes (negative: no
// limit). EINTR is retried with the remaining time.
WaitResult WaitReadable(int fd, int wakeFd, int timeoutMs);

// accept4 with close-on-exec; -1 on failure with errno kept.
int AcceptConnection(int listenFd);

// Writes all bytes; false as soon as send fails or returns 0.
bool SendAll(int fd, const void* bytes, size_t length);
// Writes head and then body as one stream with vectored sends (no copy joins them); false as
// soon as a send fails or returns 0.
bool SendAllPair(int fd, const void* head, size_t headLength, const void* body, size_t bodyLength);
// The same for any number of parts, sent as one stream; the parts are consumed (lengths left 0).
bool SendAllParts(int fd, iovec* parts, int count);

// One recv; the result as recv returns it, EINTR retried.
ssize_t Receive(int fd, void* buffer, size_t length);
// One recv that does not wait: -1 with errno EAGAIN/EWOULDBLOCK when nothing is there yet, so a
// reader kept busy by its peer needs no poll before every read.
ssize_t ReceiveNow(int fd, void* buffer, size_t length);

void SetNoDelay(int fd);
// A send that makes no progress for this long fails (EAGAIN) instead of blocking forever.
void SetSendTimeout(int fd, int milliseconds);
void ShutdownSocket(int fd);
void CloseSocket(int fd);

}  // namespace platform::net
