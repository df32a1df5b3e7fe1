#include "platform/crypto.h"

#include <openssl/evp.h>
#include <sys/random.h>

#include <cerrno>
#include <mutex>

namespace platform {
namespace {

std::mutex& SourceMutex() {
  static auto* m = new std::mutex;  // never destroyed: detached threads may draw late
  return *m;
}
RandomSource& Source() {
  static auto* s = new RandomSource;
  return *s;
}

bool KernelRandom(void* buf, size_t len) {
  auto* p = static_cast<uint8_t*>(buf);
  while (len > 0) {
    ssize_t n = getrandom(p, len, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool Digest(const EVP_MD* md, const void* data, size_t len, uint8_t* out) {
  unsigned int outLen = 0;
  return EVP_Digest(data, len, out, &outLen, md, nullptr) == 1;
}

}  // namespace

bool RandomBytes(void* buf, size_t len) {
  RandomSource source;
  {
    std::lock_guard<std::mutex> lock(SourceMutex());
    source = Source();
  }
  if (source) return source(buf, len);
  return KernelRandom(buf, len);
}

void SetRandomSourceForTesting(RandomSource source) {
  std::lock_guard<std::mutex> lock(SourceMutex());
  Source() = std::move(source);
}

bool Sha256(const void* data, size_t len, uint8_t out[32]) { return Digest(EVP_sha256(), data, len, out); }
bool Sha1(const void* data, size_t len, uint8_t out[20]) { return Digest(EVP_sha1(), data, len, out); }

}  // namespace platform
