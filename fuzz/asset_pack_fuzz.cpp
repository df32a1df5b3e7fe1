// The web asset pack reader, both formats, and lookups in what it accepted.
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/assets/asset_pack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  AssetPackSources sources;  // nothing on disk: only the parsers run
  AssetPack pack(sources);
  if (pack.Parse(data, size)) {
    size_t length = 0;
    std::string mime;
    for (const char* path : {"index.html", "/app.js", "./a/../b", ""}) pack.Find(path, length, mime);
  }
  pack.ParseOverlay(data, size);
  return 0;
}
