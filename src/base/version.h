#pragma once
// Version texts: the executable's own and the comparison the asset packs and updates use.
// Pure functions.
#include <cstdint>
#include <string>
#include <vector>

// The executable's product version, major.minor.build.revision.
std::string GetExeProductVersion();

// Drops a final ".YYYYMMDD" build-date component (20000101..20991231, month and day unchecked).
std::string StripBuildDateSuffix(const std::string& v);
// Dot-separated components; a component that is not all decimal digits counts as 0.
std::vector<uint64_t> ParseVersion(const std::string& v);
// True when a is newer than b, compared number by number after dropping build dates.
bool IsVersionNewer(const std::string& a, const std::string& b);
