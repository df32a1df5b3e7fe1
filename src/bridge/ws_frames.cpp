#include "bridge/ws_frames.h"

#include <algorithm>
#include <cstring>

#include "platform/memory.h"

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

void UnmaskWsPayload(char* data, size_t length, const uint8_t key[4], uint64_t start) {
  // The key as it lines up with data[0]; every block below starts at a multiple of 4 from data,
  // so the same rotated key lines up with each of them. Blocks of 64 bytes as four 16-byte
  // vectors (plain SSE2 or NEON registers, no instruction set beyond the baseline), then 8-byte
  // words, then single bytes: a payload just received is still in the cache, where a word at a
  // time would make the unmasking cost more than the copy out of the socket.
  uint8_t rotated[4];
  for (int i = 0; i < 4; ++i) rotated[i] = key[(start + i) & 3];
  uint32_t key32;
  std::memcpy(&key32, rotated, 4);
  using Vector = uint32_t __attribute__((vector_size(16)));
  const Vector keyVector = {key32, key32, key32, key32};
  size_t i = 0;
  for (; i + 64 <= length; i += 64) {
    Vector a, b, c, d;
    std::memcpy(&a, data + i, 16);
    std::memcpy(&b, data + i + 16, 16);
    std::memcpy(&c, data + i + 32, 16);
    std::memcpy(&d, data + i + 48, 16);
    a ^= keyVector;
    b ^= keyVector;
    c ^= keyVector;
    d ^= keyVector;
    std::memcpy(data + i, &a, 16);
    std::memcpy(data + i + 16, &b, 16);
    std::memcpy(data + i + 32, &c, 16);
    std::memcpy(data + i + 48, &d, 16);
  }
  const uint64_t key64 = (uint64_t(key32) << 32) | key32;
  for (; i + 8 <= length; i += 8) {
    uint64_t word;
    std::memcpy(&word, data + i, 8);
    word ^= key64;
    std::memcpy(data + i, &word, 8);
  }
  for (; i < length; ++i) data[i] = static_cast<char>(data[i] ^ rotated[i & 3]);
}

std::string WsClosePayload(uint16_t status, const std::string& reason) {
  std::string payload;
  payload += static_cast<char>(status >> 8);
  payload += static_cast<char>(status & 0xFF);
  payload += reason;
  return payload;
}

namespace {

// Frames from this size on are received straight into their payload when they do not arrive in
// one read; smaller ones are gathered in the read buffer, where several fit one read.
constexpr uint64_t kDirectFromBytes = 16 * 1024;
// How much of a payload is made writable at a time: it is zero-filled by the string just before
// the socket overwrites it, so it should stay in the cache between the two.
constexpr size_t kPayloadStep = 64 * 1024;

void ShrinkIfLarge(std::string& s) {
  if (s.capacity() > kWsKeptBufferBytes) std::string().swap(s);
}

}  // namespace

void WsFrameReader::Append(const char* bytes, size_t length) {
  if (direct_ && filled_ < directLength_) {
    const size_t take = static_cast<size_t>(std::min<uint64_t>(length, directLength_ - filled_));
    if (payload_.size() < filled_ + take) payload_.resize(filled_ + take);
    std::memcpy(payload_.data() + filled_, bytes, take);
    Commit(take);
    bytes += take;
    length -= take;
    if (length == 0) return;
  }
  if (offset_ > 0 && offset_ >= buffer_.size() / 2) {
    buffer_.erase(0, offset_);
    offset_ = 0;
  }
  buffer_.append(bytes, length);
}

WsFrameReader::Writable WsFrameReader::Space() {
  if (direct_ && filled_ < directLength_) {
    if (payload_.size() == filled_) {
      payload_.resize(filled_ + static_cast<size_t>(std::min<uint64_t>(directLength_ - filled_, kPayloadStep)));
    }
    return {payload_.data() + filled_, payload_.size() - filled_};
  }
  chunk_.resize(kReadChunk);
  return {chunk_.data(), chunk_.size()};
}

void WsFrameReader::Commit(size_t n) {
  if (direct_ && filled_ < directLength_) {
    n = std::min(n, payload_.size() - filled_);
    if (directMasked_) UnmaskWsPayload(payload_.data() + filled_, n, directKey_, filled_);
    filled_ += n;
    return;
  }
  Append(chunk_.data(), std::min(n, chunk_.size()));
}

WsFrameReader::Status WsFrameReader::Next(WsFrame* frame, uint64_t maxPayload) {
  if (direct_) {
    if (filled_ < directLength_) return Status::NeedMore;
    frame->fin = directFin_;
    frame->opcode = directOpcode_;
    frame->payload.swap(payload_);
    payload_.clear();
    direct_ = false;
    return Status::Frame;
  }
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
  if (available < header) return Status::NeedMore;
  const size_t have = available - header;
  if (have < length) {
    if (length < kDirectFromBytes) return Status::NeedMore;
    // The rest of this frame goes straight into its payload. The length was held to
    // maxPayload above, so the reservation is no larger than one allowed message.
    direct_ = true;
    directFin_ = (p[0] & 0x80) != 0;
    directOpcode_ = p[0] & 0x0F;
    directMasked_ = masked;
    if (masked) std::memcpy(directKey_, key, 4);
    directLength_ = length;
    payload_.clear();
    platform::ReserveForLargeFill(payload_, static_cast<size_t>(length));
    payload_.assign(reinterpret_cast<const char*>(p + header), have);
    if (masked) UnmaskWsPayload(payload_.data(), have, directKey_, 0);
    filled_ = have;
    buffer_.clear();
    offset_ = 0;
    return Status::NeedMore;
  }

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

void WsFrameReader::Recycle(std::string& buffer) {
  if (direct_ || buffer.capacity() <= payload_.capacity()) return;
  buffer.clear();
  payload_.swap(buffer);
}

void WsFrameReader::ReleaseLargeBuffers() {
  if (!direct_) ShrinkIfLarge(payload_);
  if (buffer_.capacity() > kWsKeptBufferBytes) {
    std::string(buffer_, offset_).swap(buffer_);
    offset_ = 0;
  }
}

WsMessageAssembler::Status WsMessageAssembler::Add(WsFrame& frame, uint64_t maxMessage) {
  if (frame.opcode == kWsContinuation) {
    if (message_.size() + frame.payload.size() > maxMessage) return Status::TooLarge;
    message_ += frame.payload;
  } else {
    if (frame.payload.size() > maxMessage) return Status::TooLarge;
    opcode_ = frame.opcode;
    message_.swap(frame.payload);  // the frame takes the old buffer, to be filled again
    frame.payload.clear();
  }
  return frame.fin ? Status::Complete : Status::Pending;
}

void WsMessageAssembler::Reset() {
  opcode_ = kNone;
  message_.clear();
}

void WsMessageAssembler::ReleaseLargeBuffers() { ShrinkIfLarge(message_); }

void ReleaseLargeFrameBuffer(WsFrame& frame) { ShrinkIfLarge(frame.payload); }
