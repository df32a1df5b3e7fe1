#include "platform/keystore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstring>

#include "base/constants.h"
#include "base/locked_slot.h"
#include "base/strings.h"
#include "platform/crypto.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/unique_fd.h"

namespace platform {

namespace {

constexpr size_t kMaxKeyFileBytes = 64 * 1024;
constexpr size_t kCoordinateBytes = 32;
constexpr size_t kPublicBlobBytes = 8 + 2 * kCoordinateBytes;
constexpr size_t kSignatureBytes = 2 * kCoordinateBytes;

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

bool IsKeyName(const std::string& name) {
  if (name.empty() || name.size() > 128) return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

// A P-256 key, checked: anything else read from a key file counts as damaged.
bool IsP256(EVP_PKEY* pkey) {
  if (!pkey || EVP_PKEY_get_base_id(pkey) != EVP_PKEY_EC) return false;
  char group[64] = {0};
  size_t length = 0;
  if (EVP_PKEY_get_utf8_string_param(pkey, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &length) != 1) {
    return false;
  }
  return std::strcmp(group, "prime256v1") == 0;
}

bool CoordinateOf(EVP_PKEY* pkey, const char* param, uint8_t* out) {
  BIGNUM* bn = nullptr;
  if (EVP_PKEY_get_bn_param(pkey, param, &bn) != 1) return false;
  bool ok = BN_bn2binpad(bn, out, kCoordinateBytes) == static_cast<int>(kCoordinateBytes);
  BN_free(bn);
  return ok;
}

std::string PemOf(EVP_PKEY* pkey) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (!bio) return {};
  std::string pem;
  if (PEM_write_bio_PrivateKey(bio, pkey, nullptr, nullptr, 0, nullptr, nullptr) == 1) {
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    if (length > 0) pem.assign(data, static_cast<size_t>(length));
  }
  BIO_free(bio);
  return pem;
}

Pkey PkeyFromPem(const std::string& pem) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  if (!bio) return nullptr;
  Pkey pkey(PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr));
  BIO_free(bio);
  return pkey;
}

class SoftwareKey : public StoredKey {
 public:
  SoftwareKey(Pkey pkey, std::string path, bool finalized)
      : pkey_(std::move(pkey)), path_(std::move(path)), finalized_(finalized) {}

  KeyStatus Finalize() override {
    if (finalized_) return kStatusInvalidParameter;
    std::string pem = PemOf(pkey_.get());
    if (pem.empty()) return kStatusInternalError;
    size_t slash = path_.find_last_of('/');
    std::string folder = path_.substr(0, slash);
    uint8_t suffix[8];
    if (!RandomBytes(suffix, sizeof suffix)) return kStatusInternalError;
    std::string temp = folder + "/.key-" + HexLower(suffix, sizeof suffix) + ".tmp";
    // 0600 from the first byte: the private key is never readable by anyone else, not even
    // for a moment between a write and a chmod.
    UniqueFd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) return kStatusInternalError;
    bool written = WriteAll(fd.get(), pem.data(), pem.size()) && fsync(fd.get()) == 0;
    fd.Reset();
    KeyStatus status = kStatusSuccess;
    if (!written) {
      status = kStatusInternalError;
    } else if (link(temp.c_str(), path_.c_str()) != 0) {
      status = errno == EEXIST ? kStatusExists : kStatusInternalError;
    }
    unlink(temp.c_str());
    if (status == kStatusSuccess) {
      UniqueFd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (dir) fsync(dir.get());
      finalized_ = true;
    }
    return status;
  }

  KeyStatus Export(const std::string& blobType, uint8_t* out, size_t capacity, size_t* written) override {
    if (!written) return kStatusInvalidParameter;
    if (blobType != kBlobEccPublic) return kStatusNotSupported;
    *written = kPublicBlobBytes;
    if (!out) return kStatusSuccess;
    if (capacity < kPublicBlobBytes) return kStatusBufferTooSmall;
    uint8_t blob[kPublicBlobBytes];
    PutLe32(blob, kEcdsaP256PublicMagic);
    PutLe32(blob + 4, kCoordinateBytes);
    if (!CoordinateOf(pkey_.get(), OSSL_PKEY_PARAM_EC_PUB_X, blob + 8) ||
        !CoordinateOf(pkey_.get(), OSSL_PKEY_PARAM_EC_PUB_Y, blob + 8 + kCoordinateBytes)) {
      return kStatusBadKey;
    }
    std::memcpy(out, blob, sizeof blob);
    return kStatusSuccess;
  }

  KeyStatus SignHash(const uint8_t* hash, size_t hashLength, uint8_t* out, size_t capacity,
                     size_t* written) override {
    if (!written || !hash || hashLength == 0) return kStatusInvalidParameter;
    *written = kSignatureBytes;
    if (!out) return kStatusSuccess;
    if (capacity < kSignatureBytes) return kStatusBufferTooSmall;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pkey_.get(), nullptr);
    if (!ctx) return kStatusNoMemory;
    KeyStatus status = kStatusInternalError;
    unsigned char der[128];
    size_t derLength = sizeof der;
    if (EVP_PKEY_sign_init(ctx) == 1 && EVP_PKEY_sign(ctx, der, &derLength, hash, hashLength) == 1) {
      const unsigned char* p = der;
      ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(derLength));
      if (sig) {
        const BIGNUM* r = nullptr;
        const BIGNUM* s = nullptr;
        ECDSA_SIG_get0(sig, &r, &s);
        if (BN_bn2binpad(r, out, kCoordinateBytes) == static_cast<int>(kCoordinateBytes) &&
            BN_bn2binpad(s, out + kCoordinateBytes, kCoordinateBytes) == static_cast<int>(kCoordinateBytes)) {
          status = kStatusSuccess;
        }
        ECDSA_SIG_free(sig);
      }
    }
    EVP_PKEY_CTX_free(ctx);
    return status;
  }

 private:
  static void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
  }

  Pkey pkey_;
  std::string path_;
  bool finalized_;
};

