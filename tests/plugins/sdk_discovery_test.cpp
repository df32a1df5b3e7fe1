#include "plugins/sdk_discovery.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "support/temp_folder.h"

namespace fs = std::filesystem;
namespace reg = platform::registry;

namespace {

const std::vector<std::string> kBms = {"BMS2API.dll", "WinDarab.DSP.dll", "zlib64.dll"};
const std::vector<std::string> kPds = {"DAE.dll", "PiDataAccess.dll"};

void Touch(const std::string& path, const std::string& text = "") {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

void Files(const std::string& folder, const std::vector<std::string>& names) {
  for (const std::string& n : names) Touch(folder + "/" + n);
}

class SdkTest : public ::testing::Test {
 protected:
  SdkTest() {
    places.registry = &registry;
    places.getEnv = [this](const char* name) -> const char* {
      auto it = env.find(name);
      return it == env.end() ? nullptr : it->second.c_str();
    };
  }
  std::vector<std::string> Found(const std::string& configured = "") {
    std::vector<std::string> out;
    for (const SdkRecord& r : DiscoverLocalLibraries(configured, places)) {
      out.push_back(fs::relative(r.folder, tmp.path()).string() + ":" + r.kind + "@" + r.version);
    }
    return out;
  }

  testsupport::TempFolder tmp{"qv-sdk-"};
  reg::InMemoryRegistry registry;
  std::map<std::string, std::string> env;
  SdkSearchPlaces places;
};

TEST_F(SdkTest, ProbeNeedsWholeFileSetsInOnePlace) {
  struct Case {
    const char* name;
    std::map<std::string, std::vector<std::string>> places;  // "", "bin", "lib"
    const char* kind;
  } cases[] = {
      {"bms-root", {{"", kBms}}, "bmsapi"},
      {"bms-without-zlib", {{"", {"BMS2API.dll", "WinDarab.DSP.dll"}}}, ""},
      {"pds-split", {{"bin", {"DAE.dll"}}, {"lib", {"PiDataAccess.dll"}}}, ""},
      {"pds-lib", {{"lib", kPds}}, "pds"},
      {"both-apart", {{"bin", kBms}, {"lib", kPds}}, "both"},
      {"nothing", {{"", {"readme.txt"}}}, ""},
  };
  for (const Case& c : cases) {
    std::string folder = tmp / c.name;
    for (const auto& [sub, names] : c.places) Files(sub.empty() ? folder : folder + "/" + sub, names);
    SdkRecord r = ProbeSdkFolder(folder);
    EXPECT_EQ(r.kind, c.kind) << c.name;
    EXPECT_EQ(r.version, *c.kind ? "unknown" : "") << c.name;
  }
  EXPECT_EQ(ProbeSdkFolder(tmp / "absent").kind, "");
  // A folder named like the library is not the library.
  fs::create_directories(tmp / "dirs/DAE.dll");
  Touch(tmp / "dirs/PiDataAccess.dll");
  EXPECT_EQ(ProbeSdkFolder(tmp / "dirs").kind, "");
}

TEST_F(SdkTest, VersionFileRules) {
  struct Case {
    const char* versionTxt;  // null: no file
    const char* versionFile;
    std::string expected;
  } cases[] = {
      {"4.2.1 \r\nrest\n", nullptr, "4.2.1"},
      {"\nlater\n", "7.0\n", "7.0"},
      {nullptr, nullptr, "unknown"},
      {"", "", "unknown"},
      {nullptr, "x", "x"},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string folder = tmp / ("v" + std::to_string(n++));
    fs::create_directories(folder);
    if (c.versionTxt) Touch(folder + "/version.txt", c.versionTxt);
    if (c.versionFile) Touch(folder + "/VERSION", c.versionFile);
    EXPECT_EQ(ReadSdkVersion(folder), c.expected) << folder;
  }
  std::string longFolder = tmp / "long";
  Touch(longFolder + "/version.txt", std::string(100, 'a') + "\n");
  EXPECT_EQ(ReadSdkVersion(longFolder), std::string(80, 'a'));
  // A FIFO in place of the file is skipped, never waited on.
  std::string fifoFolder = tmp / "fifo";
  fs::create_directories(fifoFolder);
  ASSERT_EQ(mkfifo((fifoFolder + "/version.txt").c_str(), 0600), 0);
  EXPECT_EQ(ReadSdkVersion(fifoFolder), "unknown");
}

TEST_F(SdkTest, SearchOrderAndOneReportPerFolder) {
  // Data folder subfolders, install roots from the variables, then the registry.
  places.localAppData = tmp / "data";
  Files(tmp / "data/PDS", kPds);
  Files(tmp / "data/BMSAPI", kBms);
  env["ProgramFiles"] = tmp / "pf";
  Files(tmp / "pf/Bosch/BMS2API/v2/bin", kBms);
  Files(tmp / "pf/Cosworth/Pi/sdk", kPds);
  // The COM class names the same folder in another letter case (made real here, as a
  // case-insensitive file system would show it): it is reported once, at the COM's place.
  Files(tmp / "pf/COSWORTH/Pi/sdk", kPds);
  registry.Set(reg::Hive::LocalMachine, reg::View::Default,
               "Software\\Classes\\CLSID\\{C56F2FAA-CC2A-11D4-891A-00508B60DCA6}\\InprocServer32", "",
               {reg::ValueType::String, tmp / "pf/COSWORTH/Pi/sdk/DAE.dll"});
  // An uninstall entry whose name matches, with an expandable location.
  env["VENDOR_HOME"] = tmp / "vendor";
  Files(tmp / "vendor/pi", kPds);
  registry.Set(reg::Hive::CurrentUser, reg::View::Registry32,
               "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\App1", "DisplayName",
               {reg::ValueType::String, "Pi Toolbox 2024"});
  registry.Set(reg::Hive::CurrentUser, reg::View::Registry32,
               "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\App1", "InstallLocation",
               {reg::ValueType::ExpandString, "%VENDOR_HOME%"});
  // One that does not match is not scanned.
  Files(tmp / "other", kBms);
  registry.Set(reg::Hive::LocalMachine, reg::View::Registry64,
               "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Editor", "InstallLocation",
               {reg::ValueType::String, tmp / "other"});

  EXPECT_EQ(Found(), (std::vector<std::string>{
                         "pf/COSWORTH/Pi/sdk:pds@unknown",
                         "data/BMSAPI:bmsapi@unknown",
                         "data/PDS:pds@unknown",
                         "pf/Bosch/BMS2API/v2:bmsapi@unknown",  // its bin holds the set
                         "pf/Bosch/BMS2API/v2/bin:bmsapi@unknown",
                         "vendor/pi:pds@unknown",
                     }));
}

TEST_F(SdkTest, WalkStopsAtThreeLevelsAndHiddenFolders) {
  env["ProgramData"] = tmp / "pd";
  Files(tmp / "pd/PDS/a/b/c", kPds);     // three levels below the vendor folder: found
  Files(tmp / "pd/PDS/a/b/c/d", kBms);   // a fourth: not
  Files(tmp / "pd/PDS/.hidden", kBms);   // hidden: not
  EXPECT_EQ(Found(), (std::vector<std::string>{"pd/PDS/a/b/c:pds@unknown"}));
}

TEST_F(SdkTest, WalkProbesAtMost256Folders) {
  env["ProgramData"] = tmp / "pd";
  for (int i = 0; i < 300; ++i) Files(tmp / ("pd/Bosch/f" + std::to_string(i)), kBms);
  EXPECT_EQ(Found().size(), 256u);
}

TEST_F(SdkTest, ConfiguredFolderAndSelection) {
  Files(tmp / "mine", kPds);
  Files(tmp / "both/bin", kPds);
  Files(tmp / "both/lib", kBms);
  EXPECT_EQ(Found(tmp / "mine"), (std::vector<std::string>{"mine:pds@unknown"}));
  EXPECT_TRUE(Found("mine").empty());  // not an absolute path: ignored
  struct Case {
    const char* input;
    const char* kind;
    bool match;
  } cases[] = {
      {"lap.PDS", "pds", true},       {"lap.pds", "both", true},  {"x.bmsbin", "bmsapi", true},
      {"x.bmsbin", "both", true},     {"x.bmsbin", "pds", false}, {"x.csv", "both", false},
      {"noextension", "both", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SdkKindMatchesInput(SdkRecord{"f", c.kind, "v"}, c.input), c.match) << c.input << " " << c.kind;
  }
  nlohmann::json payload = {{"localLibraryRoot", tmp / "both"}};
  auto chosen = SelectLocalLibrary(payload, false, "x.bmsbin", places);
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->kind, "both");
  EXPECT_FALSE(SelectLocalLibrary(payload, false, "x.csv", places));
  EXPECT_FALSE(SelectLocalLibrary({{"extraDir", tmp / "mine"}}, false, "", places));
  EXPECT_TRUE(SelectLocalLibrary({{"extraDir", tmp / "mine"}}, true, "", places));
}

TEST_F(SdkTest, ProbeReplyIgnoresExtraDirOutsideDeveloperMode) {
  Files(tmp / "extra", kPds);
  Touch(tmp / "extra/version.txt", "\xFF\xFE bad utf8\n");
  nlohmann::json payload = {{"extraDir", tmp / "extra"}};
  EXPECT_EQ(ProbeLocalLibraries(payload, false, places).dump(),
            R"({"libraries":[],"ok":true,"pluginLaunchOk":true})");
  nlohmann::json on = ProbeLocalLibraries(payload, true, places);
  ASSERT_EQ(on["libraries"].size(), 1u);
  // Invalid UTF-8 from disk must not break the reply's dump.
  EXPECT_NE(on.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).find("pds@"), std::string::npos);
}

TEST_F(SdkTest, RealtimeRootIsLooser) {
  Files(tmp / "rt", {"BMS2API.dll"});
  Files(tmp / "rt/lib", kPds);
  auto root = ProbeRealtimeSdkRoot(tmp / "rt");
  ASSERT_TRUE(root);
  EXPECT_EQ(root->kind, "both");
  EXPECT_EQ(root->version, "unknown");
  Files(tmp / "half", {"DAE.dll"});
  EXPECT_FALSE(ProbeRealtimeSdkRoot(tmp / "half"));
  EXPECT_FALSE(ProbeRealtimeSdkRoot("rt"));
}

}  // namespace
