#include "bridge/identity/device_key.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>

#include "base/base64.h"
#include "base/constants.h"
#include "base/json.h"
#include "base/log.h"
#include "base/strings.h"
#include "base/thread.h"
#include "base/version.h"
#include "bridge/identity/installation_id.h"
#include "platform/crypto.h"

using nlohmann::json;

namespace {

constexpr const char kPurpose[] = "qvn-account-device-v1";

struct DeviceKeyState {
  std::mutex mutex;
  std::unique_ptr<platform::KeyStorageProvider> provider;
  std::unique_ptr<platform::StoredKey> key;
  bool tpm = false;
};

DeviceKeyState& State() {
  static auto* state = new DeviceKeyState;  // never destroyed: workers may run during exit
  return *state;
}

// Opens the key; kStatusExists from a racing creator is answered by opening the key it made.
platform::KeyStatus OpenOrCreate(DeviceKeyState& s, std::string* error) {
  platform::KeyStatus status = s.provider->OpenKey(kDeviceKeyName, &s.key);
  if (status == platform::kStatusSuccess) return status;
  std::unique_ptr<platform::StoredKey> created;
  status = s.provider->CreatePersistedKey(platform::kAlgorithmEcdsaP256, kDeviceKeyName, &created);
  if (status != platform::kStatusSuccess) {
    *error = "NCryptCreatePersistedKey failed: " + FormatHresultText(status);
    s.provider.reset();
    return status;
  }
  status = created->Finalize();
  if (status == platform::kStatusSuccess) {
    s.key = std::move(created);
    LogPrintf("[ota-attest] created new %s-backed ECDSA P-256 key\n", s.tpm ? "TPM" : "software");
    return status;
  }
  // Another start created the key between our open and our finalise: that key is the
  // device's key. A key file that exists but cannot be read stays as it is and fails here.
  if (status == platform::kStatusExists && s.provider->OpenKey(kDeviceKeyName, &s.key) == platform::kStatusSuccess) {
    return platform::kStatusSuccess;
  }
  *error = "NCryptFinalizeKey failed: " + FormatHresultText(status);
  s.key.reset();
  s.provider.reset();
  return status;
}

std::string ProductVersionOrEmpty() {
  std::string v = GetExeProductVersion();
  return v == "0" ? std::string() : v;
}

// The member as a string; false when absent or of another type.
bool StringMember(const json& object, const char* key, std::string* out) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return false;
  *out = it->get<std::string>();
  return true;
}

}  // namespace

std::string FormatHresultText(platform::KeyStatus status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

std::vector<uint8_t> Sha256Bytes(const uint8_t* bytes, size_t length) {
  std::vector<uint8_t> digest(32);
  if (!platform::Sha256(bytes, length, digest.data())) return {};
  return digest;
}

bool OpenDeviceKey(std::string* error) {
  DeviceKeyState& s = State();
  if (s.key) return true;
  std::string ignored;
  if (!error) error = &ignored;
  s.provider.reset();
  platform::KeyStatus status = platform::OpenStorageProvider(platform::kPlatformCryptoProvider, &s.provider);
  if (status != platform::kStatusSuccess || !s.provider) {
    LogPrintf("[ota-attest] TPM provider unavailable (%s), falling back to software key storage\n",
              FormatHresultText(status).c_str());
    s.tpm = false;
    s.provider.reset();
    status = platform::OpenStorageProvider(platform::kSoftwareKeyStorageProvider, &s.provider);
    if (status != platform::kStatusSuccess || !s.provider) {
      s.provider.reset();
      *error = "NCryptOpenStorageProvider failed: " + FormatHresultText(status);
      return false;
    }
  } else {
    s.tpm = true;
  }
  return OpenOrCreate(s, error) == platform::kStatusSuccess;
}

DeviceKeyPublicXY GetDeviceKeyPublicXY() {
  DeviceKeyPublicXY result;
  DeviceKeyState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!OpenDeviceKey(&result.error)) return result;
  size_t size = 0;
  platform::KeyStatus status = s.key->Export(platform::kBlobEccPublic, nullptr, 0, &size);
  if (status != platform::kStatusSuccess) {
    result.error = "NCryptExportKey (size query) failed: " + FormatHresultText(status);
    return result;
  }
  std::vector<uint8_t> blob(size);
  status = s.key->Export(platform::kBlobEccPublic, blob.data(), blob.size(), &size);
  if (status != platform::kStatusSuccess) {
    result.error = "NCryptExportKey failed: " + FormatHresultText(status);
    return result;
  }
  blob.resize(std::min(size, blob.size()));
  if (blob.size() <= 7) {
    result.error = "ECC public key blob too small";
    return result;
  }
  uint32_t cbKey = uint32_t(blob[4]) | uint32_t(blob[5]) << 8 | uint32_t(blob[6]) << 16 | uint32_t(blob[7]) << 24;
  if (cbKey != 32 || blob.size() < 72) {
    result.error = "unexpected ECC public key blob shape (cbKey=" + std::to_string(cbKey) + ")";
    return result;
  }
  result.x.assign(blob.begin() + 8, blob.begin() + 40);
  result.y.assign(blob.begin() + 40, blob.begin() + 72);
  result.ok = true;
  return result;
}

