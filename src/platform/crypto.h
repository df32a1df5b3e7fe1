#pragma once
// System randomness and the digests the host takes from the system library.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace platform {

// Fills buf with len bytes from the kernel's random source; false on failure.
bool RandomBytes(void* buf, size_t len);

// Test seam: replaces the random source (an empty function restores the real one).
using RandomSource = std::function<bool(void* buf, size_t len)>;
void SetRandomSourceForTesting(RandomSource source);

// SHA-256 / SHA-1 of data through OpenSSL; out must hold 32 / 20 bytes.
bool Sha256(const void* data, size_t len, uint8_t out[32]);
bool Sha1(const void* data, size_t len, uint8_t out[20]);

}  // namespace platform

namespace platform {

// SHA-256 of a whole file, read in 1 MiB pieces; false when it cannot be opened or read.
bool Sha256File(const std::string& path, uint8_t out[32]);

}  // namespace platform
