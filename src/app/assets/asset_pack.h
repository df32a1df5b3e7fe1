#pragma once
// The web asset pack: the page's files as one "QVNPACK1" (raw) or "QVNPACK2" (one raw DEFLATE
// stream) file. AssetPack picks the pack to serve among the update store, web.pack beside the
// executable and the pack embedded in the executable, applies an update overlay, and answers
// lookups by path for the resource handler. UI thread only.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/update/ota_store.h"

// Bounds no real pack comes near (the embedded one is a few MiB): a pack file read from disk,
// and the data area a "QVNPACK2" pack inflates to.
inline constexpr size_t kMaxPackFileBytes = size_t(256) << 20;
inline constexpr uint64_t kMaxInflatedPackBytes = uint64_t(256) << 20;

struct AssetPackEntry {
  uint64_t offset = 0;
  uint64_t size = 0;
  std::string mime;
};

// Where AssetPack::Load looks. The default (DefaultAssetPackSources) is the update store under
// the per-user data folder, web.pack beside the executable and the embedded pack; tests point
// it at their own files.
struct AssetPackSources {
  std::string updatePackPath;   // the update store's full pack (active/web.pack)
  std::string diskPackPath;     // web.pack beside the executable
  std::string overlayPackPath;  // the update store's overlay pack (active/ota.pack)
  std::string metaPath;         // the update store's meta.json
  std::span<const uint8_t> embedded;  // must outlive the AssetPack; empty = none
  std::string exeVersion;             // the executable's product version
};

AssetPackSources DefaultAssetPackSources();

// The pack linked into the executable at build time (read-only memory, static lifetime).
std::span<const uint8_t> EmbeddedWebPack();

class AssetPack {
 public:
  AssetPack();
  explicit AssetPack(AssetPackSources sources);

  // Chooses, reads and parses the base pack, then applies the overlay. Replaces whatever was
  // loaded before; false (and no entries) when no source parses.
  bool Load();

  // Parses a base pack / an overlay pack. On failure the current base / overlay stays as it
  // was. A "QVNPACK1" pack is served from the given memory, which the caller keeps alive and
  // unchanged (static memory, as the embedded pack); a "QVNPACK2" pack is inflated into a
  // buffer of its own.
  bool Parse(const uint8_t* data, size_t length);
  bool ParseOverlay(const uint8_t* data, size_t length);

  void ApplyOtaOverlay();

  // The bytes of one asset, or null when it is not found. The result shares ownership of the
  // pack's memory, so it stays valid after a reload replaces the pack. mime is never empty
  // for a found entry.
  std::shared_ptr<const uint8_t> Find(const std::string& path, size_t& size, std::string& mime) const;

  size_t BaseEntryCount() const { return base_.entries.size(); }
  size_t BaseDataSize() const { return base_.size; }
  size_t OverlayEntryCount() const { return overlay_.entries.size(); }
  bool HasOverlay() const { return overlay_.data != nullptr; }

 private:
  struct Parsed {
    std::shared_ptr<const void> owner;  // the buffer that data points into; null for static memory
    const uint8_t* data = nullptr;      // first byte of the data area; null = nothing loaded
    size_t size = 0;
    std::unordered_map<std::string, AssetPackEntry> entries;
  };

  static bool ParseInto(const uint8_t* data, size_t length, std::shared_ptr<const void> owner, Parsed& out);
  bool LoadFile(const std::string& path);
  bool LoadedFrom(const char* source);
  void Clear();

  AssetPackSources sources_;
  Parsed base_;
  Parsed overlay_;
};

// Drops leading "/" and "./"; "" becomes "index.html"; a path holding ".." is refused ("").
std::string NormalizeAssetPath(const std::string& path);

// The whole file; false (out unchanged) when it cannot be read, holds 20 bytes or fewer, is
// larger than kMaxPackFileBytes or is not trusted (a regular file owned by this user or root
// and writable by no one else; a refusal is logged).
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& out);
