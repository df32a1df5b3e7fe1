#pragma once
// WebSocket frames as the bridge reads and writes them: the server never masks or fragments,
// clients may do both, and no frame or message may exceed the limit the caller gives (64 MiB once
// authenticated, far less before, see ws_limits.h). Each reader and assembler belongs to one
// connection and is used by its thread only.
#include <cstddef>
#include <cstdint>
#include <string>

#include "bridge/ws_limits.h"

inline constexpr uint16_t kWsCloseAuth = 4401;

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

// XORs the bytes with the 4-byte masking key, byte i with key[i % 4].
void UnmaskWsPayload(char* data, size_t length, const uint8_t key[4]);

// The payload of a close frame with a status code and a reason text.
std::string WsClosePayload(uint16_t status, const std::string& reason);

struct WsFrame {
  bool fin = false;
  uint8_t opcode = 0;
  std::string payload;  // unmasked
};

// Cuts frames off the front of the bytes received so far.
class WsFrameReader {
 public:
  enum class Status { NeedMore, Frame, TooLarge };

  void Append(const char* bytes, size_t length);
  // TooLarge as soon as a header announces more than maxPayload, before its payload arrives;
  // so the bytes held never exceed one frame of that size plus what the last Append added.
  Status Next(WsFrame* frame, uint64_t maxPayload = kWsMaxMessageBytes);

 private:
  std::string buffer_;
  size_t offset_ = 0;  // consumed bytes at the front, dropped in bulk
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

 private:
  int opcode_ = kNone;
  std::string message_;
};
