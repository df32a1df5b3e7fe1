#include "base/version.h"

#include <algorithm>

#include "build_config.h"

std::string GetExeProductVersion() { return QV_VERSION_STRING; }

std::string StripBuildDateSuffix(const std::string& v) {
  size_t dot = v.rfind('.');
  if (dot == std::string::npos || dot + 1 == v.size()) return v;
  std::string tail = v.substr(dot + 1);
  if (tail.size() != 8) return v;
  for (char c : tail) {
    if (c < '0' || c > '9') return v;
  }
  unsigned long value = std::stoul(tail);
  if (value < 20000101UL || value > 20991231UL) return v;
  return v.substr(0, dot);
}

std::vector<uint64_t> ParseVersion(const std::string& v) {
  std::vector<uint64_t> parts;
  size_t start = 0;
  while (true) {
    size_t dot = v.find('.', start);
    std::string component = v.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    // Only decimal digits count: signs, blanks and anything else make the component 0,
    // and a value too large for 64 bits saturates.
    uint64_t value = 0;
    bool digitsOnly = !component.empty();
    for (char c : component) {
      if (c < '0' || c > '9') {
        digitsOnly = false;
        break;
      }
      uint64_t digit = static_cast<uint64_t>(c - '0');
      value = value > (UINT64_MAX - digit) / 10 ? UINT64_MAX : value * 10 + digit;
    }
    parts.push_back(digitsOnly ? value : 0);
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return parts;
}

bool IsVersionNewer(const std::string& a, const std::string& b) {
  std::vector<uint64_t> va = ParseVersion(StripBuildDateSuffix(a));
  std::vector<uint64_t> vb = ParseVersion(StripBuildDateSuffix(b));
  size_t n = std::max(va.size(), vb.size());
  va.resize(n, 0);
  vb.resize(n, 0);
  for (size_t i = 0; i < n; ++i) {
    if (va[i] != vb[i]) return va[i] > vb[i];
  }
  return false;
}

