#pragma once
// SHA-1 (FIPS 180-4), computed in process: the bridge needs it only for WebSocket accept keys.
#include <array>
#include <cstddef>
#include <cstdint>

std::array<uint8_t, 20> Sha1(const uint8_t* bytes, size_t length);
