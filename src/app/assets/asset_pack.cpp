#include "app/assets/asset_pack.h"

#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <limits>
#include <new>
#include <utility>

#include "base/bytes.h"
#include "base/constants.h"
#include "base/strings.h"
#include "base/version.h"
#include "base/log.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace {

constexpr size_t kHeaderSize = 20;
constexpr size_t kPack2HeaderSize = 28;
// The smallest table entry: two empty strings with their lengths, offset and size.
constexpr size_t kMinEntrySize = 2 + 2 + 8 + 8;
// DEFLATE cannot expand data by more than 1032:1 (a 258-byte match in two one-bit codes): a
// declared inflated size beyond that for the bytes at hand means the header is damaged.
constexpr uint64_t kMaxInflateRatio = 1032;
constexpr uint64_t kInflateSlack = 1024;

using base::ReadLe16;
using base::ReadLe32;
using base::ReadLe64;

// Inflates one raw DEFLATE stream that must produce exactly `expected` bytes. The buffer grows
// with what the stream really yields, so a lying header costs no more memory than the data.
bool InflateExactly(const uint8_t* in, size_t inLength, size_t expected, std::vector<uint8_t>& out) {
  z_stream zs{};
  if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) return false;
  bool ok = false;
  try {
    out.resize(std::min<size_t>(expected, std::max<size_t>(inLength * 4, size_t{1} << 16)));
    zs.next_in = const_cast<Bytef*>(in);
    size_t produced = 0;
    size_t consumed = 0;
    for (;;) {
      // zlib counts in uInt; feed and drain it in pieces that fit.
      if (zs.avail_in == 0 && consumed < inLength) {
        size_t chunk = std::min<size_t>(inLength - consumed, std::numeric_limits<uInt>::max());
        zs.avail_in = static_cast<uInt>(chunk);
        consumed += chunk;
      }
      if (produced == out.size() && out.size() < expected) {
        out.resize(std::min(expected, out.size() * 2));
      }
      uint8_t probe;
      bool probing = produced == expected;  // any further byte means the stream is too long
      zs.next_out = probing ? &probe : out.data() + produced;
      zs.avail_out = probing ? 1 : static_cast<uInt>(std::min<size_t>(out.size() - produced,
                                                                      std::numeric_limits<uInt>::max()));
      uInt before = zs.avail_out;
      int rc = inflate(&zs, Z_NO_FLUSH);
      size_t made = before - zs.avail_out;
      if (probing && made > 0) break;
      produced += made;
      if (rc == Z_STREAM_END) {
        ok = produced == expected;
        break;
      }
      if (rc != Z_OK && rc != Z_BUF_ERROR) break;
      if (made == 0 && zs.avail_in == 0 && consumed == inLength) break;  // input ran out
    }
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  inflateEnd(&zs);
  return ok;
}

// Usable: the file exists, is not a folder and holds more than the bare header.
bool IsUsablePackFile(const std::string& path, uint64_t* mtime) {
  if (mtime) *mtime = 0;
  struct stat st {};
  if (path.empty() || stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode) || st.st_size <= 20) return false;
  if (mtime) {
    *mtime = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000ull + static_cast<uint64_t>(st.st_mtim.tv_nsec);
  }
  return true;
}

const uint8_t kEmptyData[1] = {0};

}  // namespace

AssetPackSources DefaultAssetPackSources() {
  AssetPackSources s;
  s.updatePackPath = GetOtaWebPackPath();
  s.diskPackPath = platform::JoinPath(platform::ExecutableDir(), "web.pack");
  s.overlayPackPath = GetOtaOverlayPackPath();
  s.metaPath = GetOtaMetaPath();
  s.embedded = EmbeddedWebPack();
  s.exeVersion = GetExeProductVersion();
  return s;
}

AssetPack::AssetPack() : AssetPack(DefaultAssetPackSources()) {}
AssetPack::AssetPack(AssetPackSources sources) : sources_(std::move(sources)) {}

void AssetPack::Clear() {
  base_ = Parsed{};
  overlay_ = Parsed{};
}

