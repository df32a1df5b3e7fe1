#pragma once
// SHA-256 of package bytes as the package store and the manifest check name it: 64 lowercase
// hex digits, computed by OpenSSL (platform/crypto.h). Pure functions; any thread.
#include <cstddef>
#include <string>

#include "platform/crypto.h"

namespace plugins {
// The incremental hasher, for bytes hashed while they are read or written.
using Sha256 = platform::Sha256Stream;
}  // namespace plugins

// SHA-256 of the bytes as 64 lowercase hex digits.
std::string Sha256Hex(const void* data, size_t length);
inline std::string Sha256Hex(const std::string& bytes) { return Sha256Hex(bytes.data(), bytes.size()); }
