#include "plugins/signed_manifest.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "package_test_support.h"
#include "base/base64.h"
#include "base/strings.h"
#include "platform/crypto.h"
#include "plugins/package_zip.h"

namespace {

using nlohmann::json;
using namespace packagetest;

TEST(CanonicalJson, WorkedExamplesAndKeyOrder) {
  EXPECT_EQ(CanonicalJson(json::parse(R"({"b":1.50,"a":[true,null],"é":"x"})")),
            R"({"a":[true,null],"b":1.5,"\u00e9":"x"})");
  // U+1F600 is D83D DE00 in UTF-16 and sorts before U+FF61, although its UTF-8 sorts after.
  EXPECT_EQ(CanonicalJson(json::parse("{\"\xEF\xBD\xA1\":2,\"\xF0\x9F\x98\x80\":1}")), R"({"\ud83d\ude00":1,"\uff61":2})");
  EXPECT_EQ(CanonicalJson(json::parse(R"({"ab":1,"a":2,"":3})")), R"({"":3,"a":2,"ab":1})");
  EXPECT_EQ(CanonicalJson(json("q\"\\/\b\t\n\f\r\x01\x7F")), R"("q\"\\/\b\t\n\f\r\u0001\u007f")");

  json manifest = {{"id", "demo.plugin"}, {"name", "Demo"}, {"version", "1.0.0"}, {"minAppVersion", "1.0.0"},
                   {"runtime", "native"}, {"entry", "bin/demo.exe"}, {"sandbox", "process"},
                   {"extensions", {".csv"}}, {"capabilities", {"decode"}}};
  EXPECT_EQ(SignedManifestText(manifest),
            std::string("v=3\n") +
                R"({"author":"","capabilities":["decode"],"contractVersion":2,"description":"","entry":"bin/demo.exe",)"
                R"("extensions":[".csv"],"homepage":"","id":"demo.plugin","mimeHints":[],"minAppVersion":"1.0.0",)"
                R"("name":"Demo","runtime":"native","sandbox":"process","sha256":"","sigVersion":3,"version":"1.0.0"})");
}

TEST(CanonicalJson, NumbersAsEcmaScriptWritesThem) {
  struct Case {
    json value;
    const char* text;
  } cases[] = {
      {100, "100"},
      {1e20, "100000000000000000000"},
      {1e21, "1e+21"},
      {123456789012345680000.0, "123456789012345680000"},
      {0.000001, "0.000001"},
      {1e-7, "1e-7"},
      {-1.5e-7, "-1.5e-7"},
      {-0.0, "0"},
      {0, "0"},
      {int64_t(9007199254740993), "9007199254740992"},
      {uint64_t(18446744073709551615ull), "18446744073709552000"},
      {int64_t(std::numeric_limits<int64_t>::min()), "-9223372036854776000"},
      {1.5, "1.5"},
      {-123.456, "-123.456"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {0.1, "0.1"},
      {123e-20, "1.23e-18"},
  };
  for (const Case& c : cases) EXPECT_EQ(CanonicalJson(c.value), c.text) << c.value.dump();
  for (double bad : {std::nan(""), std::numeric_limits<double>::infinity()}) {
    try {
      CanonicalJson(json{{"a", {bad}}});
      ADD_FAILURE() << "no throw";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "invalid manifest number");
    }
  }
}

// Random values written by our writer and by node's JSON.stringify over a key-sorted copy (JS
// sorts strings by UTF-16 code units); node leaves non-ASCII raw, so its output is escaped after.
TEST(CanonicalJson, AgreesWithNodeOnRandomValues) {
  std::mt19937_64 rng(20261210);
  const std::vector<std::string> keyParts = {"a", "B", "z", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                                             "\xEF\xBD\xA1", "_", " ", "\"", "\\", "\x01", "\x7F", "k9"};
  auto randomString = [&](size_t maxParts) {
    std::string s = "k";  // keys that look like array indexes would be reordered by JS objects
    const size_t n = rng() % (maxParts + 1);
    for (size_t i = 0; i < n; ++i) s += keyParts[rng() % keyParts.size()];
    return s;
  };
  std::function<json(int)> randomValue = [&](int depth) -> json {
    switch (rng() % (depth > 3 ? 6 : 8)) {
      case 0: return nullptr;
      case 1: return bool(rng() & 1);
      case 2: {  // integers near 2^53 and 2^63
        const int64_t base = (rng() & 1) ? (int64_t(1) << 53) : std::numeric_limits<int64_t>::max();
        const int64_t v = base - int64_t(rng() % 4096);
        return (rng() & 1) ? v : -v;
      }
      case 3: {
        double d;
        do {
          const uint64_t bits = rng();
          std::memcpy(&d, &bits, sizeof d);
        } while (!std::isfinite(d));
        return d;
      }
      case 4: return int64_t(rng() % 2000) - 1000;
      case 5: return randomString(4);
      case 6: {
        json a = json::array();
        for (size_t i = rng() % 5; i > 0; --i) a.push_back(randomValue(depth + 1));
        return a;
      }
      default: {
        json o = json::object();
        for (size_t i = rng() % 6; i > 0; --i) o[randomString(3)] = randomValue(depth + 1);
        return o;
      }
    }
  };
  json values = json::array();
  for (int i = 0; i < 300; ++i) values.push_back(randomValue(0));

  testsupport::TempFolder temp("qv-canon-");
  WriteAll(temp / "in.json", values.dump());
  WriteAll(temp / "oracle.js", R"JS(
const fs = require("fs");
const sorted = (v) => Array.isArray(v) ? v.map(sorted)
  : (v !== null && typeof v === "object")
    ? Object.fromEntries(Object.keys(v).sort().map((k) => [k, sorted(v[k])])) : v;
const ascii = (s) => s.replace(/[\u007f-\uffff]/g, (c) => "\\u" + c.charCodeAt(0).toString(16).padStart(4, "0"));
const values = JSON.parse(fs.readFileSync(process.argv[2], "utf8"));
fs.writeFileSync(process.argv[3], values.map((v) => ascii(JSON.stringify(sorted(v)))).join("\n"));
)JS");
  ASSERT_TRUE(RunToEnd({"/usr/bin/node", temp / "oracle.js", temp / "in.json", temp / "out.txt"}));
  const std::string oracle = ReadAll(temp / "out.txt");
  size_t start = 0;
  for (size_t i = 0; i < values.size(); ++i) {
    const size_t end = oracle.find('\n', start);
    const std::string line = oracle.substr(start, end == std::string::npos ? std::string::npos : end - start);
    // JS objects keep the last of two keys that only the sort brought together: none here,
    // since nlohmann objects have unique keys.
    EXPECT_EQ(CanonicalJson(values[i]), line) << values[i].dump();
    start = end + 1;
  }
}

TEST(NormaliseSignedManifest, RulesAndFailureTexts) {
  const json base = BaseManifest();
  auto failureOf = [](const json& m) -> std::string {
    try {
      NormaliseSignedManifest(m);
      return "";
    } catch (const std::runtime_error& e) {
      return e.what();
    }
  };
  auto with = [&](const char* key, json value) {
    json m = base;
    m[key] = value;
    return m;
  };
  auto without = [&](const char* key) {
    json m = base;
    m.erase(key);
    return m;
  };
  struct Case {
    json manifest;
    std::string error;
  } cases[] = {
      {base, ""},
      {json::array(), "invalid signed manifest"},
      {with("extra", 1), "unsupported signed manifest field"},
      {with("sigVersion", 2), "unsupported signature payload format"},
      {with("sigVersion", "3"), "unsupported signature payload format"},
      {with("sigVersion", 3.0), ""},
      {with("contractVersion", 1), "unsupported contract version"},
      {with("name", 5), "invalid manifest field"},
      {without("entry"), "missing manifest field"},
      {without("author"), ""},
      {without("extensions"), "invalid manifest array"},
      {without("capabilities"), "invalid manifest array"},
      {with("mimeHints", {1}), "invalid manifest array"},
      {with("extensions", "csv"), "invalid manifest array"},
      {with("launch", {{"anything", {1, 2}}}), ""},
  };
  for (const Case& c : cases) EXPECT_EQ(failureOf(c.manifest), c.error) << c.manifest.dump();

  const json n = NormaliseSignedManifest(base);
  EXPECT_EQ(n["mimeHints"], json::array());
  EXPECT_EQ(n["sigVersion"], 3);
  EXPECT_EQ(n["contractVersion"], 2);
  EXPECT_EQ(n["homepage"], "");
  json signedCopy = base;
  signedCopy["signature"] = "AAAA";
  signedCopy["sigVersion"] = 3;
  EXPECT_EQ(SignedManifestText(signedCopy), SignedManifestText(base));
}

TEST(DecodeBase64Loose, BothAlphabetsAndPadding) {
  struct Case {
    std::string text;
    bool ok;
    std::string bytes;
  } cases[] = {
      {"", true, ""},
      {"QUJD", true, "ABC"},
      {"QUI=", true, "AB"},
      {"QQ==", true, "A"},
      {"Q Q\n= =", true, "A"},
      {"QUJ", false, ""},
      {"+/-_", true, "\xFB\xFF\xBF"},
      {"////", true, "\xFF\xFF\xFF"},
      {"=QQ=", true, "\x01\x04"},
      // Whole groups after padding, and groups cut by a dropped character.
      {"QUJDQQ==QUJD", true, "ABCAABC"},
      {"QU\nJDQUJD", true, "ABCABC"},
      {"QUJDQUJ", false, ""},
  };
  for (const Case& c : cases) {
    std::string out = "junk";
    EXPECT_EQ(DecodeBase64Loose(c.text, out), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(out, c.bytes) << c.text;
    }
  }
}

// Long texts go four characters at a time; line breaks at any offset move where the groups
// start, and the bytes must come out the same.
TEST(DecodeBase64Loose, LongTextWithBreaksAtEveryOffset) {
  std::mt19937 rng(7);
  std::string bytes(3000, '\0');
  for (char& b : bytes) b = char(rng());
  const std::string text = Base64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  for (size_t every : {1, 3, 5, 76, 1000}) {
    std::string broken;
    for (size_t i = 0; i < text.size(); ++i) {
      broken += text[i];
      if (i % every == every - 1) broken += "\r\n";
    }
    std::string out;
    ASSERT_TRUE(DecodeBase64Loose(broken, out)) << every;
    EXPECT_EQ(out, bytes) << every;
  }
}

TEST(IsSafeRelativePath, Table) {
  struct Case {
    std::string path;
    bool safe;
  } cases[] = {
      {"a", true},
      {"bin/tool", true},
      {"dir\\file.txt", true},
      {"..a/b..", true},
      {"", false},
      {"/abs", false},
      {"\\abs", false},
      {"c:x", false},
      {"a//b", false},
      {"a/", false},
      {"./a", false},
      {"a/../b", false},
      {"..", false},
      {"a\\..\\b", false},
      {std::string("a\0b", 3), false},
      {"a\x01" "b", false},
      {"a\x1F", false},
      {"tab\there", false},
      {"caf\xC3\xA9", true},
      {std::string(512, 'a'), true},
      {std::string(513, 'a'), false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsSafeRelativePath(c.path), c.safe) << c.path;
}

TEST(Sha256Hex, MatchesOpenSsl) {
  std::mt19937 rng(7);
  for (size_t length : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 1000u, 100000u}) {
    std::string data(length, '\0');
    for (char& c : data) c = char(rng());
    uint8_t digest[32];
    ASSERT_TRUE(platform::Sha256(data.data(), data.size(), digest));
    EXPECT_EQ(Sha256Hex(data), HexLower(digest, 32)) << length;
  }
  EXPECT_EQ(Sha256Hex("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(ReadPackageZip, EntryRules) {
  const std::string manifest = BaseManifest().dump();
  struct Case {
    const char* what;
    std::vector<ZipItem> items;
    bool ok;
  } cases[] = {
      {"plain", {{"plugin.json", manifest}, {"bin/tool", "x"}, {"docs/", ""}}, true},
      {"stored entries", {{"plugin.json", manifest, false, false}, {"a.bin", std::string(5000, 'z'), false, false}}, true},
      {"case duplicates", {{"plugin.json", manifest}, {"Data/A.bin", "1"}, {"data/a.bin", "2"}}, false},
      {"parent", {{"plugin.json", manifest}, {"../x", "1"}}, false},
      {"absolute", {{"plugin.json", manifest}, {"/etc/x", "1"}}, false},
      {"empty segment", {{"plugin.json", manifest}, {"a//b", "1"}}, false},
      {"drive", {{"plugin.json", manifest}, {"c:x", "1"}}, false},
      {"control byte", {{"plugin.json", manifest}, {"a\x01" "b", "1"}}, false},
      {"symlink", {{"plugin.json", manifest}, {"link", "/etc/passwd", true}}, false},
      {"no manifest", {{"bin/tool", "x"}}, false},
      {"manifest not JSON", {{"plugin.json", "{"}}, false},
      {"manifest over 1 MiB", {{"plugin.json", std::string(0x100001, ' ') + "{}"}}, false},
      {"manifest at 1 MiB", {{"plugin.json", std::string(0x100000 - 2, ' ') + "{}"}}, true},
      // 4 GiB declared for a small entry: refused by the total before anything is read.
      {"declared 4 GiB", {{"plugin.json", manifest}, {"bomb", "tiny", false, true, 0xFFFFFFF0LL}}, false},
      // A declared size below the real one: the content does not end where it says.
      {"declared short", {{"plugin.json", manifest}, {"short", std::string(100, 'q'), false, true, 10}}, false},
  };
  for (const Case& c : cases) {
    const std::string zip = BuildZip(c.items);
    ASSERT_FALSE(zip.empty()) << c.what;
    json parsed;
    PackageFileHashes hashes;
    EXPECT_EQ(ReadPackageZip(zip, &parsed, &hashes), c.ok) << c.what;
  }
  EXPECT_FALSE(ReadPackageZip("not a zip", nullptr, nullptr));
  EXPECT_FALSE(ReadPackageZip("", nullptr, nullptr));
}

TEST(ReadPackageZip, HashesUseSlashNamesAndMatchTheContent) {
  const std::string zip = BuildZip({{"plugin.json", "{}"}, {"dir\\file.txt", "hello"}, {"d/", ""}});
  PackageFileHashes hashes;
  json manifest;
  ASSERT_TRUE(ReadPackageZip(zip, &manifest, &hashes));
  EXPECT_EQ(manifest, json::object());
  EXPECT_EQ(hashes, (PackageFileHashes{{"dir/file.txt", Sha256Hex("hello")}, {"plugin.json", Sha256Hex("{}")}}));
}

TEST(ReadPackageZip, CorruptedContentFailsItsCrc) {
  std::string zip = BuildZip({{"plugin.json", "{}", false, false}, {"a.txt", "AAAAAAAAAAAAAAAA", false, false}});
  const size_t at = zip.find("AAAAAAAAAAAAAAAA");
  ASSERT_NE(at, std::string::npos);
  zip[at + 3] = 'B';
  EXPECT_FALSE(ReadPackageZip(zip, nullptr, nullptr));
}

TEST(PackageEntryWalk, LimitsOnCountAndTotal) {
  plugins::PackageEntryWalk walk;
  for (size_t i = 0; i < plugins::kMaxPackageFiles; ++i) {
    ASSERT_EQ(walk.Admit({"f" + std::to_string(i), 1}), plugins::PackageEntryWalk::Verdict::kTake);
  }
  EXPECT_EQ(walk.Admit({"one-more", 1}), plugins::PackageEntryWalk::Verdict::kOverLimit);

  plugins::PackageEntryWalk sizes;
  EXPECT_EQ(sizes.Admit({"a", plugins::kMaxPackageUncompressedBytes - 1}), plugins::PackageEntryWalk::Verdict::kTake);
  EXPECT_EQ(sizes.Admit({"b", 1}), plugins::PackageEntryWalk::Verdict::kTake);
  EXPECT_EQ(sizes.Admit({"c", 1}), plugins::PackageEntryWalk::Verdict::kOverLimit);
  plugins::PackageEntryWalk wrap;
  EXPECT_EQ(wrap.Admit({"a", 10}), plugins::PackageEntryWalk::Verdict::kTake);
  EXPECT_EQ(wrap.Admit({"b", ~uint64_t(0) - 5}), plugins::PackageEntryWalk::Verdict::kOverLimit);
}

TEST(VerifySignedManifest, GenuineAndEveryRefusal) {
  const json manifest = BaseManifest();
  const std::string zip = PackageZip(manifest);
  const json good = SignFor(manifest, zip);
  const InstalledPackage expected{"demo.plugin", "1.0.0", Sha256Hex(zip), ""};

  auto verify = [&](const json& m, const std::string& z = "") {
    return VerifySignedManifest(expected, z.empty() ? zip : z, m);
  };
  EXPECT_EQ(verify(good), "");

  // Signature texts.
  json urlSafe = good;
  std::string sig = good["signature"];
  for (char& c : sig) c = c == '+' ? '-' : c == '/' ? '_' : c;
  urlSafe["signature"] = sig;
  EXPECT_EQ(verify(urlSafe), "");
  json badLength = good;
  badLength["signature"] = sig.substr(0, sig.size() - 3);
  EXPECT_EQ(verify(badLength), "package signature invalid");
  json otherKey = SignFor(manifest, zip, [] {
    qvsign::SigningKey k;
    qvsign::SigningKeyFromSeedHex(std::string(64, '7'), k);
    return k;
  }());
  EXPECT_EQ(verify(otherKey), "package signature invalid");

  std::string tampered = zip;
  tampered[tampered.size() / 2] ^= 1;
  EXPECT_EQ(VerifySignedManifest({"demo.plugin", "1.0.0", Sha256Hex(tampered), ""}, tampered, good),
            "package signature invalid");
  EXPECT_EQ(VerifySignedManifest({"demo.plugin", "2.0.0", Sha256Hex(zip), ""}, zip, good), "package signature invalid");

  json extraKey = good;
  extraKey["extra"] = true;
  EXPECT_EQ(verify(extraKey), "package signature invalid");
  json noSigVersion = good;
  noSigVersion.erase("sigVersion");
  EXPECT_EQ(verify(noSigVersion), "package signature invalid");
  EXPECT_EQ(verify(json::array()), "package signature invalid");

  // The package's own manifest: only sha256, sigVersion and signature may differ.
  json withHashes = manifest;
  withHashes["sha256"] = std::string(64, '0');
  withHashes["sigVersion"] = 3;
  withHashes["signature"] = "xyz";
  const std::string zip2 = PackageZip(withHashes);
  EXPECT_EQ(VerifySignedManifest({"demo.plugin", "1.0.0", Sha256Hex(zip2), ""}, zip2, SignFor(manifest, zip2)), "");
  json changed = manifest;
  changed["description"] = "other";
  const std::string zip3 = PackageZip(changed);
  EXPECT_EQ(VerifySignedManifest({"demo.plugin", "1.0.0", Sha256Hex(zip3), ""}, zip3, SignFor(manifest, zip3)),
            "package manifest mismatch");
  const std::string zip4 = BuildZip({{"plugin.json", manifest.dump()}, {"../x", "1"}});
  EXPECT_EQ(VerifySignedManifest({"demo.plugin", "1.0.0", Sha256Hex(zip4), ""}, zip4, SignFor(manifest, zip4)),
            "package manifest invalid");

  json wasm = manifest;
  wasm["runtime"] = "wasm";
  const std::string zip5 = PackageZip(wasm);
  EXPECT_EQ(VerifySignedManifest({"demo.plugin", "1.0.0", Sha256Hex(zip5), ""}, zip5, SignFor(wasm, zip5)),
            "package runtime rejected");
}

}  // namespace