DeviceKeySignature SignWithDeviceKey(const uint8_t* bytes, size_t length) {
  DeviceKeySignature result;
  std::vector<uint8_t> hash = Sha256Bytes(bytes, length);
  if (hash.empty()) {
    result.error = "sha256 failed";
    return result;
  }
  DeviceKeyState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!OpenDeviceKey(&result.error)) return result;
  size_t size = 0;
  platform::KeyStatus status = s.key->SignHash(hash.data(), hash.size(), nullptr, 0, &size);
  if (status != platform::kStatusSuccess) {
    result.error = "NCryptSignHash (size query) failed: " + FormatHresultText(status);
    return result;
  }
  result.signature.resize(size);
  status = s.key->SignHash(hash.data(), hash.size(), result.signature.data(), result.signature.size(), &size);
  if (status != platform::kStatusSuccess) {
    result.error = "NCryptSignHash failed: " + FormatHresultText(status);
    result.signature.clear();
    return result;
  }
  result.signature.resize(std::min(size, result.signature.size()));
  result.ok = true;
  return result;
}

std::string GetDeviceKeyId() {
  DeviceKeyPublicXY xy = GetDeviceKeyPublicXY();
  if (!xy.ok || xy.x.size() != 32 || xy.y.size() != 32) return {};
  std::vector<uint8_t> point = xy.x;
  point.insert(point.end(), xy.y.begin(), xy.y.end());
  std::vector<uint8_t> digest = Sha256Bytes(point.data(), point.size());
  if (digest.size() != 32) return {};
  return HexLower(digest.data(), digest.size());
}

std::string CheckDeviceClientData(const std::string& clientData, const std::string& keyId,
                                  const std::string& installId, const std::string& nativeVersion) {
  if (clientData.empty() || clientData.size() > kMaxDeviceClientDataBytes) return "clientData rejected";
  if (keyId.empty() || installId.empty() || nativeVersion.empty()) return "device identity unavailable";
  json object = json::parse(clientData, nullptr, false);
  if (object.is_discarded() || !object.is_object()) return "clientData rejected";
  std::string purpose, dataKeyId, dataInstallId, dataVersion;
  // A member the device compares against must be a string; another type is not a near miss.
  for (const char* key : {"purpose", "keyId", "installId", "nativeVersion"}) {
    auto it = object.find(key);
    if (it != object.end() && !it->is_string()) return "clientData rejected";
  }
  StringMember(object, "purpose", &purpose);
  StringMember(object, "keyId", &dataKeyId);
  StringMember(object, "installId", &dataInstallId);
  StringMember(object, "nativeVersion", &dataVersion);
  if (purpose != kPurpose) return "invalid purpose";
  if (dataKeyId != keyId) return "keyId mismatch";
  if (dataInstallId != installId) return "installId mismatch";
  if (dataVersion != nativeVersion) return "nativeVersion mismatch";
  std::string platformName;
  if (StringMember(object, "platform", &platformName) && platformName != PluginPlatformName()) {
    return "platform mismatch";
  }
  return {};
}

void GetAuthDeviceIdentityWorker(const RpcOutletPtr& outlet, const json& id) {
  std::string keyId = GetDeviceKeyId();
  std::string installId = LoadOrCreateInstallationId();
  std::string nativeVersion = ProductVersionOrEmpty();
  std::string reply;
  if (keyId.empty() || installId.empty() || nativeVersion.empty()) {
    reply = MakeRpcReply(id, "error", "device identity unavailable");
  } else {
    reply = MakeRpcReply(id, "data",
                         {{"keyId", keyId},
                          {"platform", PluginPlatformName()},
                          {"installId", installId},
                          {"nativeVersion", nativeVersion}});
  }
  if (outlet) outlet->SendText(reply);
}

void SignAuthDeviceChallengeWorker(const RpcOutletPtr& outlet, const json& id, const json& payload) {
  auto send = [&](const char* key, const json& value) {
    if (outlet) outlet->SendText(MakeRpcReply(id, key, value));
  };
  PayloadReader reader(payload);
  std::string requestKeyId = reader.String("keyId");
  std::string clientData = reader.String("clientData");
  if (!reader.ok()) return send("error", reader.Error());

  std::string keyId = GetDeviceKeyId();
  std::string installId = LoadOrCreateInstallationId();
  std::string nativeVersion = ProductVersionOrEmpty();
  if (requestKeyId != keyId) return send("error", "keyId mismatch");
  std::string rejected = CheckDeviceClientData(clientData, keyId, installId, nativeVersion);
  if (!rejected.empty()) return send("error", rejected);
  DeviceKeySignature sig =
      SignWithDeviceKey(reinterpret_cast<const uint8_t*>(clientData.data()), clientData.size());
  if (sig.ok && !sig.signature.empty()) {
    return send("data", {{"signature", Base64Encode(sig.signature.data(), sig.signature.size())}});
  }
  send("error", sig.error.empty() ? std::string("signing failed") : sig.error);
}

void RegisterDeviceIdentityRows(RpcRouteTable& routes) {
  routes.Register({"getAuthDeviceIdentity"}, [](const RpcRequest& r) {
    bool started = base::StartDetachedThread("device-identity", [outlet = r.outlet, id = r.id] {
      GetAuthDeviceIdentityWorker(outlet, id);
    });
    if (!started) r.ReplyError("could not start worker");
  });
  routes.Register({"signAuthDeviceChallenge"}, [](const RpcRequest& r) {
    bool started = base::StartDetachedThread("device-sign", [outlet = r.outlet, id = r.id, payload = r.payload] {
      SignAuthDeviceChallengeWorker(outlet, id, payload);
    });
    if (!started) r.ReplyError("could not start worker");
  });
}

void ResetDeviceKeyForTesting() {
  DeviceKeyState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.key.reset();
  s.provider.reset();
  s.tpm = false;
}
