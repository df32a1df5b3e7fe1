#include "remote/remote_wire.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <nlohmann/json.hpp>

#include "base/json.h"
#include "platform/files.h"
#include "platform/net.h"
#include "platform/paths.h"

namespace remote {

namespace net = platform::net;

namespace {

constexpr uint8_t kOpText = 1, kOpClose = 8, kOpPing = 9, kOpPong = 10;
constexpr size_t kReceiveChunk = 4096;

timeval ToTimeval(int32_t ms) {
  timeval tv{};
  if (ms < 0) ms = 0;
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  return tv;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithHeaderName(const std::string& line, const std::string& name) {
  if (line.size() < name.size() + 1) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (Lower(line[i]) != Lower(name[i])) return false;
  }
  return line[name.size()] == ':';
}

// Calls fn for each line (split at CR LF; a last line without one too) until fn returns true.
template <typename Fn>
bool ForEachLine(const std::string& text, Fn fn) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (fn(line)) return true;
    if (end == std::string::npos) break;
    start = end + 2;
  }
  return false;
}

}  // namespace

void SetSocketTimeouts(int fd, int32_t receiveMs, int32_t sendMs) {
  timeval rcv = ToTimeval(receiveMs);
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &rcv, sizeof rcv);
  if (sendMs >= 0) {
    timeval snd = ToTimeval(sendMs);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &snd, sizeof snd);
  }
}

std::string EncodeFrame(uint8_t opcode, const std::string& payload, bool mask) {
  if (payload.size() > kMaxFramePayload) return {};
  std::string frame;
  frame.reserve(payload.size() + 8);
  frame.push_back(static_cast<char>(0x80 | (opcode & 0x0F)));
  const uint8_t maskBit = mask ? 0x80 : 0;
  if (payload.size() <= 125) {
    frame.push_back(static_cast<char>(maskBit | payload.size()));
  } else {
    frame.push_back(static_cast<char>(maskBit | 126));
    frame.push_back(static_cast<char>((payload.size() >> 8) & 0xff));
    frame.push_back(static_cast<char>(payload.size() & 0xff));
  }
  if (mask) frame.append(reinterpret_cast<const char*>(kClientMaskKey), 4);
  const size_t start = frame.size();
  frame += payload;
  if (mask) {
    for (size_t i = 0; i < payload.size(); ++i) frame[start + i] = static_cast<char>(frame[start + i] ^ kClientMaskKey[i % 4]);
  }
  return frame;
}

bool WsWriteFrame(int fd, uint8_t opcode, const std::string& payload, bool mask, std::mutex* writeLock) {
  if (payload.size() > kMaxFramePayload) return false;
  const std::string frame = EncodeFrame(opcode, payload, mask);
  if (writeLock == nullptr) return net::SendAll(fd, frame.data(), frame.size());
  std::lock_guard<std::mutex> lock(*writeLock);
  return net::SendAll(fd, frame.data(), frame.size());
}

bool WsSendText(int fd, const std::string& text, bool mask, std::mutex* writeLock) {
  return WsWriteFrame(fd, kOpText, text, mask, writeLock);
}

bool WsSendClose(int fd, uint16_t code, const std::string& reason, std::mutex* writeLock) {
  std::string payload;
  payload.push_back(static_cast<char>(code >> 8));
  payload.push_back(static_cast<char>(code & 0xff));
  payload += reason;
  return WsWriteFrame(fd, kOpClose, payload, false, writeLock);
}

FrameStatus TakeFrame(std::string& buffer, bool expectMasked, WireFrame* frame) {
  if (buffer.size() < 2) return FrameStatus::NeedMore;
  const uint8_t b0 = static_cast<uint8_t>(buffer[0]), b1 = static_cast<uint8_t>(buffer[1]);
  const size_t len7 = b1 & 0x7F;
  // Judged on the header alone, so a refused frame is refused before its payload arrives.
  if (len7 == 127) return FrameStatus::Error;
  const bool masked = (b1 & 0x80) != 0;
  if (masked != expectMasked || (b0 & 0x80) == 0 || (b0 & 0x70) != 0) return FrameStatus::Error;
  size_t header = 2;
  size_t length = len7;
  if (len7 == 126) {
    if (buffer.size() < 4) return FrameStatus::NeedMore;
    length = (static_cast<size_t>(static_cast<uint8_t>(buffer[2])) << 8) | static_cast<uint8_t>(buffer[3]);
    header = 4;
  }
  const size_t keyAt = header;
  if (masked) header += 4;
  if (buffer.size() < header + length) return FrameStatus::NeedMore;
  frame->opcode = b0 & 0x0F;
  frame->payload.assign(buffer, header, length);
  if (masked) {
    for (size_t i = 0; i < length; ++i) {
      frame->payload[i] = static_cast<char>(frame->payload[i] ^ buffer[keyAt + i % 4]);
    }
  }
  buffer.erase(0, header + length);
  return FrameStatus::Frame;
}

