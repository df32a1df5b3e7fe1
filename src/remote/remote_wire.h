#pragma once
// The remote listener's own small WebSocket layer: whole single-frame messages of at most 65535
// bytes over blocking sockets with time-outs, the header lookups of the upgrade request, and the
// settings file. Each read buffer belongs to one connection thread; a socket written by more than
// one thread passes the writer lock its owner keeps, so frames never interleave.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace remote {

inline constexpr size_t kMaxFramePayload = 65535;
inline constexpr size_t kReadBufferLimit = 81920;
// Client frames are all masked with this one key, in wire order.
inline constexpr uint8_t kClientMaskKey[4] = {0x5a, 0x0c, 0xe3, 0x71};

enum class ReadResult { Message = 0, Timeout = 1, Closed = 2 };

// SO_RCVTIMEO to receiveMs; SO_SNDTIMEO to sendMs only when sendMs >= 0.
void SetSocketTimeouts(int fd, int32_t receiveMs, int32_t sendMs);

// The whole frame with FIN set; empty when the payload is longer than kMaxFramePayload.
std::string EncodeFrame(uint8_t opcode, const std::string& payload, bool mask);

// Sends one frame under writeLock (may be null when only one thread writes); false when the
// payload is too long (nothing is sent) or a send fails.
bool WsWriteFrame(int fd, uint8_t opcode, const std::string& payload, bool mask, std::mutex* writeLock = nullptr);
bool WsSendText(int fd, const std::string& text, bool mask, std::mutex* writeLock = nullptr);
// Close frame (never masked: only the server side sends them): code big-endian, then reason.
bool WsSendClose(int fd, uint16_t code, const std::string& reason, std::mutex* writeLock = nullptr);

struct WireFrame {
  uint8_t opcode = 0;
  std::string payload;  // unmasked
};
enum class FrameStatus { NeedMore, Frame, Error };
// Takes one complete frame off the front of buffer. Error for a 64-bit length, a clear FIN bit,
// reserved bits, or a MASK bit other than expectMasked; the bytes after the frame stay.
FrameStatus TakeFrame(std::string& buffer, bool expectMasked, WireFrame* frame);

// Reads until one text message is complete: Message (stored in text), Timeout (the socket's
// receive time-out passed; buffer kept) or Closed (peer closed, read error, protocol error, a
// close frame, or more than kReadBufferLimit bytes without a whole frame). Pings are answered
// with a pong of the same payload; other frames are skipped.
ReadResult WsReadMessage(int fd, std::string& buffer, std::string* text, bool expectMasked,
                         std::mutex* writeLock = nullptr);

// What bounds one read beyond the socket's own receive time-out.
struct ReadLimits {
  // With a clock: the read ends with Timeout once deadlineMs has passed on it, however slowly
  // bytes keep coming; each receive then waits at most receiveMs and never past the deadline.
  std::function<int64_t()> steadyMs;
  int64_t deadlineMs = 0;
  int32_t receiveMs = 1000;
  // When set, counts every whole frame taken, pings and pongs too: a peer that only keeps its
  // connection alive can be told from a silent one.
  uint64_t* frames = nullptr;
};
ReadResult WsReadMessage(int fd, std::string& buffer, std::string* text, bool expectMasked, std::mutex* writeLock,
                         const ReadLimits& limits);
// A ping with an empty payload (masked from the client side) under writeLock.
bool WsSendPing(int fd, bool mask, std::mutex* writeLock = nullptr);

// The value of the first line that begins, in any letter case, with name and ':'; leading spaces
// skipped, trailing ones kept. Every line is examined, the request line and an unterminated last
// line too. "" when none matches.
std::string FindHeaderValue(const std::string& request, const std::string& name);
// Some line is an Origin header (any letter case; a longer name that starts with Origin is not).
bool HasOriginHeader(const std::string& request);

// remote-access.json in the host's data folder (created when missing); "" without a data folder.
std::string RemoteSettingsPath();
struct RemoteSettings {
  bool enabled = false;
  int32_t port = 0;
};
// Missing or broken files read as disabled with port 0; reading stops at the first member of the
// wrong type and keeps what it read before.
RemoteSettings LoadRemoteSettings(const std::string& path);
// {"enabled":..,"port":..,"v":1}, written to a temporary file and renamed; failures are dropped.
void SaveRemoteSettings(const std::string& path, bool enabled, int32_t port);

}  // namespace remote
