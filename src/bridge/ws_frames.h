#pragma once
// WebSocket frames as the bridge reads and writes them: the server never masks or fragments,
// clients may do both, and no frame or message may exceed the limit the caller gives (64 MiB once
// authenticated, far less before, see ws_limits.h). Each reader and assembler belongs to one
// connection and is used by its thread only.
#include <cstddef>
#include <cstdint>
#include <string>

#include "bridge/ws_limits.h"

// A connection keeps buffers up to this size between messages; larger ones are given back once
// it has gone a while without a large message (see ws_limits.h).
inline constexpr size_t kWsKeptBufferBytes = 1024 * 1024;

inline constexpr uint16_t kWsCloseAuth = 4401;
// RFC 6455 "message too big": a frame or message over the connection's limit.
inline constexpr uint16_t kWsCloseTooBig = 1009;

enum WsOpcode : uint8_t {
  kWsContinuation = 0,
  kWsText = 1,
  kWsBinary = 2,
  kWsClose = 8,
  kWsPing = 9,
  kWsPong = 10,
};

// One unmasked frame with FIN set, header and payload in one buffer.
std::string EncodeWsFrame(uint8_t opcode, const uint8_t* bytes, size_t length);
// Just the header of that frame (at most 10 bytes), for a sender that writes the payload from
// where it lies.
std::string EncodeWsFrameHeader(uint8_t opcode, size_t length);

// XORs the bytes with the 4-byte masking key, byte i with key[(start + i) % 4]: start is where
// the bytes lie in their payload, so a payload can be unmasked piece by piece as it arrives.
void UnmaskWsPayload(char* data, size_t length, const uint8_t key[4], uint64_t start = 0);

// The payload of a close frame with a status code and a reason text.
std::string WsClosePayload(uint16_t status, const std::string& reason);

struct WsFrame {
  bool fin = false;
  uint8_t opcode = 0;
  std::string payload;  // unmasked
};
// Gives back the payload's memory when it is above kWsKeptBufferBytes.
void ReleaseLargeFrameBuffer(WsFrame& frame);

// Cuts frames off the front of the bytes received so far. A frame larger than one read is not
// gathered in the read buffer: once its header is in, Space() points into its payload, so the
// bytes go from the socket straight to where the message is assembled and are unmasked there.
// A payload's buffer comes back through Recycle once its message is handled, so it is filled
// again by the next large frame, until ReleaseLargeBuffers gives back any larger than
// kWsKeptBufferBytes.
class WsFrameReader {
 public:
  enum class Status { NeedMore, Frame, TooLarge };
  // The most one Space() offers, and the smallest frame received straight into its payload.
  static constexpr size_t kReadChunk = 64 * 1024;

  // Bytes that came some other way than Space(); they are parsed like any others.
  void Append(const char* bytes, size_t length);
  // Where the next received bytes may go and how many: never past the end of the frame whose
  // payload is being received. Commit(n) then takes the first n of them; Space and Commit
  // alternate.
  struct Writable {
    char* data;
    size_t length;
  };
  Writable Space();
  void Commit(size_t n);
  // TooLarge as soon as a header announces more than maxPayload, before its payload arrives;
  // so the bytes held never exceed one frame of that size plus one read. The limit in force
  // when a header is read is the one its frame is held to.
  Status Next(WsFrame* frame, uint64_t maxPayload = kWsMaxMessageBytes);
  // A message's buffer handed back once its message is handled: the reader keeps the larger of
  // it and its own, so one connection's large messages keep filling the same pages.
  void Recycle(std::string& buffer);
  // Gives back the memory of buffers above kWsKeptBufferBytes that are not in use.
  void ReleaseLargeBuffers();
  // Bytes held in capacity, for the memory figures of tests and benchmarks.
  size_t CapacityBytes() const { return buffer_.capacity() + payload_.capacity() + chunk_.capacity(); }

 private:
  std::string buffer_;  // bytes not yet cut into frames
  size_t offset_ = 0;   // consumed bytes at the front, dropped in bulk
  std::string chunk_;   // what Space() offers when no payload is being received
  // The frame whose payload is being received straight into payload_.
  bool direct_ = false;
  bool directFin_ = false;
  bool directMasked_ = false;
  uint8_t directOpcode_ = 0;
  uint8_t directKey_[4] = {};
  uint64_t directLength_ = 0;
  size_t filled_ = 0;  // payload bytes received so far
  std::string payload_;
};

// Joins data frames (text, binary, continuations and the reserved opcodes) into messages.
class WsMessageAssembler {
 public:
  enum class Status { Pending, Complete, TooLarge };
  static constexpr int kNone = -1;

  // TooLarge when the message would exceed maxMessage.
  Status Add(WsFrame& frame, uint64_t maxMessage = kWsMaxMessageBytes);
  // The message after Complete: its opcode (kNone for continuations without a start) and text.
  int opcode() const { return opcode_; }
  std::string& message() { return message_; }
  void Reset();
  // Gives back the message buffer's memory when it is above kWsKeptBufferBytes.
  void ReleaseLargeBuffers();
  size_t CapacityBytes() const { return message_.capacity(); }

 private:
  int opcode_ = kNone;
  std::string message_;
};
