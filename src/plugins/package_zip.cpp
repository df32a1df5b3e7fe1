#include "plugins/package_zip.h"

#include <sys/stat.h>
#include <zip.h>

#include <algorithm>

#include "plugins/signed_manifest.h"

namespace plugins {

PackageZip::~PackageZip() {
  if (archive_) zip_discard(archive_);
}

bool PackageZip::Open(const std::string& bytes) {
  if (archive_ || bytes.empty()) return false;
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
  if (!source) {
    zip_error_fini(&error);
    return false;
  }
  archive_ = zip_open_from_source(source, ZIP_RDONLY, &error);
  if (!archive_) zip_source_free(source);
  zip_error_fini(&error);
  return archive_ != nullptr;
}

uint64_t PackageZip::EntryCount() const {
  if (!archive_) return 0;
  const zip_int64_t n = zip_get_num_entries(archive_, 0);
  return n < 0 ? 0 : uint64_t(n);
}

bool PackageZip::Entry(uint64_t index, PackageZipEntry& out) const {
  if (!archive_) return false;
  zip_stat_t st;
  zip_stat_init(&st);
  // The name's bytes as stored: a guessed conversion (CP437 maps control bytes to symbols)
  // would let the path rules see something other than what the archive holds.
  if (zip_stat_index(archive_, index, ZIP_FL_ENC_RAW, &st) != 0) return false;
  if (!(st.valid & ZIP_STAT_NAME) || !(st.valid & ZIP_STAT_SIZE) || !st.name) return false;
  out.name = st.name;
  std::replace(out.name.begin(), out.name.end(), '\\', '/');
  out.size = st.size;
  out.directory = !out.name.empty() && out.name.back() == '/';
  out.special = false;
  zip_uint8_t opsys = 0;
  zip_uint32_t attributes = 0;
  if (zip_file_get_external_attributes(archive_, index, 0, &opsys, &attributes) == 0 && opsys == ZIP_OPSYS_UNIX) {
    const unsigned type = (attributes >> 16) & S_IFMT;
    out.special = type != 0 && type != S_IFREG && type != S_IFDIR;
  }
  return true;
}

bool PackageZip::Read(uint64_t index, uint64_t declaredSize,
                      const std::function<bool(const char*, size_t)>& sink) const {
  if (!archive_) return false;
  zip_file_t* file = zip_fopen_index(archive_, index, 0);
  if (!file) return false;
  char chunk[64 * 1024];
  uint64_t seen = 0;
  bool ok = true;
  for (;;) {
    const zip_int64_t n = zip_fread(file, chunk, sizeof chunk);
    if (n < 0) {  // includes a CRC mismatch at the end
      ok = false;
      break;
    }
    if (n == 0) break;
    seen += uint64_t(n);
    if (seen > declaredSize || !sink(chunk, size_t(n))) {
      ok = false;
      break;
    }
  }
  zip_fclose(file);
  return ok && seen == declaredSize;
}

PackageEntryWalk::Verdict PackageEntryWalk::Admit(const PackageZipEntry& entry) {
  if (entry.special) return Verdict::kUnsafePath;
  if (entry.directory) return Verdict::kSkip;
  if (!IsSafeRelativePath(entry.name)) return Verdict::kUnsafePath;
  std::string lower = entry.name;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
  if (!lowerNames_.insert(lower).second) return Verdict::kUnsafePath;
  // Compared before adding, so a declared size near 2^64 cannot wrap the total.
  if (entry.size > kMaxPackageUncompressedBytes - totalBytes_) return Verdict::kOverLimit;
  totalBytes_ += entry.size;
  if (lowerNames_.size() > kMaxPackageFiles) return Verdict::kOverLimit;
  if (entry.name == "plugin.json" && entry.size > kMaxPluginJsonBytes) return Verdict::kOverLimit;
  return Verdict::kTake;
}

}  // namespace plugins
