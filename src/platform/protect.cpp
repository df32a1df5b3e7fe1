#include "platform/protect.h"

#include <unistd.h>

#include <cstring>

#include "platform/crypto.h"

namespace platform {
namespace {

// "QVNPROT" + format version 1; then u32 owner uid, u32 description length, description,
// u32 payload length, payload, 32-byte SHA-256 of everything before it. Little-endian.
constexpr char kMagic[8] = {'Q', 'V', 'N', 'P', 'R', 'O', 'T', 1};
constexpr size_t kTagSize = 32;

void PutU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

bool GetU32(const std::string& in, size_t& pos, size_t end, uint32_t* v) {
  if (end - pos < 4) return false;
  *v = 0;
  for (int i = 0; i < 4; ++i) *v |= static_cast<uint32_t>(static_cast<uint8_t>(in[pos + i])) << (8 * i);
  pos += 4;
  return true;
}

}  // namespace

std::string ProtectDataForUser(unsigned uid, const std::string& plain, const std::string& description) {
  std::string blob(kMagic, sizeof kMagic);
  PutU32(blob, uid);
  PutU32(blob, static_cast<uint32_t>(description.size()));
  blob += description;
  PutU32(blob, static_cast<uint32_t>(plain.size()));
  blob += plain;
  uint8_t tag[kTagSize];
  if (!Sha256(blob.data(), blob.size(), tag)) return {};
  blob.append(reinterpret_cast<const char*>(tag), kTagSize);
  return blob;
}

bool ProtectData(const std::string& plain, const std::string& description, std::string* blob) {
  if (plain.size() > UINT32_MAX || description.size() > UINT32_MAX) return false;
  std::string b = ProtectDataForUser(static_cast<unsigned>(getuid()), plain, description);
  if (b.empty()) return false;
  *blob = std::move(b);
  return true;
}

bool UnprotectData(const std::string& blob, std::string* plain, std::string* description) {
  if (blob.size() < sizeof kMagic + 12 + kTagSize) return false;
  if (std::memcmp(blob.data(), kMagic, sizeof kMagic) != 0) return false;
  const size_t end = blob.size() - kTagSize;
  uint8_t tag[kTagSize];
  if (!Sha256(blob.data(), end, tag) || std::memcmp(tag, blob.data() + end, kTagSize) != 0) return false;
  size_t pos = sizeof kMagic;
  uint32_t uid, descLen, payloadLen;
  if (!GetU32(blob, pos, end, &uid) || uid != static_cast<uint32_t>(getuid())) return false;
  if (!GetU32(blob, pos, end, &descLen) || end - pos < descLen) return false;
  std::string desc = blob.substr(pos, descLen);
  pos += descLen;
  if (!GetU32(blob, pos, end, &payloadLen) || end - pos != payloadLen) return false;
  *plain = blob.substr(pos, payloadLen);
  if (description) *description = std::move(desc);
  return true;
}

}  // namespace platform
