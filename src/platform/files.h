#pragma once
// Whole-file reads and crash-safe writes.
#include <cstddef>
#include <string>

namespace platform {

// Reads the whole file; false when it cannot be opened or read, or is larger than maxBytes.
bool ReadFile(const std::string& path, std::string* out, size_t maxBytes = size_t(1) << 30);

// Writes data to a temporary file in the same folder, flushes it and renames it over path,
// so readers see the old or the new content, never a part. The file gets the given mode.
bool WriteFileAtomic(const std::string& path, const std::string& data, unsigned mode = 0644);

}  // namespace platform
