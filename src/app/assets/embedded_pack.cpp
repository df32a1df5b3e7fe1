#include "app/assets/asset_pack.h"

// Defined by embedded_pack.S around the pack the build wrote.
extern "C" const uint8_t qv_web_pack_begin[];
extern "C" const uint8_t qv_web_pack_end[];

std::span<const uint8_t> EmbeddedWebPack() {
  return {qv_web_pack_begin, static_cast<size_t>(qv_web_pack_end - qv_web_pack_begin)};
}