class SoftwareProvider : public KeyStorageProvider {
 public:
  explicit SoftwareProvider(std::string folder) : folder_(std::move(folder)) {}

  KeyStatus OpenKey(const std::string& name, std::unique_ptr<StoredKey>* key) override {
    if (!key || !IsKeyName(name) || folder_.empty()) return kStatusInvalidParameter;
    const std::string path = SoftwareKeyPath(folder_, name);
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return errno == ENOENT ? kStatusBadKeyset : kStatusBadData;
    std::string pem;
    if (!ReadFile(path, &pem, kMaxKeyFileBytes)) return kStatusBadData;
    Pkey pkey = PkeyFromPem(pem);
    if (!IsP256(pkey.get())) return kStatusBadData;
    *key = std::make_unique<SoftwareKey>(std::move(pkey), path, true);
    return kStatusSuccess;
  }

  KeyStatus CreatePersistedKey(const std::string& algorithm, const std::string& name,
                               std::unique_ptr<StoredKey>* key) override {
    if (!key || !IsKeyName(name) || folder_.empty()) return kStatusInvalidParameter;
    if (algorithm != kAlgorithmEcdsaP256) return kStatusNotSupported;
    if (!CreateDirectories(folder_, 0700) || chmod(folder_.c_str(), 0700) != 0) return kStatusInternalError;
    Pkey pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!pkey) return kStatusInternalError;
    *key = std::make_unique<SoftwareKey>(std::move(pkey), SoftwareKeyPath(folder_, name), false);
    return kStatusSuccess;
  }

 private:
  std::string folder_;
};

base::LockedSlot<StorageProviderOpener>& Opener() {
  static auto* slot = new base::LockedSlot<StorageProviderOpener>;
  return *slot;
}

}  // namespace

std::string SoftwareKeyFolder() {
  std::string appData = LocalAppDataDir();
  if (appData.empty()) return {};
  return JoinPath(JoinPath(appData, kProductFolderName), "Keys");
}

std::string SoftwareKeyPath(const std::string& folder, const std::string& keyName) {
  return JoinPath(folder, keyName + ".pem");
}

std::unique_ptr<KeyStorageProvider> MakeSoftwareKeyStorageProvider(const std::string& folder) {
  return std::make_unique<SoftwareProvider>(folder);
}

KeyStatus OpenStorageProvider(const std::string& providerName, std::unique_ptr<KeyStorageProvider>* provider) {
  if (!provider) return kStatusInvalidParameter;
  const StorageProviderOpener opener = Opener().Get();
  if (opener) return opener(providerName, provider);
  if (providerName == kSoftwareKeyStorageProvider) {
    std::string folder = SoftwareKeyFolder();
    if (folder.empty()) return kStatusInternalError;
    *provider = MakeSoftwareKeyStorageProvider(folder);
    return kStatusSuccess;
  }
  // No hardware key storage on this platform.
  return kStatusDeviceNotFound;
}

void SetStorageProviderOpenerForTesting(StorageProviderOpener opener) {
  Opener().Set(std::move(opener));
}

}  // namespace platform
