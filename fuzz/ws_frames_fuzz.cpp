// The bridge's frame reader and message assembler, fed the bytes in pieces whose sizes come
// from the input too, so frames split at every point are seen.
#include <cstddef>
#include <cstdint>

#include "bridge/ws_frames.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::Bytes in(data, size);
  WsFrameReader reader;
  WsMessageAssembler assembler;
  while (!in.empty()) {
    std::string piece = in.Take(1 + in.Byte() % 64);
    reader.Append(piece.data(), piece.size());
    WsFrame frame;
    WsFrameReader::Status status;
    while ((status = reader.Next(&frame)) == WsFrameReader::Status::Frame) {
      if (frame.opcode >= kWsClose) continue;  // control frames are answered, not assembled
      if (assembler.Add(frame) != WsMessageAssembler::Status::Pending) assembler.Reset();
    }
    if (status == WsFrameReader::Status::TooLarge) return 0;
  }
  return 0;
}
