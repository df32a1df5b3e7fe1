#pragma once
// Small helpers the whole host shares: bridge token, identity probe, UTF conversions, versions.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Lowercase hex, two digits per byte, high nibble first.
std::string HexLower(const uint8_t* bytes, size_t count);

// 32 random bytes as 64 lowercase hex characters; "" when the random source fails.
std::string MakeNativeWsToken();

// Whether the process runs with a package identity; never on this platform (logged only).
bool HasPackageIdentity();

// UTF-8 <-> UTF-16, read up to the first NUL; invalid sequences become U+FFFD.
std::u16string Utf8ToWide(const std::string& s);
std::string WideToUtf8(const std::u16string& s);

// The executable's product version, major.minor.build.revision.
std::string GetExeProductVersion();

// Drops a final ".YYYYMMDD" build-date component (20000101..20991231, month and day unchecked).
std::string StripBuildDateSuffix(const std::string& v);
// Dot-separated components; a component that is not all decimal digits counts as 0.
std::vector<uint64_t> ParseVersion(const std::string& v);
// True when a is newer than b, compared number by number after dropping build dates.
bool IsVersionNewer(const std::string& a, const std::string& b);

// The platform name the host reports to packages, tokens and the page.
const char* PluginPlatformName();
