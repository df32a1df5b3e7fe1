// The bridge's frame reader and message assembler, fed the bytes in pieces whose sizes come
// from the input too, so frames split at every point are seen; the first byte picks the limit a
// connection has before its hello or after it.
#include <cstddef>
#include <cstdint>

#include "bridge/ws_frames.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::Bytes in(data, size);
  WsFrameReader reader;
  WsMessageAssembler assembler;
  const uint64_t limit = in.Byte() & 1 ? kWsMaxMessageBytes : kWsMaxPreHelloMessageBytes;
  while (!in.empty()) {
    const uint8_t how = in.Byte();
    std::string piece = in.Take(1 + how % 64);
    if (how & 0x80) {
      // As the connection reads: into the space the reader offers, never past it.
      const WsFrameReader::Writable space = reader.Space();
      const size_t n = piece.size() < space.length ? piece.size() : space.length;
      for (size_t i = 0; i < n; ++i) space.data[i] = piece[i];
      reader.Commit(n);
    } else {
      reader.Append(piece.data(), piece.size());
    }
    WsFrame frame;
    WsFrameReader::Status status;
    while ((status = reader.Next(&frame, limit)) == WsFrameReader::Status::Frame) {
      if (frame.payload.size() > limit) __builtin_trap();  // the reader let an oversized frame through
      if (frame.opcode >= kWsClose) continue;  // control frames are answered, not assembled
      if (assembler.Add(frame, limit) != WsMessageAssembler::Status::Pending) {
        if (assembler.message().size() > limit) __builtin_trap();
        assembler.Reset();
        reader.Recycle(assembler.message());
      }
    }
    if (status == WsFrameReader::Status::TooLarge) return 0;
  }
  return 0;
}
