#include "plugins/signed_manifest.h"

#include <sodium.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "build_config.h"
#include "bridge/tokens/ed25519.h"
#include "plugins/package_zip.h"
#include "plugins/sha256.h"
#include "base/strings.h"

using nlohmann::json;

namespace {

[[noreturn]] void Fail(const char* text) { throw std::runtime_error(text); }

// Code points of UTF-8 text; a byte that does not start a valid sequence becomes U+FFFD.
std::vector<char32_t> CodePoints(const std::string& s) {
  std::vector<char32_t> out;
  out.reserve(s.size());
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  for (size_t i = 0; i < n;) {
    const unsigned c = p[i];
    size_t len = 0;
    char32_t cp = 0, min = 0;
    if (c < 0x80) {
      out.push_back(c);
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4, cp = c & 0x07, min = 0x10000;
    }
    bool ok = len > 0 && i + len <= n;
    for (size_t k = 1; ok && k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) ok = false;
      cp = cp << 6 | (p[i + k] & 0x3F);
    }
    if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (!ok) {
      out.push_back(0xFFFD);
      ++i;
    } else {
      out.push_back(cp);
      i += len;
    }
  }
  return out;
}

std::u16string Utf16Units(const std::string& s) {
  std::u16string out;
  for (char32_t cp : CodePoints(s)) {
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(char16_t(0xD800 + (cp >> 10)));
      out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(char16_t(cp));
    }
  }
  return out;
}

void WriteUnitEscape(std::string& out, unsigned unit) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\u%04x", unit & 0xFFFF);
  out += buf;
}

void WriteString(std::string& out, const std::string& s) {
  out += '"';
  for (char32_t cp : CodePoints(s)) {
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case 0x08: out += "\\b"; break;
      case 0x09: out += "\\t"; break;
      case 0x0A: out += "\\n"; break;
      case 0x0C: out += "\\f"; break;
      case 0x0D: out += "\\r"; break;
      default:
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0xFFFF)) {
          WriteUnitEscape(out, cp);
        } else if (cp > 0xFFFF) {
          const char32_t v = cp - 0x10000;
          WriteUnitEscape(out, 0xD800 + (v >> 10));
          WriteUnitEscape(out, 0xDC00 + (v & 0x3FF));
        } else {
          out += char(cp);
        }
    }
  }
  out += '"';
}

// The number as ECMAScript's Number-to-String writes it.
void WriteNumber(std::string& out, double value) {
  if (!std::isfinite(value)) Fail("invalid manifest number");
  if (value == 0) {
    out += '0';
    return;
  }
  if (value < 0) {
    out += '-';
    value = -value;
  }
  // Shortest round-trip digits in the form d[.ddd]e[+-]x.
  char buf[64];
  const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  const std::string text(buf, result.ptr);
  const size_t e = text.find('e');
  std::string digits;
  for (size_t i = 0; i < e; ++i) {
    if (text[i] != '.') digits += text[i];
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  const int k = int(digits.size());
  const int n = std::stoi(text.substr(e + 1)) + 1;  // value = 0.d1..dk * 10^n
  if (k <= n && n <= 21) {
    out += digits;
    out.append(size_t(n - k), '0');
  } else if (0 < n && n <= 21) {
    out += digits.substr(0, size_t(n));
    out += '.';
    out += digits.substr(size_t(n));
  } else if (-6 < n && n <= 0) {
    out += "0.";
    out.append(size_t(-n), '0');
    out += digits;
  } else {
    out += digits[0];
    if (k > 1) {
      out += '.';
      out += digits.substr(1);
    }
    out += 'e';
    if (n - 1 >= 0) out += '+';
    out += std::to_string(n - 1);
  }
}

void WriteCanonical(std::string& out, const json& value) {
  switch (value.type()) {
    case json::value_t::object: {
      std::vector<std::pair<std::u16string, const std::string*>> keys;
      keys.reserve(value.size());
      for (auto it = value.begin(); it != value.end(); ++it) keys.emplace_back(Utf16Units(it.key()), &it.key());
      std::sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
      out += '{';
      for (size_t i = 0; i < keys.size(); ++i) {
        if (i) out += ',';
        WriteString(out, *keys[i].second);
        out += ':';
        WriteCanonical(out, value.at(*keys[i].second));
      }
      out += '}';
      break;
    }
    case json::value_t::array:
      out += '[';
      for (size_t i = 0; i < value.size(); ++i) {
        if (i) out += ',';
        WriteCanonical(out, value[i]);
      }
      out += ']';
      break;
    case json::value_t::string:
      WriteString(out, value.get_ref<const std::string&>());
      break;
    case json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      break;
    case json::value_t::number_integer:
      WriteNumber(out, double(value.get<int64_t>()));
      break;
    case json::value_t::number_unsigned:
      WriteNumber(out, double(value.get<uint64_t>()));
      break;
    case json::value_t::number_float:
      WriteNumber(out, value.get<double>());
      break;
    case json::value_t::null:
      out += "null";
      break;
    default:  // binary and discarded values have no JSON text
      Fail("invalid manifest number");
  }
}

std::string StringMember(const json& object, const char* key) {
  if (!object.is_object()) return "";
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : "";
}

const char* const kAllowedKeys[] = {"id",          "name",        "version",   "minAppVersion", "runtime",
                                    "entry",       "sandbox",     "sha256",    "author",        "homepage",
                                    "description", "extensions",  "mimeHints", "capabilities",  "signature",
                                    "sigVersion",  "contractVersion", "permissions", "realtime", "platforms",
                                    "launch",      "settings"};

}  // namespace

