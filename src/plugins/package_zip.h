#pragma once
// The one zip reader of plugin packages (libzip over the bytes in memory) and the one rule for
// what an entry is and whether it may be taken, shared by the manifest reader and the store's
// extractor, so that no entry can be hashed as a file by one and skipped by the other.
//
// Threads: a reader belongs to the thread that opened it. Ownership: the reader refers to the
// caller's bytes (not copied); they must outlive it. Nothing a zip declares (entry count, sizes)
// sizes an allocation: contents are streamed in bounded chunks and checked against the
// declared size, the walk's limits are applied before an entry is read.
#include <cstdint>
#include <functional>
#include <set>
#include <string>

struct zip;

namespace plugins {

// Limits of one package archive.
inline constexpr uint64_t kMaxPackageUncompressedBytes = 0x20000000;  // 512 MiB over all files
inline constexpr size_t kMaxPackageFiles = 8192;
inline constexpr uint64_t kMaxPluginJsonBytes = 0x100000;  // 1 MiB

struct PackageZipEntry {
  std::string name;         // as stored, every '\' replaced by '/'
  uint64_t size = 0;        // declared uncompressed size
  bool directory = false;   // the name ends in '/' (after the replacement)
  bool special = false;     // a symlink, device, FIFO or socket by its Unix attributes
};

class PackageZip {
 public:
  PackageZip() = default;
  ~PackageZip();
  PackageZip(const PackageZip&) = delete;
  PackageZip& operator=(const PackageZip&) = delete;

  // False when the bytes are not a readable zip.
  bool Open(const std::string& bytes);
  uint64_t EntryCount() const;
  // False when the entry's header cannot be read.
  bool Entry(uint64_t index, PackageZipEntry& out) const;
  // Streams the content to sink in chunks; false when it cannot be read, fails its CRC, is not
  // exactly declaredSize bytes long, or sink returns false.
  bool Read(uint64_t index, uint64_t declaredSize, const std::function<bool(const char*, size_t)>& sink) const;

 private:
  zip* archive_ = nullptr;
};

// Applies the package rules entry by entry, in central-directory order.
class PackageEntryWalk {
 public:
  enum class Verdict { kTake, kSkip, kUnsafePath, kOverLimit };
  // kSkip for a directory entry; kUnsafePath for a name that fails IsSafeRelativePath, a
  // special file, or a name equal to an earlier one after byte-wise lower-casing;
  // kOverLimit when the files' total size or count breaks the limits or plugin.json is too large.
  Verdict Admit(const PackageZipEntry& entry);

 private:
  std::set<std::string> lowerNames_;
  uint64_t totalBytes_ = 0;
};

}  // namespace plugins
