#include "app/assets/asset_pack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include "support/temp_folder.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/paths.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string ReadText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& p, const Bytes& b) {
  fs::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

void WriteText(const fs::path& p, const std::string& s) { WriteBytes(p, ToBytes(s)); }

Bytes ReadBytes(const fs::path& p) {
  std::string s = ReadText(p);
  return ToBytes(s);
}

void PutU16(Bytes& b, uint16_t v) {
  for (int i = 0; i < 2; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutU32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutU64(Bytes& b, uint64_t v) {
  for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes RawDeflate(const Bytes& in) {
  z_stream zs{};
  EXPECT_EQ(deflateInit2(&zs, 9, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes out(deflateBound(&zs, in.size()));
  zs.next_in = const_cast<Bytef*>(in.data());
  zs.avail_in = static_cast<uInt>(in.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

// A hand-made pack whose fields the test controls, including the ones a writer gets right.
struct RawEntry {
  std::string name;
  std::string mime;
  uint64_t offset;
  uint64_t size;
};
struct RawPack {
  std::string magic = "QVNPACK2";
  uint32_t version = 2;
  std::optional<uint32_t> count;          // default: the number of entries
  std::optional<uint64_t> inflatedSize;   // default: data.size()
  std::vector<RawEntry> entries;
  Bytes data;                             // the data area (inflated for QVNPACK2)
  std::optional<Bytes> stream;            // default: data deflated
};

Bytes Build(const RawPack& p) {
  Bytes b(p.magic.begin(), p.magic.end());
  PutU32(b, p.version);
  PutU32(b, 0);
  PutU32(b, p.count.value_or(static_cast<uint32_t>(p.entries.size())));
  bool v2 = p.magic == "QVNPACK2";
  if (v2) PutU64(b, p.inflatedSize.value_or(p.data.size()));
  for (const auto& e : p.entries) {
    PutU16(b, static_cast<uint16_t>(e.name.size()));
    b.insert(b.end(), e.name.begin(), e.name.end());
    PutU16(b, static_cast<uint16_t>(e.mime.size()));
    b.insert(b.end(), e.mime.begin(), e.mime.end());
    PutU64(b, e.offset);
    PutU64(b, e.size);
  }
  if (v2) {
    Bytes s = p.stream ? *p.stream : RawDeflate(p.data);
    b.insert(b.end(), s.begin(), s.end());
  } else {
    b.insert(b.end(), p.data.begin(), p.data.end());
  }
  return b;
}

// A two-entry "QVNPACK2" pack: "a.txt" = "hello", "b.js" = "world!".
RawPack SmallPack2() {
  RawPack p;
  p.entries = {{"a.txt", "text/plain", 0, 5}, {"b.js", "text/javascript", 5, 6}};
  p.data = ToBytes("helloworld!");
  return p;
}

std::string FindText(const AssetPack& pack, const std::string& path, std::string* mime = nullptr) {
  size_t size = 0;
  std::string m;
  auto data = pack.Find(path, size, m);
  if (!data) return "<none>";
  if (mime) *mime = m;
  return std::string(reinterpret_cast<const char*>(data.get()), size);
}

// Throw-away folders of these tests are named after them.
class TempFolder : public testsupport::TempFolder {
 public:
  TempFolder() : testsupport::TempFolder("qv-assets-") { EXPECT_FALSE(path().empty()); }
};

// Runs the pack writer the build made.
bool RunPackTool(const fs::path& folder, const fs::path& out, int format) {
  std::string tool = std::string(QV_BUILD_DIR) + "/tools/qvn_pack/qvn_pack";
  std::string cmd = "'" + tool + "' --format " + std::to_string(format) + " '" + folder.string() + "' '" +
                    out.string() + "'";
  return std::system(cmd.c_str()) == 0;
}

}  // namespace

// ---- the writer and the reader together ----

class PackToolRoundTrip : public ::testing::TestWithParam<int> {};

TEST_P(PackToolRoundTrip, EveryFileComesBackWithItsTypeAndTheTableIsSortedAndContiguous) {
  const int format = GetParam();
  TempFolder tmp;
  fs::path site = tmp.path() / "site";
  const std::vector<std::pair<std::string, std::string>> files = {
      {"index.html", "<!doctype html><p>hi</p>"},
      {"assets/app.js", "console.log('x');"},
      {"assets/style.css", "body{margin:0}"},
      {"assets/deep/data.bin", std::string("\0\1\2\3binary", 10)},
      {"empty.txt", ""},
      {"Zebra.svg", "<svg/>"},
  };
  for (const auto& [name, text] : files) WriteText(site / name, text);
  fs::path out = tmp.path() / "out.pack";
  ASSERT_TRUE(RunPackTool(site, out, format));
  Bytes pack = ReadBytes(out);
  ASSERT_GE(pack.size(), 20u);
  EXPECT_EQ(std::string(pack.begin(), pack.begin() + 8), format == 1 ? "QVNPACK1" : "QVNPACK2");

  AssetPack reader(AssetPackSources{});
  ASSERT_TRUE(reader.Parse(pack.data(), pack.size()));
  EXPECT_EQ(reader.BaseEntryCount(), files.size());
  for (const auto& [name, text] : files) EXPECT_EQ(FindText(reader, name), text) << name;
  const std::map<std::string, std::string> types = {
      {"index.html", "text/html; charset=utf-8"},
      {"assets/app.js", "text/javascript; charset=utf-8"},
      {"assets/style.css", "text/css; charset=utf-8"},
      {"assets/deep/data.bin", "application/octet-stream"},
      {"Zebra.svg", "image/svg+xml"},
  };
  for (const auto& [name, type] : types) {
    std::string mime;
    FindText(reader, name, &mime);
    EXPECT_EQ(mime, type) << name;
  }

  // Walk the table: names in byte order, each entry right after the previous one.
  size_t pos = format == 1 ? 20 : 28;
  uint32_t count;
  std::memcpy(&count, pack.data() + 16, 4);
  std::string previous;
  uint64_t expectedOffset = 0;
  std::vector<uint64_t> offsets;
  for (uint32_t i = 0; i < count; ++i) {
    uint16_t n;
    std::memcpy(&n, pack.data() + pos, 2);
    std::string name(reinterpret_cast<const char*>(pack.data() + pos + 2), n);
    pos += 2 + n;
    uint16_t m;
    std::memcpy(&m, pack.data() + pos, 2);
    pos += 2 + m;
    uint64_t offset, size;
    std::memcpy(&offset, pack.data() + pos, 8);
    std::memcpy(&size, pack.data() + pos + 8, 8);
    pos += 16;
    if (i > 0) {
      EXPECT_LT(previous, name);
      EXPECT_EQ(offset, expectedOffset) << name;
    }
    offsets.push_back(offset);
    previous = name;
    expectedOffset = offset + size;
  }
  EXPECT_EQ(offsets.front(), format == 1 ? pos : 0u);
  if (format == 1) {
    EXPECT_EQ(expectedOffset, pack.size());
  }
}

INSTANTIATE_TEST_SUITE_P(BothFormats, PackToolRoundTrip, ::testing::Values(1, 2));

TEST(PackTool, EmptyFolderGivesAnEmptyPackAndAMissingFolderFails) {
  TempFolder tmp;
  fs::create_directories(tmp.path() / "empty");
  ASSERT_TRUE(RunPackTool(tmp.path() / "empty", tmp.path() / "e.pack", 2));
  Bytes pack = ReadBytes(tmp.path() / "e.pack");
  AssetPack reader(AssetPackSources{});
  EXPECT_TRUE(reader.Parse(pack.data(), pack.size()));
  EXPECT_EQ(reader.BaseEntryCount(), 0u);
  EXPECT_FALSE(RunPackTool(tmp.path() / "missing", tmp.path() / "m.pack", 2));
  EXPECT_FALSE(fs::exists(tmp.path() / "m.pack"));
}

TEST(EmbeddedPack, TheBuiltInPackParsesAndServesTheStartPage) {
  std::span<const uint8_t> embedded = EmbeddedWebPack();
  ASSERT_GE(embedded.size(), 28u);
  EXPECT_EQ(std::memcmp(embedded.data(), "QVNPACK2", 8), 0);
  AssetPack reader(AssetPackSources{});
  ASSERT_TRUE(reader.Parse(embedded.data(), embedded.size()));
  std::string mime;
  EXPECT_NE(FindText(reader, "/", &mime), "<none>");
  EXPECT_EQ(mime, "text/html; charset=utf-8");
}

// ---- parsing damaged packs ----

TEST(AssetPackParse, EveryTruncationIsRejectedAndKeepsTheLoadedPack) {
  RawPack p2 = SmallPack2();
  RawPack p1 = p2;
  p1.magic = "QVNPACK1";
  p1.version = 1;
  // Format 1 offsets count from the file start: the table of two entries ends at 20 + 2*(2+2+16)
  // plus the name and MIME bytes.
  uint64_t tableEnd = 20 + 2 * 20 + 5 + 10 + 4 + 15;
  p1.entries = {{"a.txt", "text/plain", tableEnd, 5}, {"b.js", "text/javascript", tableEnd + 5, 6}};
  for (const RawPack& raw : {p1, p2}) {
    Bytes full = Build(raw);
    AssetPack reader(AssetPackSources{});
    ASSERT_TRUE(reader.Parse(full.data(), full.size())) << raw.magic;
    ASSERT_EQ(FindText(reader, "b.js"), "world!");
    for (size_t length = 0; length < full.size(); ++length) {
      Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
      EXPECT_FALSE(reader.Parse(cut.data(), cut.size())) << raw.magic << " cut at " << length;
      EXPECT_FALSE(reader.ParseOverlay(cut.data(), cut.size())) << raw.magic << " cut at " << length;
    }
    // A failed parse leaves what was loaded in place, bytes included.
    EXPECT_EQ(reader.BaseEntryCount(), 2u);
    EXPECT_EQ(FindText(reader, "a.txt"), "hello");
    EXPECT_EQ(FindText(reader, "b.js"), "world!");
  }
}

TEST(AssetPackParse, HeaderChecks) {
  struct Case {
    const char* what;
    std::string magic;
    uint32_t version;
    bool ok;
  };
  const Case cases[] = {
      {"QVNPACK2 v2", "QVNPACK2", 2, true},  {"QVNPACK2 claiming v1", "QVNPACK2", 1, false},
      {"QVNPACK1 claiming v2", "QVNPACK1", 2, false}, {"QVNPACK3", "QVNPACK3", 3, false},
      {"lower case", "qvnpack2", 2, false},
  };
  for (const Case& c : cases) {
    RawPack p = SmallPack2();
    if (c.magic == "QVNPACK1") p.data.clear(), p.entries.clear();
    p.magic = c.magic;
    p.version = c.version;
    Bytes b = Build(p);
    AssetPack reader(AssetPackSources{});
    EXPECT_EQ(reader.Parse(b.data(), b.size()), c.ok) << c.what;
  }
}

TEST(AssetPackParse, EntryBoundsAreCheckedWithoutOverflow) {
  const uint64_t kMax = std::numeric_limits<uint64_t>::max();
  struct Case {
    const char* what;
    uint64_t offset;
    uint64_t size;
    bool ok;
  };
  // The data area holds 11 bytes in both formats' cases below.
  const Case cases[] = {
      {"ends exactly at the end", 6, 5, true},
      {"empty entry at the end", 11, 0, true},
      {"one byte past the end", 6, 6, false},
      {"offset past the end", 12, 0, false},
      {"offset + size wraps to a small number", kMax - 1, 4, false},
      {"size wraps", 2, kMax, false},
      {"both huge", kMax, kMax, false},
  };
  for (const Case& c : cases) {
    RawPack p = SmallPack2();
    p.entries.push_back({"c.bin", "", c.offset, c.size});
    Bytes b = Build(p);
    AssetPack reader(AssetPackSources{});
    EXPECT_EQ(reader.Parse(b.data(), b.size()), c.ok) << "QVNPACK2: " << c.what;

    // The same entry alone in a "QVNPACK1" pack with 11 data bytes after its table; offsets
    // there count from the file start.
    RawPack p1;
    p1.magic = "QVNPACK1";
    p1.version = 1;
    p1.data = p.data;
    p1.entries = {{"c.bin", "", 0, c.size}};
    const uint64_t tableEnd = Build(p1).size() - p1.data.size();
    p1.entries[0].offset = c.offset > kMax - tableEnd ? c.offset : c.offset + tableEnd;
    b = Build(p1);
    EXPECT_EQ(reader.Parse(b.data(), b.size()), c.ok) << "QVNPACK1: " << c.what;
  }
}

TEST(AssetPackParse, InflatedSizeMustMatchTheStreamExactly) {
  struct Case {
    const char* what;
    int64_t delta;
    bool ok;
  };
  const Case cases[] = {{"exact", 0, true}, {"stream one byte shorter", +1, false}, {"stream one byte longer", -1, false}};
  for (const Case& c : cases) {
    RawPack p = SmallPack2();
    p.data = Bytes(300000, 'x');  // large enough to need several rounds of output growth
    p.entries = {{"x", "", 0, 1000}};
    p.inflatedSize = static_cast<uint64_t>(static_cast<int64_t>(p.data.size()) + c.delta);
    Bytes b = Build(p);
    AssetPack reader(AssetPackSources{});
    EXPECT_EQ(reader.Parse(b.data(), b.size()), c.ok) << c.what;
    if (c.ok) {
      EXPECT_EQ(reader.BaseDataSize(), p.data.size());
    }
  }
}

TEST(AssetPackParse, DamagedStreamsAndUntrustedSizesAreRejected) {
  struct Case {
    const char* what;
    RawPack pack;
  };
  std::vector<Case> cases;
  {
    RawPack p = SmallPack2();
    p.stream = Bytes{};  // the data area declared but nothing follows the table
    cases.push_back({"no stream", p});
  }
  {
    RawPack p = SmallPack2();
    Bytes s = RawDeflate(p.data);
    for (auto& byte : s) byte ^= 0xA5;
    p.stream = s;
    cases.push_back({"garbage stream", p});
  }
  {
    // Far more than any DEFLATE stream of this length can produce: refused before allocating.
    RawPack p = SmallPack2();
    p.inflatedSize = uint64_t{1} << 50;
    cases.push_back({"inflated size beyond what the stream can hold", p});
  }
  {
    RawPack p = SmallPack2();
    p.count = 0xFFFFFFFFu;
    cases.push_back({"entry count beyond the table", p});
  }
  {
    RawPack p = SmallPack2();
    p.magic = "QVNPACK1";
    p.version = 1;
    p.entries.clear();
    p.data = Bytes(8, 0);
    p.count = 0x7FFFFFFFu;
    cases.push_back({"QVNPACK1 entry count beyond the file", p});
  }
  for (const Case& c : cases) {
    Bytes b = Build(c.pack);
    AssetPack reader(AssetPackSources{});
    EXPECT_FALSE(reader.Parse(b.data(), b.size())) << c.what;
    EXPECT_EQ(reader.BaseEntryCount(), 0u) << c.what;
  }
}

TEST(AssetPackParse, EmptyMimeDuplicateNamesAndCaseSensitiveNames) {
  RawPack p;
  p.entries = {{"a.txt", "", 0, 1}, {"dup", "text/one", 1, 1}, {"dup", "text/two", 2, 1}, {"A.TXT", "text/x", 3, 1}};
  p.data = ToBytes("1234");
  Bytes b = Build(p);
  AssetPack reader(AssetPackSources{});
  ASSERT_TRUE(reader.Parse(b.data(), b.size()));
  std::string mime;
  EXPECT_EQ(FindText(reader, "a.txt", &mime), "1");
  EXPECT_EQ(mime, "application/octet-stream");
  EXPECT_EQ(FindText(reader, "dup", &mime), "3");  // the later entry wins
  EXPECT_EQ(mime, "text/two");
  EXPECT_EQ(FindText(reader, "A.TXT"), "4");
  EXPECT_EQ(FindText(reader, "A.txt"), "<none>");
}

// ---- paths ----

TEST(NormalizeAssetPath, Table) {
  const std::pair<const char*, const char*> cases[] = {
      {"/", "index.html"},      {"", "index.html"},     {"./", "index.html"},   {"./a", "a"},
      {"/./a", "a"},            {"././a", "a"},         {"///x/y.js", "x/y.js"}, {".//a", "/a"},
      {"..", ""},               {"/../etc/passwd", ""}, {"a/../b", ""},          {"a..b.js", ""},
      {"assets/app.js", "assets/app.js"}, {".hidden", ".hidden"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(NormalizeAssetPath(in), out) << "'" << in << "'";
}

TEST(AssetPackFind, StartPageAndRefusedPaths) {
  RawPack p;
  p.entries = {{"index.html", "text/html", 0, 4}, {"a", "", 4, 1}};
  p.data = ToBytes("home!");
  Bytes b = Build(p);
  AssetPack reader(AssetPackSources{});
  ASSERT_TRUE(reader.Parse(b.data(), b.size()));
  EXPECT_EQ(FindText(reader, "/"), "home");
  EXPECT_EQ(FindText(reader, ""), "home");
  EXPECT_EQ(FindText(reader, "./a"), "!");
  EXPECT_EQ(FindText(reader, "../a"), "<none>");
  EXPECT_EQ(FindText(reader, "missing"), "<none>");
}

// ---- choosing the pack ----

namespace {

// A one-entry pack whose "which.txt" names where it came from.
Bytes MarkerPack(const std::string& marker, int format = 2) {
  RawPack p;
  p.data = ToBytes(marker);
  if (format == 1) {
    p.magic = "QVNPACK1";
    p.version = 1;
    p.entries = {{"which.txt", "text/plain", 0, marker.size()}};
    uint64_t tableEnd = Build(p).size() - marker.size();
    p.entries[0].offset = tableEnd;
  } else {
    p.entries = {{"which.txt", "text/plain", 0, marker.size()}};
  }
  return Build(p);
}

void SetMtime(const fs::path& p, time_t seconds) {
  struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), times, 0), 0);
}

class PackChoice : public ::testing::Test {
 protected:
  AssetPackSources Sources() const {
    AssetPackSources s;
    s.updatePackPath = (tmp_.path() / "ota/active/web.pack").string();
    s.overlayPackPath = (tmp_.path() / "ota/active/ota.pack").string();
    s.metaPath = (tmp_.path() / "ota/active/meta.json").string();
    s.diskPackPath = (tmp_.path() / "exe/web.pack").string();
    s.embedded = embedded_;
    s.exeVersion = "1.2.0.0";
    return s;
  }
  void Meta(const std::string& json) { WriteText(tmp_.path() / "ota/active/meta.json", json); }
  fs::path Update() const { return tmp_.path() / "ota/active/web.pack"; }
  fs::path Disk() const { return tmp_.path() / "exe/web.pack"; }
  fs::path Overlay() const { return tmp_.path() / "ota/active/ota.pack"; }

  TempFolder tmp_;
  Bytes embedded_ = MarkerPack("embedded");
};

}  // namespace

TEST_F(PackChoice, Table) {
  enum File { kNone, kGood, kBad, kTiny };
  enum Age { kSame, kUpdateNewer, kUpdateOlder };
  struct Case {
    const char* what;
    File update;
    File disk;
    File embedded;
    const char* metaVersion;  // null: no meta.json
    const char* exeVersion;
    Age age;
    const char* expected;  // "<none>" when nothing loads
  };
  const Case cases[] = {
      {"newer update version wins", kGood, kGood, kGood, "1.3.0.0", "1.2.0.0", kUpdateOlder, "update"},
      {"newer update version with a build date", kGood, kGood, kGood, "1.2.1.20260101", "1.2.0.0", kSame, "update"},
      {"equal version is local", kGood, kGood, kGood, "1.2.0.0", "1.2.0.0", kUpdateNewer, "disk"},
      {"equal version once the build date is dropped", kGood, kGood, kGood, "1.2.0.0.20260101", "1.2.0.0", kSame,
       "disk"},
      {"older version without a disk pack: embedded", kGood, kNone, kGood, "1.1.0.0", "1.2.0.0", kSame, "embedded"},
      {"no meta, same mtime: disk", kGood, kGood, kGood, nullptr, "1.2.0.0", kSame, "disk"},
      {"no meta, update newer: update", kGood, kGood, kGood, nullptr, "1.2.0.0", kUpdateNewer, "update"},
      {"no meta, update older: disk", kGood, kGood, kGood, nullptr, "1.2.0.0", kUpdateOlder, "disk"},
      {"no meta, no disk pack: update", kGood, kNone, kGood, nullptr, "1.2.0.0", kSame, "update"},
      {"unknown exe version falls to mtimes", kGood, kGood, kGood, "9.0.0.0", "0", kUpdateOlder, "disk"},
      {"empty meta version falls to mtimes", kGood, kGood, kGood, "", "1.2.0.0", kUpdateNewer, "update"},
      {"chosen update that fails falls back to disk", kBad, kGood, kGood, "1.3.0.0", "1.2.0.0", kSame, "disk"},
      {"update of 20 bytes is not usable", kTiny, kNone, kGood, "1.3.0.0", "1.2.0.0", kSame, "embedded"},
      {"damaged disk pack: embedded", kNone, kBad, kGood, nullptr, "1.2.0.0", kSame, "embedded"},
      {"disk pack of 20 bytes is skipped", kNone, kTiny, kGood, nullptr, "1.2.0.0", kSame, "embedded"},
      {"nothing else: embedded", kNone, kNone, kGood, nullptr, "1.2.0.0", kSame, "embedded"},
      {"rescue: older update when disk and embedded fail", kGood, kBad, kBad, "1.0.0.0", "1.2.0.0", kSame,
       "update"},
      {"damaged update and disk, no embedded: nothing loads", kBad, kBad, kNone, "1.3.0.0", "1.2.0.0", kSame, "<none>"},
      {"nothing usable", kNone, kNone, kNone, nullptr, "1.2.0.0", kSame, "<none>"},
      {"damaged embedded only", kNone, kNone, kBad, nullptr, "1.2.0.0", kSame, "<none>"},
  };
  auto write = [](const fs::path& p, File f, const std::string& marker, int format) {
    std::error_code ec;
    fs::remove(p, ec);
    if (f == kGood) WriteBytes(p, MarkerPack(marker, format));
    if (f == kBad) {
      Bytes b = MarkerPack(marker, 2);
      b[28] = 0xFF;  // a name length that runs off the table
      b[29] = 0xFF;
      WriteBytes(p, b);
    }
    if (f == kTiny) WriteBytes(p, Bytes(20, 'Q'));
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write(Update(), c.update, "update", 2);
    write(Disk(), c.disk, "disk", 1);
    std::error_code ec;
    fs::remove(tmp_.path() / "ota/active/meta.json", ec);
    if (c.metaVersion) Meta(std::string("{\"kind\":\"full\",\"version\":\"") + c.metaVersion + "\"}");
    if (fs::exists(Update()) && fs::exists(Disk())) {
      SetMtime(Disk(), 1700000000);
      SetMtime(Update(), c.age == kSame ? 1700000000 : c.age == kUpdateNewer ? 1700000100 : 1699999900);
    }
    AssetPackSources s = Sources();
    s.exeVersion = c.exeVersion;
    Bytes badEmbedded = embedded_;
    badEmbedded[8] = 7;
    if (c.embedded == kNone) s.embedded = {};
    if (c.embedded == kBad) s.embedded = badEmbedded;
    AssetPack pack(s);
    bool loaded = pack.Load();
    EXPECT_EQ(loaded, std::string(c.expected) != "<none>");
    EXPECT_EQ(FindText(pack, "which.txt"), c.expected);
    if (!loaded) {
      EXPECT_EQ(pack.BaseEntryCount(), 0u);
    }
  }
}

TEST_F(PackChoice, EmbeddedPackOfExactlyTwentyBytesIsParsed) {
  RawPack p;
  p.magic = "QVNPACK1";
  p.version = 1;
  Bytes header = Build(p);
  ASSERT_EQ(header.size(), 20u);
  AssetPackSources s = Sources();
  s.embedded = header;
  AssetPack pack(s);
  EXPECT_TRUE(pack.Load());
  EXPECT_EQ(pack.BaseEntryCount(), 0u);
}

// ---- the overlay ----

TEST_F(PackChoice, OverlayRules) {
  RawPack base;
  base.entries = {{"index.html", "text/html", 0, 4}, {"app.js", "text/javascript", 4, 3}};
  base.data = ToBytes("baseold");
  RawPack overlay;
  overlay.entries = {{"app.js", "text/javascript", 0, 3}, {"new.css", "text/css", 3, 2}};
  overlay.data = ToBytes("NEWcs");
  Bytes damaged = Build(overlay);
  damaged.resize(damaged.size() - 1);

  struct Case {
    const char* what;
    const char* meta;
    bool overlayFile;
    bool damagedOverlay;
    bool applied;
  };
  const Case cases[] = {
      {"newer overlay applies", R"({"kind":"overlay","version":"1.3.0.0"})", true, false, true},
      {"kind full never applies", R"({"kind":"full","version":"1.3.0.0"})", true, false, false},
      {"kind is case-sensitive", R"({"kind":"Overlay","version":"1.3.0.0"})", true, false, false},
      {"same version is stale", R"({"kind":"overlay","version":"1.2.0.0"})", true, false, false},
      {"missing version is stale", R"({"kind":"overlay"})", true, false, false},
      {"kind of the wrong type", R"({"kind":1,"version":"1.3.0.0"})", true, false, false},
      {"meta that is not JSON", "{kind", true, false, false},
      {"missing ota.pack", R"({"kind":"overlay","version":"1.3.0.0"})", false, false, false},
      {"damaged ota.pack is ignored", R"({"kind":"overlay","version":"1.3.0.0"})", true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteBytes(Disk(), Build(base));
    std::error_code ec;
    fs::remove(Overlay(), ec);
    if (c.overlayFile) WriteBytes(Overlay(), c.damagedOverlay ? damaged : Build(overlay));
    Meta(c.meta);
    AssetPack pack(Sources());
    ASSERT_TRUE(pack.Load());
    EXPECT_EQ(pack.HasOverlay(), c.applied);
    EXPECT_EQ(FindText(pack, "index.html"), "base");  // names the overlay lacks come from the base
    EXPECT_EQ(FindText(pack, "app.js"), c.applied ? "NEW" : "old");
    EXPECT_EQ(FindText(pack, "new.css"), c.applied ? "cs" : "<none>");
  }
}

TEST_F(PackChoice, ReloadDropsAnOverlayTheStoreNoLongerHas) {
  RawPack overlay;
  overlay.entries = {{"which.txt", "text/plain", 0, 7}};
  overlay.data = ToBytes("overlay");
  WriteBytes(Overlay(), Build(overlay));
  Meta(R"({"kind":"overlay","version":"2.0.0.0"})");
  AssetPack pack(Sources());
  ASSERT_TRUE(pack.Load());
  EXPECT_EQ(FindText(pack, "which.txt"), "overlay");
  Meta(R"({"kind":"full","version":"2.0.0.0"})");
  ASSERT_TRUE(pack.Load());
  EXPECT_EQ(FindText(pack, "which.txt"), "embedded");
}

// ---- reloading while bytes are still in use ----

TEST_F(PackChoice, BytesFoundBeforeAReloadStayValid) {
  for (int format : {1, 2}) {
    SCOPED_TRACE(format);
    WriteBytes(Disk(), MarkerPack("first", format));
    AssetPackSources s = Sources();
    s.embedded = {};
    AssetPack pack(s);
    ASSERT_TRUE(pack.Load());
    size_t size = 0;
    std::string mime;
    std::shared_ptr<const uint8_t> held = pack.Find("which.txt", size, mime);
    ASSERT_TRUE(held);

    WriteBytes(Disk(), MarkerPack("second", format));
    ASSERT_TRUE(pack.Load());
    EXPECT_EQ(FindText(pack, "which.txt"), "second");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(held.get()), size), "first");

    // A reload that finds nothing leaves the pack empty; what was handed out still reads.
    fs::remove(Disk());
    EXPECT_FALSE(pack.Load());
    EXPECT_EQ(FindText(pack, "which.txt"), "<none>");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(held.get()), size), "first");
  }
}

TEST(OtaStore, PathsLieUnderTheDataFolder) {
  TempFolder tmp;
  testsupport::ScopedEnv dataHome("XDG_DATA_HOME", tmp.str());
  std::string root = tmp.path().string() + "/Quorvane/ota";
  EXPECT_EQ(GetOtaRoot(), root);
  EXPECT_EQ(GetOtaStagingPath(), root + "/staging.qvnpack");
  EXPECT_EQ(GetOtaWebPackPath(), root + "/active/web.pack");
  EXPECT_EQ(GetOtaOverlayPackPath(), root + "/active/ota.pack");
  EXPECT_EQ(GetOtaMetaPath(), root + "/active/meta.json");
  EXPECT_EQ(ReadOtaMetaVersion(), "");
  WriteText(root + "/active/meta.json", "{\n  \"kind\": \"overlay\",\n  \"sha256\": \"ab\",\n  \"version\": \"3.1\"\n}");
  EXPECT_EQ(ReadOtaMetaVersion(), "3.1");
  EXPECT_EQ(ReadOtaMetaKind(), "overlay");
  WriteText(root + "/active/meta.json", "[\"version\"]");
  EXPECT_EQ(ReadOtaMetaVersion(), "");
}