const std::array<uint8_t, 32>& PackageSigningPublicKey() {
  static const std::array<uint8_t, 32> key = Ed25519KeyFromHex(QV_PACKAGE_SIGNING_PUBLIC_KEY_HEX);
  return key;
}

json NormaliseSignedManifest(const json& manifest) {
  if (!manifest.is_object()) Fail("invalid signed manifest");
  for (auto it = manifest.begin(); it != manifest.end(); ++it) {
    if (std::find(std::begin(kAllowedKeys), std::end(kAllowedKeys), it.key()) == std::end(kAllowedKeys)) {
      Fail("unsupported signed manifest field");
    }
  }
  if (manifest.contains("sigVersion") && !(manifest["sigVersion"].is_number() && manifest["sigVersion"] == 3)) {
    Fail("unsupported signature payload format");
  }
  if (manifest.contains("contractVersion") &&
      !(manifest["contractVersion"].is_number() && manifest["contractVersion"] == 2)) {
    Fail("unsupported contract version");
  }
  json out = json::object();
  for (const char* key : {"id", "name", "version", "minAppVersion", "runtime", "entry", "sandbox", "sha256", "author",
                          "homepage", "description"}) {
    const auto it = manifest.find(key);
    if (it != manifest.end()) {
      if (!it->is_string()) Fail("invalid manifest field");
      out[key] = *it;
    } else if (std::string_view(key) == "sha256" || std::string_view(key) == "author" ||
               std::string_view(key) == "homepage" || std::string_view(key) == "description") {
      out[key] = "";
    } else {
      Fail("missing manifest field");
    }
  }
  for (const char* key : {"extensions", "mimeHints", "capabilities"}) {
    const auto it = manifest.find(key);
    const bool required = std::string_view(key) != "mimeHints";
    if (it == manifest.end()) {
      if (required) Fail("invalid manifest array");
      out[key] = json::array();
      continue;
    }
    if (!it->is_array()) Fail("invalid manifest array");
    for (const json& element : *it) {
      if (!element.is_string()) Fail("invalid manifest array");
    }
    out[key] = *it;
  }
  out["sigVersion"] = 3;
  out["contractVersion"] = 2;
  for (const char* key : {"permissions", "realtime", "platforms", "launch", "settings"}) {
    const auto it = manifest.find(key);
    if (it != manifest.end()) out[key] = *it;
  }
  return out;
}

std::string CanonicalJson(const json& value) {
  std::string out;
  WriteCanonical(out, value);
  return out;
}

std::string SignedManifestText(const json& manifest) { return "v=3\n" + CanonicalJson(NormaliseSignedManifest(manifest)); }

bool DecodeBase64Loose(const std::string& text, std::string& out) {
  // Value of each kept character ('=' counts as zero bits); -1 for the ones that are dropped.
  // The plain table also gives -1 for '=': four plain characters are one whole group.
  static const auto kValues = [] {
    std::array<int8_t, 256> v{};
    v.fill(-1);
    for (int i = 0; i < 26; ++i) v['A' + i] = int8_t(i), v['a' + i] = int8_t(26 + i);
    for (int i = 0; i < 10; ++i) v['0' + i] = int8_t(52 + i);
    v['+'] = v['-'] = 62;
    v['/'] = v['_'] = 63;
    v['='] = 0;
    return v;
  }();
  static const auto kPlain = [] {
    std::array<int8_t, 256> v = kValues;
    v['='] = -1;
    return v;
  }();
  // Written through a pointer into room for every group: a package's text is tens of MiB.
  out.clear();
  out.resize(text.size() / 4 * 3 + 3);
  char* o = out.data();
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  unsigned bits = 0;
  int held = 0;
  bool padThird = false;
  for (size_t i = 0; i < n;) {
    if (held == 0 && i + 4 <= n) {
      const int8_t a = kPlain[p[i]], b = kPlain[p[i + 1]], c = kPlain[p[i + 2]], d = kPlain[p[i + 3]];
      if ((a | b | c | d) >= 0) {
        const unsigned group = unsigned(a) << 18 | unsigned(b) << 12 | unsigned(c) << 6 | unsigned(d);
        *o++ = char(group >> 16);
        *o++ = char((group >> 8) & 0xFF);
        *o++ = char(group & 0xFF);
        i += 4;
        continue;
      }
    }
    const unsigned char c = p[i++];
    const int8_t value = kValues[c];
    if (value < 0) continue;
    bits = bits << 6 | unsigned(value);
    if (held == 2) padThird = c == '=';
    if (++held < 4) continue;
    *o++ = char(bits >> 16);
    if (!padThird) *o++ = char((bits >> 8) & 0xFF);
    if (c != '=') *o++ = char(bits & 0xFF);
    bits = 0;
    held = 0;
  }
  if (held != 0) {
    out.clear();
    return false;
  }
  out.resize(size_t(o - out.data()));
  return true;
}

