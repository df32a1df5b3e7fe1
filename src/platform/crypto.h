#pragma once
// System randomness and the digests the host takes from the system library. The functions may
// be called from any thread (the test seam's source is swapped under a mutex); a Sha256Stream
// owns its OpenSSL context and is used by one thread at a time.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

struct evp_md_ctx_st;  // OpenSSL's EVP_MD_CTX

namespace platform {

// Fills buf with len bytes from the kernel's random source; false on failure.
bool RandomBytes(void* buf, size_t len);

// Test seam: replaces the random source (an empty function restores the real one).
using RandomSource = std::function<bool(void* buf, size_t len)>;
void SetRandomSourceForTesting(RandomSource source);

// SHA-256 of data through OpenSSL; out must hold 32 bytes.
bool Sha256(const void* data, size_t len, uint8_t out[32]);

// SHA-256 fed piece by piece (OpenSSL's EVP), for bytes hashed while they are read or written.
// One owner, one thread; after Finish it starts over.
class Sha256Stream {
 public:
  Sha256Stream();
  ~Sha256Stream();
  Sha256Stream(const Sha256Stream&) = delete;
  Sha256Stream& operator=(const Sha256Stream&) = delete;
  void Update(const void* data, size_t length);
  // The digest; all zero bytes when OpenSSL failed at any step.
  std::array<uint8_t, 32> Finish();

 private:
  evp_md_ctx_st* ctx_;
  bool ok_;
};

}  // namespace platform

namespace platform {

// SHA-256 of a whole file, read in 1 MiB pieces; false when it cannot be opened or read.
bool Sha256File(const std::string& path, uint8_t out[32]);

}  // namespace platform
