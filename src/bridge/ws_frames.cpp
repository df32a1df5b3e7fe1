#include "bridge/ws_frames.h"

#include <cstring>

std::string EncodeWsFrameHeader(uint8_t opcode, size_t length) {
  std::string header;
  header += static_cast<char>(0x80 | (opcode & 0x0F));
  if (length <= 125) {
    header += static_cast<char>(length);
  } else if (length <= 65535) {
    header += static_cast<char>(126);
    header += static_cast<char>(length >> 8);
    header += static_cast<char>(length & 0xFF);
  } else {
    header += static_cast<char>(127);
    for (int i = 7; i >= 0; --i) header += static_cast<char>((uint64_t(length) >> (8 * i)) & 0xFF);
  }
  return header;
}

std::string EncodeWsFrame(uint8_t opcode, const uint8_t* bytes, size_t length) {
  std::string frame = EncodeWsFrameHeader(opcode, length);
  frame.reserve(frame.size() + length);
  frame.append(reinterpret_cast<const char*>(bytes), length);
  return frame;
}

void UnmaskWsPayload(char* data, size_t length, const uint8_t key[4]) {
  // Eight bytes at a time: each word starts at a multiple of 4, so the key lines up with it.
  uint32_t key32;
  std::memcpy(&key32, key, 4);
  const uint64_t key64 = (uint64_t(key32) << 32) | key32;
  size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    uint64_t word;
    std::memcpy(&word, data + i, 8);
    word ^= key64;
    std::memcpy(data + i, &word, 8);
  }
  for (; i < length; ++i) data[i] = static_cast<char>(data[i] ^ key[i & 3]);
}

std::string WsClosePayload(uint16_t status, const std::string& reason) {
  std::string payload;
  payload += static_cast<char>(status >> 8);
  payload += static_cast<char>(status & 0xFF);
  payload += reason;
  return payload;
}

void WsFrameReader::Append(const char* bytes, size_t length) {
  if (offset_ > 0 && offset_ >= buffer_.size() / 2) {
    buffer_.erase(0, offset_);
    offset_ = 0;
  }
  buffer_.append(bytes, length);
}

WsFrameReader::Status WsFrameReader::Next(WsFrame* frame, uint64_t maxPayload) {
  const size_t available = buffer_.size() - offset_;
  const auto* p = reinterpret_cast<const uint8_t*>(buffer_.data() + offset_);
  if (available < 2) return Status::NeedMore;
  size_t header = 2;
  uint64_t length = p[1] & 0x7F;
  if (length == 126) {
    if (available < 4) return Status::NeedMore;
    length = (uint64_t(p[2]) << 8) | p[3];
    header = 4;
  } else if (length == 127) {
    if (available < 10) return Status::NeedMore;
    length = 0;
    for (int i = 0; i < 8; ++i) length = (length << 8) | p[2 + i];
    header = 10;
  }
  if (length > maxPayload) return Status::TooLarge;
  const bool masked = (p[1] & 0x80) != 0;
  const uint8_t* key = p + header;
  if (masked) header += 4;
  if (available < header || available - header < length) return Status::NeedMore;

  frame->fin = (p[0] & 0x80) != 0;
  frame->opcode = p[0] & 0x0F;
  frame->payload.assign(reinterpret_cast<const char*>(p + header), static_cast<size_t>(length));
  if (masked) UnmaskWsPayload(frame->payload.data(), frame->payload.size(), key);
  offset_ += header + static_cast<size_t>(length);
  if (offset_ == buffer_.size()) {
    buffer_.clear();
    offset_ = 0;
  }
  return Status::Frame;
}

WsMessageAssembler::Status WsMessageAssembler::Add(WsFrame& frame, uint64_t maxMessage) {
  if (frame.opcode == kWsContinuation) {
    if (message_.size() + frame.payload.size() > maxMessage) return Status::TooLarge;
    message_ += frame.payload;
  } else {
    if (frame.payload.size() > maxMessage) return Status::TooLarge;
    opcode_ = frame.opcode;
    message_ = std::move(frame.payload);
  }
  return frame.fin ? Status::Complete : Status::Pending;
}

void WsMessageAssembler::Reset() {
  opcode_ = kNone;
  message_.clear();
}
