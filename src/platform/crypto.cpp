#include "platform/crypto.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/unique_fd.h"

namespace platform {
namespace {

// OpenSSL frees its tables from an atexit handler by default. Detached threads (the device-key
// warm-up, request workers) may still be inside OpenSSL when a fatal start-up failure calls
// exit(), so the library is told before its first use to leave its state alone at exit.
const bool g_opensslKeptAtExit = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;

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

Sha256Stream::Sha256Stream() : ctx_(EVP_MD_CTX_new()) {
  ok_ = ctx_ && EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) == 1;
}

Sha256Stream::~Sha256Stream() { EVP_MD_CTX_free(ctx_); }

void Sha256Stream::Update(const void* data, size_t length) {
  ok_ = ok_ && EVP_DigestUpdate(ctx_, data, length) == 1;
}

std::array<uint8_t, 32> Sha256Stream::Finish() {
  std::array<uint8_t, 32> digest{};
  unsigned int length = 0;
  ok_ = ok_ && EVP_DigestFinal_ex(ctx_, digest.data(), &length) == 1 && length == digest.size();
  if (!ok_) digest.fill(0);
  ok_ = ctx_ && EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) == 1;
  return digest;
}

}  // namespace platform

namespace platform {

bool Sha256File(const std::string& path, uint8_t out[32]) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  struct stat st {};
  if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  Sha256Stream hasher;
  std::vector<uint8_t> chunk(size_t(1) << 20);
  for (;;) {
    ssize_t n = read(fd.get(), chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    hasher.Update(chunk.data(), static_cast<size_t>(n));
  }
  const std::array<uint8_t, 32> digest = hasher.Finish();
  if (digest == std::array<uint8_t, 32>{}) return false;
  std::memcpy(out, digest.data(), digest.size());
  return true;
}

}  // namespace platform
