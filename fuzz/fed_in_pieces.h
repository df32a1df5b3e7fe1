#pragma once
// A read buffer fed the rest of the fuzzer's bytes in pieces whose sizes come from the input too,
// so a frame is seen split at every point, as a connection thread reads it. Single-threaded;
// the buffer lives for one call.
#include <cstddef>
#include <string>

#include "fuzz_support.h"

namespace fuzzsupport {

// Appends 1 to 64 bytes at a time and calls drain(buffer) after each piece; drain takes the whole
// frames off the front and returns false once the stream is broken. Stops there, when the input
// runs out, or when the buffer holds more than limit bytes (the reader's own bound).
template <typename Drain>
void FeedInPieces(Bytes& in, size_t limit, Drain&& drain) {
  std::string buffer;
  while (!in.empty()) {
    buffer += in.Take(1 + in.Byte() % 64);
    if (buffer.size() > limit || !drain(buffer)) return;
  }
}

}  // namespace fuzzsupport
