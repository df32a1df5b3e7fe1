#include "app/helpers.h"

#include <algorithm>

#include "app/log.h"
#include "build_config.h"
#include "platform/crypto.h"

std::string HexLower(const uint8_t* bytes, size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(count * 2);
  for (size_t i = 0; i < count; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0xF]);
  }
  return out;
}

std::string MakeNativeWsToken() {
  uint8_t bytes[32];
  if (!platform::RandomBytes(bytes, sizeof bytes)) return {};
  return HexLower(bytes, sizeof bytes);
}

bool HasPackageIdentity() {
  LogPrintf("[main] Package::Current() returned null\n");
  return false;
}

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at s[i]; advances i past it (one byte for an invalid lead).
char32_t DecodeUtf8(const std::string& s, size_t& i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char lead = byte(i);
  if (lead < 0x80) {
    ++i;
    return lead;
  }
  int extra;
  char32_t cp;
  char32_t min;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1, cp = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, cp = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, cp = lead & 0x07, min = 0x10000;
  } else {
    ++i;
    return kReplacement;
  }
  size_t k = i + 1;
  for (int n = 0; n < extra; ++n, ++k) {
    if (k >= s.size() || s[k] == '\0' || (byte(k) & 0xC0) != 0x80) {
      i = k;
      return kReplacement;
    }
    cp = (cp << 6) | (byte(k) & 0x3F);
  }
  i = k;
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kReplacement;
  return cp;
}

}  // namespace

std::u16string Utf8ToWide(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size() && s[i] != '\0';) {
    char32_t cp = DecodeUtf8(s, i);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string WideToUtf8(const std::u16string& s) {
  std::string out;
  for (size_t i = 0; i < s.size() && s[i] != u'\0'; ++i) {
    char32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacement;  // lone surrogate
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

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

const char* PluginPlatformName() { return "linux"; }