bool AssetPack::ParseInto(const uint8_t* data, size_t length, std::shared_ptr<const void> owner, Parsed& out) {
  if (!data || length < kHeaderSize) return false;
  bool v1 = std::memcmp(data, "QVNPACK1", 8) == 0;
  bool v2 = std::memcmp(data, "QVNPACK2", 8) == 0;
  if (!v1 && !v2) return false;
  if (ReadLe32(data + 8) != (v1 ? 1u : 2u)) return false;
  uint32_t count = ReadLe32(data + 16);
  size_t pos = kHeaderSize;
  uint64_t limit = length;
  if (v2) {
    if (length < kPack2HeaderSize) return false;
    limit = ReadLe64(data + 20);
    pos = kPack2HeaderSize;
    if (limit > std::numeric_limits<size_t>::max()) return false;
  }
  Parsed parsed;
  // The count is untrusted: the table cannot hold more entries than its bytes allow.
  parsed.entries.reserve(std::min<size_t>(count, (length - pos) / kMinEntrySize));
  for (uint32_t i = 0; i < count; ++i) {
    if (length - pos < 2) return false;
    size_t nameLength = ReadLe16(data + pos);
    if (length - pos - 2 < nameLength + 2) return false;
    std::string name(reinterpret_cast<const char*>(data + pos + 2), nameLength);
    pos += 2 + nameLength;
    size_t mimeLength = ReadLe16(data + pos);
    if (length - pos - 2 < mimeLength + 16) return false;
    AssetPackEntry entry;
    entry.mime.assign(reinterpret_cast<const char*>(data + pos + 2), mimeLength);
    pos += 2 + mimeLength;
    entry.offset = ReadLe64(data + pos);
    entry.size = ReadLe64(data + pos + 8);
    pos += 16;
    if (entry.offset > limit || entry.size > limit - entry.offset) return false;
    if (entry.mime.empty()) entry.mime = "application/octet-stream";
    parsed.entries.insert_or_assign(std::move(name), std::move(entry));
  }
  if (v2) {
    size_t inflatedSize = static_cast<size_t>(limit);
    auto buffer = std::make_shared<std::vector<uint8_t>>();
    if (inflatedSize > 0) {
      size_t compressed = length - pos;
      if (compressed == 0) return false;
      if (limit > static_cast<uint64_t>(compressed) * kMaxInflateRatio + kInflateSlack) return false;
      if (limit > kMaxInflatedPackBytes) return false;
      if (!InflateExactly(data + pos, compressed, inflatedSize, *buffer)) return false;
    }
    parsed.data = buffer->empty() ? kEmptyData : buffer->data();
    parsed.size = inflatedSize;
    parsed.owner = std::move(buffer);
  } else {
    parsed.data = data;
    parsed.size = length;
    parsed.owner = std::move(owner);
  }
  out = std::move(parsed);
  return true;
}

bool AssetPack::Parse(const uint8_t* data, size_t length) { return ParseInto(data, length, nullptr, base_); }

bool AssetPack::ParseOverlay(const uint8_t* data, size_t length) {
  return ParseInto(data, length, nullptr, overlay_);
}

// Reads a pack file and parses it as the base; the file buffer becomes the owner of a
// "QVNPACK1" pack's data.
bool AssetPack::LoadFile(const std::string& path) {
  auto file = std::make_shared<std::vector<uint8_t>>();
  if (!ReadWholeFile(path, *file)) return false;
  return ParseInto(file->data(), file->size(), file, base_);
}

bool AssetPack::LoadedFrom(const char* source) {
  LogPrintf("[assets] loaded from %s (%zu bytes, %zu entries)\n", source, base_.size, base_.entries.size());
  ApplyOtaOverlay();
  return true;
}