ReadResult WsReadMessage(int fd, std::string& buffer, std::string* text, bool expectMasked, std::mutex* writeLock) {
  return WsReadMessage(fd, buffer, text, expectMasked, writeLock, ReadLimits{});
}

ReadResult WsReadMessage(int fd, std::string& buffer, std::string* text, bool expectMasked, std::mutex* writeLock,
                         const ReadLimits& limits) {
  char chunk[kReceiveChunk];
  for (;;) {
    WireFrame frame;
    FrameStatus status = TakeFrame(buffer, expectMasked, &frame);
    if (status == FrameStatus::Error) return ReadResult::Closed;
    if (status == FrameStatus::Frame) {
      if (limits.frames) ++*limits.frames;
      if (frame.opcode == kOpText) {
        *text = std::move(frame.payload);
        return ReadResult::Message;
      }
      if (frame.opcode == kOpClose) return ReadResult::Closed;
      if (frame.opcode == kOpPing) {
        if (!WsWriteFrame(fd, kOpPong, frame.payload, !expectMasked, writeLock)) return ReadResult::Closed;
      }
      continue;
    }
    if (limits.steadyMs) {
      const int64_t left = limits.deadlineMs - limits.steadyMs();
      if (left <= 0) return ReadResult::Timeout;
      SetSocketTimeouts(fd, static_cast<int32_t>(std::min<int64_t>(std::max(limits.receiveMs, 1), left)), -1);
    }
    ssize_t n = net::Receive(fd, chunk, sizeof chunk);
    if (n == 0) return ReadResult::Closed;
    if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? ReadResult::Timeout : ReadResult::Closed;
    buffer.append(chunk, static_cast<size_t>(n));
    if (buffer.size() > kReadBufferLimit) return ReadResult::Closed;
  }
}

bool WsSendPing(int fd, bool mask, std::mutex* writeLock) { return WsWriteFrame(fd, kOpPing, "", mask, writeLock); }

std::string FindHeaderValue(const std::string& request, const std::string& name) {
  std::string value;
  ForEachLine(request, [&](const std::string& line) {
    if (!StartsWithHeaderName(line, name)) return false;
    size_t at = name.size() + 1;
    while (at < line.size() && line[at] == ' ') ++at;
    value = line.substr(at);
    return true;
  });
  return value;
}

bool HasOriginHeader(const std::string& request) {
  return ForEachLine(request, [](const std::string& line) { return StartsWithHeaderName(line, "Origin"); });
}

std::string RemoteSettingsPath() {
  const std::string base = platform::LocalAppDataDir();
  if (base.empty()) return {};
  const std::string folder = platform::JoinPath(base, "Quorvane");
  platform::CreateDirectories(folder);
  return platform::JoinPath(folder, "remote-access.json");
}

RemoteSettings LoadRemoteSettings(const std::string& path) {
  RemoteSettings settings;
  std::string text;
  if (path.empty() || !platform::ReadFile(path, &text, 65536)) return settings;
  nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
  if (!doc.is_object()) return settings;
  if (doc.contains("enabled")) {
    if (!doc["enabled"].is_boolean()) return settings;
    settings.enabled = doc["enabled"].get<bool>();
  }
  if (doc.contains("port")) {
    const nlohmann::json& port = doc["port"];
    if (!port.is_number_integer()) return settings;
    // A value outside int32 is as wrong as a value of the wrong type.
    if (port.is_number_unsigned() ? port.get<uint64_t>() > INT32_MAX
                                  : (port.get<int64_t>() < INT32_MIN || port.get<int64_t>() > INT32_MAX)) {
      return settings;
    }
    settings.port = static_cast<int32_t>(port.get<int64_t>());
  }
  return settings;
}

void SaveRemoteSettings(const std::string& path, bool enabled, int32_t port) {
  if (path.empty()) return;
  const nlohmann::json doc = {{"v", 1}, {"enabled", enabled}, {"port", port}};
  platform::WriteFileAtomic(path, DumpCompact(doc), 0600);
}

}  // namespace remote
