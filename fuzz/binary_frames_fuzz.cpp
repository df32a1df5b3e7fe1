// The page's binary frames ("BNVQ", "FNVQ", "ANVQ"): every length the switch hands on must lie
// inside the message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "app/binary_frames.h"

namespace {
void Touch(const uint8_t* bytes, size_t length) {
  volatile uint8_t sum = 0;
  for (size_t i = 0; i < length; ++i) sum = sum + bytes[i];  // the sanitizer checks each read
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const BinaryFrameTargets targets{
      [](uint32_t, uint32_t, const uint8_t* bytes, size_t length) { Touch(bytes, length); },
      [](const uint8_t* rgba, size_t length, uint32_t width, uint32_t height, double) {
        if (static_cast<uint64_t>(width) * height * 4 > length) std::abort();
        Touch(rgba, length);
      },
      [](const uint8_t* samples, size_t length, uint32_t frames, uint32_t channels) {
        if (static_cast<uint64_t>(frames) * channels * 4 > length) std::abort();
        Touch(samples, length);
      }};
  UiBinaryHandler(targets, data, size);
  return 0;
}