bool AssetPack::Load() {
  // Every source is parsed on its own; what was loaded before stays out of the choice.
  Clear();
  uint64_t updateTime = 0;
  uint64_t diskTime = 0;
  bool updateUsable = IsUsablePackFile(sources_.updatePackPath, &updateTime);
  bool diskUsable = IsUsablePackFile(sources_.diskPackPath, &diskTime);
  std::string updateVersion = updateUsable ? ReadOtaMetaString(sources_.metaPath, "version") : std::string();
  const std::string& exeVersion = sources_.exeVersion;

  bool useUpdate = false;
  if (updateUsable) {
    if (!updateVersion.empty() && !exeVersion.empty() && exeVersion != "0") {
      useUpdate = IsVersionNewer(updateVersion, exeVersion);
      LogPrintf("[assets] version compare ota=%s (base=%s) local=%s (base=%s) -> %s\n", updateVersion.c_str(),
                StripBuildDateSuffix(updateVersion).c_str(), exeVersion.c_str(),
                StripBuildDateSuffix(exeVersion).c_str(), useUpdate ? "OTA" : "local");
    } else if (diskUsable) {
      if (updateTime == 0 || diskTime == 0) {
        LogPrintf("[assets] default to local\n");
      } else {
        useUpdate = diskTime < updateTime;
        LogPrintf("[assets] mtime compare ota=%llu disk=%llu -> %s\n", static_cast<unsigned long long>(updateTime),
                  static_cast<unsigned long long>(diskTime), useUpdate ? "OTA" : "local");
      }
    } else {
      LogPrintf("[assets] OTA only (no disk pack) -> OTA\n");
      useUpdate = true;
    }
    if (useUpdate) {
      if (LoadFile(sources_.updatePackPath)) return LoadedFrom("OTA active/web.pack");
      Clear();
      LogPrintf("[assets] OTA pack failed to parse, falling back to local\n");
    }
  }

  if (diskUsable) {
    if (LoadFile(sources_.diskPackPath)) return LoadedFrom("disk web.pack");
    Clear();
  }

  const std::span<const uint8_t> embedded = sources_.embedded;
  if (embedded.data()) {
    if (embedded.size() >= kHeaderSize && Parse(embedded.data(), embedded.size())) {
      LogPrintf("[assets] loaded from embedded resource (%lu bytes, %zu entries)\n",
                static_cast<unsigned long>(embedded.size()), base_.entries.size());
      ApplyOtaOverlay();
      return true;
    }
    LogPrintf("[assets] embedded QVNPACK failed to parse\n");
  }

  if (!useUpdate && updateUsable) {
    if (LoadFile(sources_.updatePackPath)) return LoadedFrom("OTA (rescue)");
    Clear();
  }

  LogPrintf("[assets] no usable disk, embedded, or OTA QVNPACK\n");
  return false;
}

void AssetPack::ApplyOtaOverlay() {
  overlay_ = Parsed{};
  if (ReadOtaMetaString(sources_.metaPath, "kind") != "overlay") return;
  std::string version = ReadOtaMetaString(sources_.metaPath, "version");
  const std::string& native = sources_.exeVersion;
  if (version.empty() || native.empty() || !IsVersionNewer(version, native)) {
    LogPrintf("[assets] stale OTA overlay ignored (version=%s native=%s)\n", version.c_str(), native.c_str());
    return;
  }
  if (!IsUsablePackFile(sources_.overlayPackPath, nullptr)) return;
  auto file = std::make_shared<std::vector<uint8_t>>();
  if (!ReadWholeFile(sources_.overlayPackPath, *file)) return;
  if (ParseInto(file->data(), file->size(), file, overlay_)) {
    LogPrintf("[assets] OTA overlay: %zu entries\n", overlay_.entries.size());
  } else {
    overlay_ = Parsed{};
    LogPrintf("[assets] OTA overlay (ota.pack) failed to parse; ignoring\n");
  }
}

std::shared_ptr<const uint8_t> AssetPack::Find(const std::string& path, size_t& size, std::string& mime) const {
  std::string name = NormalizeAssetPath(path);
  if (name.empty()) return nullptr;
  auto lookup = [&](const Parsed& pack, const AssetPackEntry& e) -> std::shared_ptr<const uint8_t> {
    if (e.offset > pack.size || e.size > pack.size - e.offset) return nullptr;
    size = static_cast<size_t>(e.size);
    mime = e.mime;
    // Shares ownership of the pack's buffer (none for static memory) and points at the entry.
    return std::shared_ptr<const uint8_t>(pack.owner, pack.data + e.offset);
  };
  if (overlay_.data) {
    auto it = overlay_.entries.find(name);
    if (it != overlay_.entries.end()) return lookup(overlay_, it->second);
  }
  if (!base_.data) return nullptr;
  auto it = base_.entries.find(name);
  if (it == base_.entries.end()) return nullptr;
  return lookup(base_, it->second);
}

std::string NormalizeAssetPath(const std::string& path) {
  size_t start = path.find_first_not_of('/');
  std::string name = start == std::string::npos ? std::string() : path.substr(start);
  size_t skip = 0;
  while (name.size() - skip >= 2 && name.compare(skip, 2, "./") == 0) skip += 2;
  name.erase(0, skip);
  if (name.empty()) return "index.html";
  if (name.find("..") != std::string::npos) return {};
  return name;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& out) {
  std::string bytes;
  platform::FileTrust trust;
  if (!platform::ReadTrustedFile(path, &bytes, kMaxPackFileBytes, &trust)) {
    // A pack is the page the host runs with the bridge token: one planted by another user in
    // a shared folder must never be loaded.
    if (!trust.trusted && !trust.whyNot.empty()) {
      LogPrintf("[assets] %s ignored: %s\n", path.c_str(), trust.whyNot.c_str());
    }
    return false;
  }
  if (bytes.size() <= 20) return false;
  out.assign(bytes.begin(), bytes.end());
  return true;
}
