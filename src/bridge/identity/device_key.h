#pragma once
// The device key: one persisted ECDSA P-256 key that names this device (its key id is the
// SHA-256 of the public point) and signs the page's client data, and the two page requests
// that use it ("getAuthDeviceIdentity", "signAuthDeviceChallenge").
//
// Threads: request workers and the start-up warm-up call in at the same time. One process-wide
// mutex (a leaf lock) guards the provider and key handles and every use of the key; hashing
// happens before it is taken. The handles stay open until the process ends; a failed open or
// creation leaves none, so the next use starts again from the beginning.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bridge/rpc_routes.h"
#include "platform/keystore.h"

inline constexpr const char kDeviceKeyName[] = "QvnNativeWinOtaAttestKey";
inline constexpr size_t kMaxDeviceClientDataBytes = 8192;

struct DeviceKeyPublicXY {
  bool ok = false;
  std::vector<uint8_t> x;  // 32 bytes, big-endian
  std::vector<uint8_t> y;
  std::string error;
};

struct DeviceKeySignature {
  bool ok = false;
  std::vector<uint8_t> signature;  // r then s, 32 bytes each
  std::string error;
};

// A status value as "0x%08X".
std::string FormatHresultText(platform::KeyStatus status);
// SHA-256 of the bytes; empty on failure.
std::vector<uint8_t> Sha256Bytes(const uint8_t* bytes, size_t length);

// Opens or creates the key. Only with the device-key mutex held (the other calls take it).
bool OpenDeviceKey(std::string* error);
DeviceKeyPublicXY GetDeviceKeyPublicXY();
DeviceKeySignature SignWithDeviceKey(const uint8_t* bytes, size_t length);
// 64 lowercase hex characters, or "" on any failure.
std::string GetDeviceKeyId();

// The error text for client data the page wants signed, "" when it names this device.
std::string CheckDeviceClientData(const std::string& clientData, const std::string& keyId,
                                  const std::string& installId, const std::string& nativeVersion);

// The request bodies; each sends its own reply through the request's outlet. They run on the
// worker thread the row starts.
void GetAuthDeviceIdentityWorker(const RpcOutletPtr& outlet, const nlohmann::json& id);
void SignAuthDeviceChallengeWorker(const RpcOutletPtr& outlet, const nlohmann::json& id, const nlohmann::json& payload);

// "getAuthDeviceIdentity" and "signAuthDeviceChallenge", each on a detached worker.
void RegisterDeviceIdentityRows(RpcRouteTable& routes);

// Closes the handles so the next use opens again (tests simulate a later start with it).
void ResetDeviceKeyForTesting();