bool IsSafeRelativePath(const std::string& path) {
  if (path.empty() || path.size() > 512) return false;
  if (path[0] == '/' || path[0] == '\\') return false;
  size_t segmentStart = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size()) {
      const unsigned char c = static_cast<unsigned char>(path[i]);
      if (c < 0x20 || c == ':') return false;
      if (c != '/' && c != '\\') continue;
    }
    const std::string_view segment(path.data() + segmentStart, i - segmentStart);
    if (segment.empty() || segment == "." || segment == "..") return false;
    segmentStart = i + 1;
  }
  return true;
}

bool ReadPackageZip(const std::string& zipBytes, json* manifest, PackageFileHashes* hashes) {
  plugins::PackageZip zip;
  if (!zip.Open(zipBytes)) return false;
  plugins::PackageEntryWalk walk;
  bool foundManifest = false;
  const uint64_t count = zip.EntryCount();
  for (uint64_t i = 0; i < count; ++i) {
    plugins::PackageZipEntry entry;
    if (!zip.Entry(i, entry)) return false;
    const auto verdict = walk.Admit(entry);
    if (verdict == plugins::PackageEntryWalk::Verdict::kSkip) continue;
    if (verdict != plugins::PackageEntryWalk::Verdict::kTake) return false;
    const bool isManifest = entry.name == "plugin.json";
    // Asked for the manifest alone, the other files are not inflated: extraction reads them
    // (and checks their CRC) once, and nothing is kept when it fails.
    if (manifest && !hashes && !isManifest) continue;
    plugins::Sha256 hasher;
    std::string content;
    const bool ok = zip.Read(i, entry.size, [&](const char* data, size_t length) {
      if (hashes) hasher.Update(data, length);
      if (isManifest && manifest) content.append(data, length);
      return true;
    });
    if (!ok) return false;
    if (hashes) {
      const auto digest = hasher.Finish();
      (*hashes)[entry.name] = HexLower(digest.data(), digest.size());
    }
    if (isManifest && manifest) {
      *manifest = json::parse(content, nullptr, false);
      if (manifest->is_discarded()) return false;
      foundManifest = true;
    }
  }
  return !manifest || foundManifest;
}

std::string VerifySignedManifest(const InstalledPackage& expected, const std::string& zipBytes,
                                 const json& signedManifest) {
  return VerifySignedManifest(expected, zipBytes, Sha256Hex(zipBytes), signedManifest);
}

std::string VerifySignedManifest(const InstalledPackage& expected, const std::string& zipBytes,
                                 const std::string& zipSha256, const json& signedManifest) {
  const std::string invalid = "package signature invalid";
  try {
    if (!signedManifest.is_object() || !signedManifest.contains("sigVersion") ||
        !signedManifest["sigVersion"].is_number() || signedManifest["sigVersion"] != 3) {
      return invalid;
    }
    if (StringMember(signedManifest, "id") != expected.pluginId ||
        StringMember(signedManifest, "version") != expected.version ||
        StringMember(signedManifest, "sha256") != expected.packageSha256 ||
        zipSha256 != expected.packageSha256) {
      return invalid;
    }
    std::string signature;
    if (!DecodeBase64Loose(StringMember(signedManifest, "signature"), signature) ||
        signature.size() != crypto_sign_BYTES) {
      return invalid;
    }
    const std::string text = SignedManifestText(signedManifest);
    if (sodium_init() < 0) return invalid;
    const std::string sealed = signature + text;
    std::vector<unsigned char> opened(sealed.size());
    unsigned long long openedLength = 0;
    if (crypto_sign_open(opened.data(), &openedLength, reinterpret_cast<const unsigned char*>(sealed.data()),
                         sealed.size(), PackageSigningPublicKey().data()) != 0 ||
        openedLength != text.size()) {
      return invalid;
    }
    json packageManifest;
    if (!ReadPackageZip(zipBytes, &packageManifest, nullptr)) return "package manifest invalid";
    // The package cannot hold its own hash, so these two come from the signed copy.
    if (!packageManifest.is_object()) return invalid;
    for (const char* key : {"sha256", "sigVersion"}) {
      if (signedManifest.contains(key)) {
        packageManifest[key] = signedManifest[key];
      } else {
        packageManifest.erase(key);
      }
    }
    if (text != SignedManifestText(packageManifest)) return "package manifest mismatch";
    if (StringMember(signedManifest, "runtime") != "native" || StringMember(signedManifest, "sandbox") != "process") {
      return "package runtime rejected";
    }
    return "";
  } catch (const std::exception&) {
    return invalid;
  }
}
