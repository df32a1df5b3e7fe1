#include "plugins/package_store.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "package_test_support.h"

namespace {

using nlohmann::json;
using namespace packagetest;
namespace fs = std::filesystem;

std::string Stage(const json& payload) { return StagePluginPackage(payload.dump()); }

json VersionsOf(const std::string& pluginFolder) { return json::parse(ReadAll(pluginFolder + "/versions.json")); }

TEST_F(StoreTest, GenuinePackageIsStoredFoundAndStagedAgainIdempotently) {
  const json manifest = BaseManifest();
  const std::string zip = PackageZip(manifest, {{"bin/tool", "#!/bin/sh\n"}, {"dir\\file.txt", "x"}, {"doc/", ""}});
  const json payload = StagePayload(SignFor(manifest, zip), zip);
  ASSERT_EQ(Stage(payload), "");

  const std::string folder = Root() + "/demo.plugin";
  EXPECT_EQ(ReadAll(folder + "/1.0.0/dir/file.txt"), "x");
  EXPECT_EQ(ReadAll(folder + "/1.0.0.zip"), zip);
  EXPECT_EQ(VersionsOf(folder), json({"1.0.0"}));
  EXPECT_EQ(json::parse(ReadAll(folder + "/1.0.0.signature.json")), payload["signedManifest"]);
  const json files = json::parse(ReadAll(folder + "/1.0.0.files.json"));
  EXPECT_EQ(files["files"]["dir/file.txt"], Sha256Hex("x"));
  EXPECT_EQ(files["files"].size(), 3u);
  // The signed launch program is runnable; other files are not.
  struct stat st;
  ASSERT_EQ(::stat((folder + "/1.0.0/bin/tool").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  ASSERT_EQ(::stat((folder + "/1.0.0/plugin.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0111, 0u);

  InstalledPackage found;
  ASSERT_TRUE(FindInstalledPackage("demo.plugin", Sha256Hex(zip), &found));
  EXPECT_EQ(found.version, "1.0.0");
  EXPECT_EQ(found.directory, folder + "/1.0.0");
  EXPECT_EQ(CheckPackageIntact(found), "");
  EXPECT_FALSE(FindInstalledPackage("demo.plugin", std::string(64, 'a'), nullptr));

  // Staged again: the tree is intact, so it is kept as it is (a marker file would go otherwise).
  const auto before = fs::last_write_time(folder + "/1.0.0/dir/file.txt");
  ASSERT_EQ(Stage(payload), "");
  EXPECT_EQ(fs::last_write_time(folder + "/1.0.0/dir/file.txt"), before);
  EXPECT_EQ(VersionsOf(folder), json({"1.0.0"}));
}

TEST_F(StoreTest, EveryStagingFailureText) {
  const json manifest = BaseManifest();
  const std::string zip = PackageZip(manifest);
  const json good = StagePayload(SignFor(manifest, zip), zip);
  auto with = [&](const char* key, json value) {
    json p = good;
    p[key] = value;
    return p;
  };
  auto signedAs = [&](json m, const std::vector<ZipItem>& files = {{"bin/tool", "x"}}) {
    const std::string z = PackageZip(m, files);
    return StagePayload(SignFor(m, z), z);
  };
  json tampered = good;
  {
    std::string z = zip;
    z[z.size() / 2] ^= 1;
    tampered["zipBase64"] = Base64Encode(reinterpret_cast<const uint8_t*>(z.data()), z.size());
    tampered["packageSha256"] = Sha256Hex(z);
  }
  json urlSafe = good;
  {
    std::string s = good["signedManifest"]["signature"];
    for (char& c : s) c = c == '+' ? '-' : c == '/' ? '_' : c;
    urlSafe["signedManifest"]["signature"] = s;  // 64 bytes: ends in "=="
  }
  json extraKey = good;
  extraKey["signedManifest"]["extra"] = 1;
  json noManifest = good;
  noManifest.erase("signedManifest");
  json describedOtherwise = BaseManifest();
  describedOtherwise["description"] = "else";
  json mismatch = good;
  {
    const std::string z = PackageZip(describedOtherwise);
    mismatch = StagePayload(SignFor(manifest, z), z);
  }
  json wasm = BaseManifest();
  wasm["runtime"] = "wasm";
  json windowsOnly = BaseManifest();
  windowsOnly["platforms"] = {"windows"};

  struct Case {
    const char* what;
    json payload;
    std::string error;
  } cases[] = {
      {"upper-case id", with("pluginId", "Demo.plugin"), "package hash mismatch"},
      {"bad hash", with("packageSha256", "ABC"), "package hash mismatch"},
      {"version rule", with("version", "1.0/0"), "package hash mismatch"},
      {"base64 length", with("zipBase64", "QUJ"), "package zip invalid"},
      {"no signed manifest", noManifest, "package signature missing"},
      {"tampered byte", tampered, "package signature invalid"},
      {"extra manifest key", extraKey, "package signature invalid"},
      {"manifest mismatch", mismatch, "package manifest mismatch"},
      {"unsafe entry", signedAs(manifest, {{"../x", "1"}}), "package manifest invalid"},
      {"symlink entry", signedAs(manifest, {{"link", "/etc/passwd", true}}), "package manifest invalid"},
      {"case duplicates", signedAs(manifest, {{"Data/A.bin", "1"}, {"data/a.bin", "2"}}), "package manifest invalid"},
      {"zip bomb", signedAs(manifest, {{"bomb", "tiny", false, true, 0xFFFFFFF0LL}}), "package manifest invalid"},
      {"runtime", signedAs(wasm), "package runtime rejected"},
      {"signed platforms", signedAs(windowsOnly), "platform rejected"},
      {"payload platform", with("platform", "windows"), "platform rejected"},
      {"payload not JSON object", json::array(), "package hash mismatch"},
  };
  for (const Case& c : cases) EXPECT_EQ(Stage(c.payload), c.error) << c.what;
  EXPECT_EQ(StagePluginPackage(std::string("{")), "package signature invalid");
  EXPECT_FALSE(fs::exists(Root() + "/demo.plugin"));

  EXPECT_EQ(Stage(urlSafe), "") << "URL-safe signature with padding";
  EXPECT_EQ(Stage(with("platform", "linux")), "");
}

TEST_F(StoreTest, DecodedZipIsBoundedAt64MiB) {
  for (size_t size : {kMaxPackageZipBytes, kMaxPackageZipBytes + 1}) {
    const std::string bytes(size, 'z');
    json payload = StagePayload(BaseManifest(), "x");
    payload["zipBase64"] = Base64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    EXPECT_EQ(Stage(payload), size == kMaxPackageZipBytes ? "package signature invalid" : "package zip invalid");
  }
}

TEST_F(StoreTest, StoreRefusalsAndExtractionStaysInside) {
  const std::string good = PackageZip(BaseManifest());
  EXPECT_EQ(StorePluginPackage("demo.plugin", "1.0.0", Sha256Hex(good), ""), "package missing");
  EXPECT_EQ(StorePluginPackage("demo.plugin", "1.0.0", std::string(64, '0'), good), "package hash mismatch");
  struct Case {
    const char* what;
    std::vector<ZipItem> items;
    std::string error;
  } cases[] = {
      {"parent", {{"a", "1"}, {"../x", "1"}}, "path rejected"},
      {"absolute", {{"/etc/x", "1"}}, "path rejected"},
      {"control byte", {{"a\x01" "b", "1"}}, "path rejected"},
      {"symlink", {{"link", "/tmp", true}}, "path rejected"},
      {"case duplicates", {{"Data/A.bin", "1"}, {"data/a.bin", "2"}}, "path rejected"},
      {"declared 4 GiB", {{"bomb", "tiny", false, true, 0xFFFFFFF0LL}}, "package zip invalid"},
  };
  for (const Case& c : cases) {
    const std::string zip = BuildZip(c.items);
    EXPECT_EQ(StorePluginPackage("demo.plugin", "1.0.0", Sha256Hex(zip), zip), c.error) << c.what;
    EXPECT_FALSE(fs::exists(Root() + "/demo.plugin/1.0.0")) << c.what;
  }
  EXPECT_FALSE(fs::exists(Root() + "/demo.plugin/x"));
  EXPECT_FALSE(fs::exists(Root() + "/x"));
}

TEST_F(StoreTest, KeepsTwoVersionsAndDropsTheOldest) {
  std::vector<std::string> hashes;
  for (const char* version : {"1.0.0", "1.1.0", "1.0.0+Build_7"}) {
    const json m = BaseManifest("demo.plugin", version);
    const std::string zip = PackageZip(m);
    hashes.push_back(Sha256Hex(zip));
    ASSERT_EQ(Stage(StagePayload(SignFor(m, zip), zip)), "") << version;
  }
  const std::string folder = Root() + "/demo.plugin";
  EXPECT_EQ(VersionsOf(folder), json({"1.1.0", "1.0.0+Build_7"}));
  for (const char* gone : {"1.0.0", "1.0.0.zip", "1.0.0.files.json", "1.0.0.signature.json"}) {
    EXPECT_FALSE(fs::exists(folder + "/" + gone)) << gone;
  }
  EXPECT_FALSE(FindInstalledPackage("demo.plugin", hashes[0], nullptr));
  EXPECT_TRUE(FindInstalledPackage("demo.plugin", hashes[1], nullptr));

  // Storing a listed version again moves it to the end.
  const json m = BaseManifest("demo.plugin", "1.1.0");
  const std::string zip = PackageZip(m);
  ASSERT_EQ(StorePluginPackage("demo.plugin", "1.1.0", Sha256Hex(zip), zip), "");
  EXPECT_EQ(VersionsOf(folder), json({"1.0.0+Build_7", "1.1.0"}));
}

TEST_F(StoreTest, VersionsListEntriesThatAreNoVersionAreNeverUsedAsPaths) {
  const std::string folder = Root() + "/demo.plugin";
  fs::create_directories(folder);
  fs::create_directories(data / "victim");
  WriteAll(folder + "/versions.json", R"(["../../../victim", 5, "a"])");
  EXPECT_EQ(ReadVersionsList(folder), std::vector<std::string>{"a"});
  for (const char* version : {"b", "c"}) {
    const std::string zip = PackageZip(BaseManifest("demo.plugin", version));
    ASSERT_EQ(StorePluginPackage("demo.plugin", version, Sha256Hex(zip), zip), "");
  }
  EXPECT_TRUE(fs::exists(data / "victim"));
  EXPECT_EQ(VersionsOf(folder), json({"b", "c"}));
}

TEST_F(StoreTest, UnwritableListsAreReported) {
  const json m = BaseManifest();
  const std::string zip = PackageZip(m);
  const std::string folder = Root() + "/demo.plugin";
  // A folder in the way of the file: the rename over it fails.
  fs::create_directories(folder + "/versions.json/x");
  EXPECT_EQ(StorePluginPackage("demo.plugin", "1.0.0", Sha256Hex(zip), zip), "package versions write failed");
  fs::remove_all(folder);
  fs::create_directories(folder + "/1.0.0.signature.json/x");
  EXPECT_EQ(Stage(StagePayload(SignFor(m, zip), zip)), "package signature storage failed");
}

TEST_F(StoreTest, TamperCheckRepairsTheTree) {
  const json m = BaseManifest();
  const std::string zip = PackageZip(m, {{"bin/tool", "#!/bin/sh\n"}, {"lib/data.bin", "12345"}});
  ASSERT_EQ(Stage(StagePayload(SignFor(m, zip), zip)), "");
  InstalledPackage package;
  ASSERT_TRUE(FindInstalledPackage("demo.plugin", Sha256Hex(zip), &package));

  struct Case {
    const char* what;
    std::function<void()> change;
  } cases[] = {
      {"changed byte", [&] { WriteAll(package.directory + "/lib/data.bin", "12346"); }},
      {"extra file", [&] { WriteAll(package.directory + "/lib/extra", ""); }},
      {"missing file", [&] { fs::remove(package.directory + "/lib/data.bin"); }},
      // A program without its execute bit fails every start; a data file is never made runnable.
      {"program not executable", [&] { ::chmod((package.directory + "/bin/tool").c_str(), 0644); }},
      {"data file executable", [&] { ::chmod((package.directory + "/lib/data.bin").c_str(), 0755); }},
      {"program writable by others", [&] { ::chmod((package.directory + "/bin/tool").c_str(), 0777); }},
  };
  auto modeOf = [&](const char* name) {
    struct stat st;
    return ::stat((package.directory + name).c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
  };
  for (const Case& c : cases) {
    c.change();
    EXPECT_EQ(CheckPackageIntact(package), "package tampered") << c.what;
    EXPECT_EQ(CheckPackageIntact(package), "") << c.what;
    EXPECT_EQ(ReadAll(package.directory + "/lib/data.bin"), "12345") << c.what;
    EXPECT_EQ(modeOf("/bin/tool"), 0755u) << c.what;
    EXPECT_EQ(modeOf("/lib/data.bin"), 0644u) << c.what;
  }
  // Staging the same package again repairs a tree that lost a mode, like any other change.
  ::chmod((package.directory + "/bin/tool").c_str(), 0644);
  ASSERT_EQ(Stage(StagePayload(SignFor(m, zip), zip)), "");
  EXPECT_EQ(modeOf("/bin/tool"), 0755u);
  EXPECT_EQ(CheckPackageIntact(package), "");
  std::string changedZip = zip;
  changedZip[10] ^= 1;
  WriteAll(Root() + "/demo.plugin/1.0.0.zip", changedZip);
  EXPECT_EQ(CheckPackageIntact(package), "package tampered");
  fs::remove(Root() + "/demo.plugin/1.0.0.zip");
  EXPECT_EQ(CheckPackageIntact(package), "package tampered");
}

TEST_F(StoreTest, ModesDoNotDependOnTheUmask) {
  // A tree stored under a strict umask must still pass the check that compares modes.
  const mode_t old = ::umask(077);
  const json m = BaseManifest();
  const std::string zip = PackageZip(m, {{"bin/tool", "#!/bin/sh\n"}, {"lib/data.bin", "1"}});
  const std::string staged = Stage(StagePayload(SignFor(m, zip), zip));
  ::umask(old);
  ASSERT_EQ(staged, "");
  InstalledPackage package;
  ASSERT_TRUE(FindInstalledPackage("demo.plugin", Sha256Hex(zip), &package));
  struct stat st;
  ASSERT_EQ(::stat((package.directory + "/lib/data.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  ASSERT_EQ(::stat((package.directory + "/bin/tool").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_EQ(CheckPackageIntact(package), "");
}

TEST_F(StoreTest, Removal) {
  EXPECT_EQ(RemovePluginPackages("no.such.plugin"), "");
  EXPECT_EQ(RemovePluginPackages(".."), "path rejected");
  EXPECT_EQ(RemovePluginPackages("Upper"), "path rejected");
  const json m = BaseManifest();
  const std::string zip = PackageZip(m);
  ASSERT_EQ(Stage(StagePayload(SignFor(m, zip), zip)), "");
  EXPECT_EQ(RemovePluginPackages("demo.plugin"), "");
  EXPECT_FALSE(fs::exists(Root() + "/demo.plugin"));
}

TEST(StoreWithoutDataFolder, FailsAsTheRulesSay) {
  testsupport::ScopedEnv xdg("XDG_DATA_HOME", std::nullopt);
  testsupport::ScopedEnv home("HOME", std::nullopt);
  EXPECT_EQ(PluginsRoot(), "");
  EXPECT_EQ(RemovePluginPackages("demo.plugin"), "path rejected");
  EXPECT_EQ(StorePluginPackage("demo.plugin", "1", std::string(64, 'a'), "zip"), "package missing");
}

TEST(PluginNames, IdAndVersionRules) {
  EXPECT_TRUE(IsValidPluginId("demo.plugin-2"));
  EXPECT_TRUE(IsValidPluginId(std::string(64, 'a')));
  for (const std::string& id : {std::string(""), std::string("."), std::string(".."), std::string(65, 'a'),
                                std::string("Demo"), std::string("a/b"), std::string("a_b")}) {
    EXPECT_FALSE(IsValidPluginId(id)) << id;
  }
  EXPECT_TRUE(IsValidPluginVersion("1.0.0+Build_7"));
  for (const std::string& v : {std::string(""), std::string(".."), std::string("1 0"), std::string("1/0"),
                               std::string(65, '1')}) {
    EXPECT_FALSE(IsValidPluginVersion(v)) << v;
  }
}

}  // namespace
