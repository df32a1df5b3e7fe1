// The source reader over bytes from a hostile page or file: open, a few frames, a seek and a
// few more. Pictures are kept small so that a run measures parsing, not big allocations.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/media_source.h"

namespace pm = platform::media;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pm::StartMediaFacility();
  pm::OpenOptions options;
  options.maxPixels = 1 << 20;
  options.threads = 1;
  auto reader = pm::SourceReader::OpenStream(std::make_shared<pm::MemoryByteStream>(data, size), nullptr, options);
  if (!reader) return 0;
  pm::VideoFrame frame;
  reader->SetOutput(size % 2 ? pm::PixelFormat::Rgba : pm::PixelFormat::Nv12, size % 3 ? 0 : 33, 17);
  for (int i = 0; i < 8 && reader->ReadFrame(frame) == pm::ReadResult::Frame; ++i) {
  }
  reader->Seek(static_cast<int64_t>(size) * 10000);
  for (int i = 0; i < 4 && reader->ReadFrame(frame) == pm::ReadResult::Frame; ++i) {
  }
  return 0;
}
