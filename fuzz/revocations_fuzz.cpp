// Signed revocation lists: random texts, and random list objects that carry a real signature.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::Bytes in(data, size);
  const bool sign = in.Byte() & 1;
  std::string text = in.Rest();
  if (sign) text = fuzzsupport::SignRevocationListText(text);
  fuzzsupport::FreshRegistry().ApplyRevocations(text);
  return 0;
}
