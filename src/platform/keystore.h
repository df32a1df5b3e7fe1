#pragma once
// Persisted signing keys held by a key-storage provider, shaped after the key-storage calls the
// device key makes: open a provider by name, open a named key, or create one and finalise it
// (only a finalised key exists for later opens), export its public blob and sign a hash. Every
// call answers a status value (0 = success, otherwise one of the kStatus... failures) instead of
// throwing.
//
// Providers here:
// - kPlatformCryptoProvider: hardware-held keys. This platform has none, so opening it always
//   answers kStatusDeviceNotFound and callers fall back to the software provider.
// - kSoftwareKeyStorageProvider: ECDSA P-256 keys as PKCS#8 PEM files, one per key name, in a
//   0700 folder. A key file is written 0600 from the start and made visible with link(), which
//   never replaces an existing file: of two processes creating the same key at once, one
//   finalises and the other gets kStatusExists, so the key a device has is never overwritten.
//
// Threads: a provider and its keys are not shared between threads by themselves; the caller
// serialises its use (the device key holds one mutex over all of it). Owned through unique_ptr;
// a key does not need its provider to stay alive.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

using KeyStatus = uint32_t;
inline constexpr KeyStatus kStatusSuccess = 0;
inline constexpr KeyStatus kStatusBadKey = 0x80090003;          // key material damaged
inline constexpr KeyStatus kStatusBadData = 0x80090005;         // stored key unreadable
inline constexpr KeyStatus kStatusNoMemory = 0x8009000E;
inline constexpr KeyStatus kStatusExists = 0x8009000F;          // a key of that name exists
inline constexpr KeyStatus kStatusBadKeyset = 0x80090016;       // no key of that name
inline constexpr KeyStatus kStatusInternalError = 0x80090020;
inline constexpr KeyStatus kStatusInvalidParameter = 0x80090027;
inline constexpr KeyStatus kStatusBufferTooSmall = 0x80090028;
inline constexpr KeyStatus kStatusNotSupported = 0x80090029;
inline constexpr KeyStatus kStatusDeviceNotFound = 0x80090035;  // no such provider here

inline constexpr const char kPlatformCryptoProvider[] = "Microsoft Platform Crypto Provider";
inline constexpr const char kSoftwareKeyStorageProvider[] = "Microsoft Software Key Storage Provider";
inline constexpr const char kAlgorithmEcdsaP256[] = "ECDSA_P256";
inline constexpr const char kBlobEccPublic[] = "ECCPUBLICBLOB";
// The public blob's magic for a P-256 signing key ("ECS1" little-endian).
inline constexpr uint32_t kEcdsaP256PublicMagic = 0x31534345;

class StoredKey {
 public:
  virtual ~StoredKey() = default;
  // Persists a key made by CreatePersistedKey. kStatusExists when a key of its name already
  // exists (the existing key is left as it is).
  virtual KeyStatus Finalize() = 0;
  // Writes the blob (kBlobEccPublic: u32 magic, u32 cbKey little-endian, then X and Y, cbKey
  // bytes each, big-endian). out == nullptr asks for the size only; *written gets the size.
  virtual KeyStatus Export(const std::string& blobType, uint8_t* out, size_t capacity, size_t* written) = 0;
  // Signs a digest; the signature is r then s, 32 bytes each, big-endian. out == nullptr asks
  // for the size only.
  virtual KeyStatus SignHash(const uint8_t* hash, size_t hashLength, uint8_t* out, size_t capacity,
                             size_t* written) = 0;
};

class KeyStorageProvider {
 public:
  virtual ~KeyStorageProvider() = default;
  // kStatusBadKeyset when there is no key of that name; another failure when it is damaged.
  virtual KeyStatus OpenKey(const std::string& name, std::unique_ptr<StoredKey>* key) = 0;
  // A new key in memory; it exists for OpenKey only after Finalize.
  virtual KeyStatus CreatePersistedKey(const std::string& algorithm, const std::string& name,
                                       std::unique_ptr<StoredKey>* key) = 0;
};

KeyStatus OpenStorageProvider(const std::string& providerName, std::unique_ptr<KeyStorageProvider>* provider);

// The folder the software provider keeps its keys in: <LocalAppData>/Quorvane/Keys.
std::string SoftwareKeyFolder();
// A software provider over a given folder (tests; the real one uses SoftwareKeyFolder()).
std::unique_ptr<KeyStorageProvider> MakeSoftwareKeyStorageProvider(const std::string& folder);
// The file a software-provider key of that name lives in.
std::string SoftwareKeyPath(const std::string& folder, const std::string& keyName);

// Test seam: replaces OpenStorageProvider (an empty function restores the real one).
using StorageProviderOpener =
    std::function<KeyStatus(const std::string& providerName, std::unique_ptr<KeyStorageProvider>* provider)>;
void SetStorageProviderOpenerForTesting(StorageProviderOpener opener);

}  // namespace platform
