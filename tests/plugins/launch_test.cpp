#include "plugins/launch_command.h"
#include "plugins/launch_spec.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "base/constants.h"
#include "package_test_support.h"
#include "plugins/package_store.h"

namespace {

using nlohmann::json;
using namespace packagetest;
namespace fs = std::filesystem;

LaunchSpec S(std::string executable, std::string interpreter = "", std::string kind = "", std::string script = "",
             std::vector<std::string> args = {}, std::string transport = "", bool legacy = false) {
  return LaunchSpec{executable, interpreter, kind, script, args, transport, legacy};
}

std::string HintError(const std::string& payload) {
  std::string error = "unset";
  ParseLaunchHint(payload, &error);
  return error;
}

TEST(ParseLaunchHint, FailureTexts) {
  struct Case {
    std::string payload;
    std::string error;
  } cases[] = {
      {"{", "plugin launch invalid: payload is not valid JSON"},
      {R"({"executable":"x.exe"})", "path rejected"},
      {R"({"executable":"x","launch":"no"})", "path rejected"},
      {R"({})", "launch missing: decode/start payload has no launch object"},
      {R"({"launch":[1]})", "launch missing: decode/start payload has no launch object"},
      {R"({"platform":"linux","launch":{}})", ""},
      {R"({"platform":"windows","launch":{}})", "platform rejected"},
      {R"({"platform":7,"launch":{}})", "platform rejected"},
      {R"({"launch":{"cwd":"x"}})", "plugin launch invalid: launch hint contains an unsupported field"},
      {R"({"launch":{"script":1}})",
       "plugin launch invalid: executable/interpreter/kind/script/transport/legacy hint must be strings"},
      {R"({"launch":{"legacySystemInterpreter":true}})",
       "plugin launch invalid: executable/interpreter/kind/script/transport/legacy hint must be strings"},
      {R"({"launch":{"args":"a"}})", "argument rejected"},
      {R"({"launch":{"args":["a",1]}})", "argument rejected"},
      {R"({"launch":{"legacySystemInterpreter":"node"}})", "plugin launch invalid: legacy interpreter must be python"},
  };
  for (const Case& c : cases) EXPECT_EQ(HintError(c.payload), c.error) << c.payload;

  std::string error;
  const LaunchSpec plan = ParseLaunchHint(
      R"({"launch":{"script":"main.py","legacySystemInterpreter":"python","args":["-v","x"],"transport":"stdio"}})",
      &error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(plan, S("", "", "", "main.py", {"-v", "x"}, "stdio", true));
}

TEST(ResolveSignedLaunch, HistoricalEntriesLaunchesAndPermissions) {
  auto resolve = [](const json& manifest, const std::string& capability, LaunchSpec* out = nullptr) {
    LaunchSpec plan;
    const std::string error = ResolveSignedLaunch(manifest, capability, plan);
    if (out) *out = plan;
    return error;
  };
  json py = BaseManifest();
  py["entry"] = "main.py";
  LaunchSpec plan;
  EXPECT_EQ(resolve(py, "decode", &plan), "");
  EXPECT_EQ(plan, S("", "", "", "main.py", {}, "stdio", true));
  EXPECT_EQ(resolve(py, "realtime", &plan), "");
  EXPECT_EQ(plan.transport, "ws");
  json pyWithPlatforms = py;
  pyWithPlatforms["platforms"] = json::array({PluginPlatformName()});
  EXPECT_EQ(resolve(pyWithPlatforms, "decode"),
            "plugin launch invalid: system Python inference requires a historical manifest without platforms");

  json exe = BaseManifest();
  exe["entry"] = "bin/tool.exe";
  EXPECT_EQ(resolve(exe, "decode", &plan), "");
  EXPECT_EQ(plan.executable, "bin/tool.exe");

  const std::string platform = PluginPlatformName();
  json launch = BaseManifest();
  launch["launch"] = {{platform, {{"decode", {{"interpreter", "py/python3"}, {"kind", "python"}, {"script", "m.py"}}}}}};
  EXPECT_EQ(resolve(launch, "decode", &plan), "");
  EXPECT_EQ(plan, S("", "py/python3", "python", "m.py", {}, "stdio"));

  auto withLaunch = [&](json value) {
    json m = BaseManifest();
    m["launch"] = value;
    return m;
  };
  const std::string undeclared = "plugin launch invalid: signed launch does not declare this platform/capability";
  json onlyCaps = BaseManifest();
  onlyCaps["capabilities"] = {"decode"};
  json otherPlatforms = BaseManifest();
  otherPlatforms["platforms"] = {"windows"};
  struct Case {
    json manifest;
    std::string capability;
    std::string error;
  } cases[] = {
      {BaseManifest(), "export", "capability rejected"},
      {onlyCaps, "realtime", "capability rejected"},
      {otherPlatforms, "decode", "platform rejected"},
      {withLaunch({{"windows", {{"decode", {{"executable", "a"}}}}}}), "decode", undeclared},
      {withLaunch({{platform, {{"realtime", {{"executable", "a"}}}}}}), "decode", undeclared},
      {withLaunch({{platform, {{"decode", {{"script", "a.py"}, {"legacySystemInterpreter", "python"}}}}}}), "decode",
       "plugin launch invalid: signed launch is not an object or contains a legacy override"},
      {withLaunch({{platform, {{"decode", "bin/tool"}}}}), "decode",
       "plugin launch invalid: signed launch is not an object or contains a legacy override"},
      {withLaunch({{platform, {{"decode", {{"executable", "a"}, {"env", "x"}}}}}}), "decode",
       "plugin launch invalid: signed launch contains an unsupported field"},
  };
  for (const Case& c : cases) EXPECT_EQ(resolve(c.manifest, c.capability), c.error) << c.manifest.dump();

  const std::string denied = "launch permission denied: signed native.execute does not grant the selected program";
  json permitted = BaseManifest();  // entry bin/tool
  permitted["permissions"] = {{"decode", {{{"kind", "native.execute"}, {"resources", {"bin/tool"}}}}}};
  EXPECT_EQ(resolve(permitted, "decode"), "");
  EXPECT_EQ(resolve(permitted, "realtime"), denied);
  permitted["permissions"]["decode"][0]["resources"] = {"bin/other"};
  EXPECT_EQ(resolve(permitted, "decode"), denied);
  json legacyPermitted = py;
  legacyPermitted["permissions"] = {{"decode", {{{"kind", "native.execute"}, {"resources", {"main.py"}}}}}};
  EXPECT_EQ(resolve(legacyPermitted, "decode"), "");
}

TEST(LaunchSpecEquals, DefaultTransportAndArguments) {
  const LaunchSpec hint = S("bin/tool");
  LaunchSpec signedSpec = hint;
  signedSpec.transport = "stdio";
  EXPECT_TRUE(LaunchSpecEquals(hint, signedSpec, "decode"));
  EXPECT_FALSE(LaunchSpecEquals(hint, signedSpec, "realtime"));
  signedSpec.transport = "ws";
  EXPECT_TRUE(LaunchSpecEquals(hint, signedSpec, "realtime"));
  LaunchSpec withArg = hint;
  withArg.args = {"x"};
  EXPECT_FALSE(LaunchSpecEquals(withArg, hint, "decode"));
  LaunchSpec legacy = hint;
  legacy.legacySystemInterpreter = true;
  EXPECT_FALSE(LaunchSpecEquals(legacy, hint, "decode"));
}

TEST_F(StoreTest, CheckSignedLaunchTiesPackageSignatureAndHint) {
  const json m = BaseManifest();
  const std::string zip = PackageZip(m);
  ASSERT_EQ(StagePluginPackage(StagePayload(SignFor(m, zip), zip).dump()), "");
  InstalledPackage package;
  ASSERT_TRUE(FindInstalledPackage("demo.plugin", Sha256Hex(zip), &package));

  LaunchSpec out;
  EXPECT_EQ(CheckSignedLaunch(package, "decode", nullptr, out), "");
  EXPECT_EQ(out.executable, "bin/tool");
  const LaunchSpec hint = S("bin/tool");
  EXPECT_EQ(CheckSignedLaunch(package, "realtime", &hint, out), "");
  LaunchSpec other = hint;
  other.args = {"--x"};
  EXPECT_EQ(CheckSignedLaunch(package, "decode", &other, out), "signed launch mismatch");
  EXPECT_EQ(CheckSignedLaunch(package, "export", nullptr, out), "capability rejected");

  const std::string signature = Root() + "/demo.plugin/1.0.0.signature.json";
  WriteAll(signature, "{");
  EXPECT_EQ(CheckSignedLaunch(package, "decode", nullptr, out), "package signature invalid");
  fs::remove(signature);
  EXPECT_EQ(CheckSignedLaunch(package, "decode", nullptr, out), "package signature missing");
  InstalledPackage escaping = package;
  escaping.version = "../demo.plugin/1.0.0";
  EXPECT_EQ(CheckSignedLaunch(escaping, "decode", nullptr, out), "package signature missing");
}

class ResolveLaunchCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(folder / "bin");
    fs::create_directories(folder / "py");
    WriteAll(folder / "bin/tool", "x");
    WriteAll(folder / "py/python3", "x");
    WriteAll(folder / "main.py", "x");
    WriteAll(python.str() + "/python3", "x");
    fs::create_symlink("/bin/sh", folder / "bin/link");
  }
  ResolvedLaunch Resolve(const LaunchSpec& plan, const std::string& capability = "decode", bool withPython = true) {
    return ResolveLaunchCommand(folder.str(), plan, capability, withPython ? python.str() + "/python3" : "");
  }
  testsupport::TempFolder folder{"qv-launch-"};
  testsupport::TempFolder python{"qv-python-"};
};

TEST_F(ResolveLaunchCommandTest, CommandsAndRefusals) {
  ResolvedLaunch r = Resolve(S("bin/tool", "", "", "", {"--a", "b c"}));
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(r.argv, (std::vector<std::string>{folder / "bin/tool", "--a", "b c"}));
  EXPECT_EQ(r.workingDirectory, folder.str());
  EXPECT_EQ(r.transport, "stdio");

  r = Resolve(S("", "py\\python3", "python", "main.py", {"x"}), "realtime");
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(r.argv, (std::vector<std::string>{folder / "py/python3", "-E", "-B", folder / "main.py", "x"}));
  EXPECT_EQ(r.transport, "ws");
  r = Resolve(S("", "", "", "main.py", {}, "stdio", true), "realtime");
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(r.argv, (std::vector<std::string>{python.str() + "/python3", "-E", "-B", folder / "main.py"}));

  const std::vector<std::string> sixteen(16, "a");
  std::vector<std::string> seventeen(17, "a");
  struct Case {
    const char* what;
    LaunchSpec plan;
    std::string capability;
    std::string error;
    bool withPython = true;
  } cases[] = {
      {"capability", S("bin/tool"), "export", "capability rejected"},
      {"decode over ws", S("bin/tool", "", "", "", {}, "ws"), "decode", "decode transport"},
      {"realtime transport", S("bin/tool", "", "", "", {}, "pipe"), "realtime", "transport rejected"},
      {"neither", LaunchSpec{}, "decode", "launch rejected"},
      {"both", S("bin/tool", "py/python3", "python", "main.py"), "decode", "launch rejected"},
      {"interpreter without script", S("", "py/python3", "python"), "decode", "launch rejected"},
      {"kind", S("", "py/python3", "node", "main.py"), "decode", "launch rejected"},
      {"16 args", S("bin/tool", "", "", "", sixteen), "decode", ""},
      {"17 args", S("bin/tool", "", "", "", seventeen), "decode", "argument rejected"},
      {"256 bytes", S("bin/tool", "", "", "", {std::string(256, 'a')}), "decode", ""},
      {"257 bytes", S("bin/tool", "", "", "", {std::string(257, 'a')}), "decode", "argument rejected"},
      {"empty arg", S("bin/tool", "", "", "", {""}), "decode", "argument rejected"},
      {"tab", S("bin/tool", "", "", "", {"a\tb"}), "decode", "argument rejected"},
      {"DEL", S("bin/tool", "", "", "", {"a\x7F"}), "decode", "argument rejected"},
      {"UTF-8", S("bin/tool", "", "", "", {"caf\xC3\xA9"}), "decode", ""},
      {"unsafe executable", S("../bin/tool"), "decode", "path rejected"},
      {"unsafe script", S("", "py/python3", "python", "/main.py"), "decode", "path rejected"},
      {"unsafe interpreter", S("", "C:/python", "python", "main.py"), "decode", "path rejected"},
      {"no such executable", S("bin\\tool.EXE"), "decode", "executable missing"},
      {"symlinked executable", S("bin/link"), "decode", "executable missing"},
      {"folder as executable", S("bin"), "decode", "executable missing"},
      {"no such script", S("", "py/python3", "python", "other.py"), "decode", "executable missing"},
      {"no system python", S("", "", "", "main.py", {}, "", true), "decode", "interpreter missing", false},
  };
  for (const Case& c : cases) {
    r = Resolve(c.plan, c.capability, c.withPython);
    EXPECT_EQ(r.error, c.error) << c.what;
    if (!c.error.empty()) {
      EXPECT_TRUE(r.argv.empty()) << c.what;
    }
  }
}

TEST(WindowsCommandLine, Quoting) {
  struct Case {
    std::string argument, written;
  } cases[] = {
      {"", R"("")"},
      {"abc", "abc"},
      {"a b", R"("a b")"},
      {"a\"b", R"("a\"b")"},
      {R"(C:\dir with space\)", R"("C:\dir with space\\")"},
      {R"(a\\"b)", R"("a\\\\\"b")"},
      {R"(C:\x)", R"(C:\x)"},
      {"tab\there", "\"tab\there\""},
      {R"(a\b c\\)", R"("a\b c\\\\")"},
      {"\"", R"("\"")"},
  };
  for (const Case& c : cases) EXPECT_EQ(QuoteWindowsArgument(c.argument), c.written) << c.argument;
  EXPECT_EQ(BuildWindowsCommandLine({"C:\\p y\\tool.exe", "", "-x", "a\"b"}), R"("C:\p y\tool.exe" "" -x "a\"b")");
  EXPECT_EQ(BuildWindowsCommandLine({}), "");
}

TEST(ClassifyLaunchFailure, Table) {
  struct Case {
    std::string text, code, message;
  } cases[] = {
      {R"({"error":"BMS_LIVE_LINK"})", "bms_live_link", R"({"error":"BMS_LIVE_LINK"})"},
      {"decoder said BMS_NO_TIME_AXIS", "bms_no_time_axis", "decoder said BMS_NO_TIME_AXIS"},
      {"bms_no_channels and bms_no_time_axis", "bms_no_time_axis", "bms_no_channels and bms_no_time_axis"},
      {"x bms_no_channels", "bms_no_channels", "x bms_no_channels"},
      {"interpreter missing", "plugin_update_required", "system Python was not found via the py launcher or the registry"},
      {"launch rejected", "launch_spec_invalid", "launch rejected"},
      {"decode transport", "launch_spec_invalid", "decode transport"},
      {"plugin launch invalid: x", "launch_spec_invalid", "plugin launch invalid: x"},
      {"launch missing: decode payload has no launch object", "launch_missing",
       "launch missing: decode payload has no launch object"},
      {"manifest has no launch", "launch_missing", "manifest has no launch"},
      {"permission rejected", "launch_permission_denied", "permission rejected"},
      {"package manifest invalid", "package_manifest_mismatch", "package manifest invalid"},
      {"package signature storage failed", "package_signature_invalid", "package signature storage failed"},
      {"package tampered", "package_signature_invalid", "package tampered"},
      {"package hash mismatch", "package_signature_invalid", "package hash mismatch"},
      {"platform rejected", "platform_rejected", "platform rejected"},
      {"signed launch mismatch", "launch_manifest_mismatch", "signed launch mismatch"},
      {"capability rejected", "launch_capability_denied", "capability rejected"},
      {"executable missing", "launch_executable_missing", "executable missing"},
      {"package runtime rejected", "", "package runtime rejected"},
      {"package zip invalid", "", "package zip invalid"},
      {"Launch Rejected", "", "Launch Rejected"},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    const LaunchFailure f = ClassifyLaunchFailure(c.text);
    EXPECT_EQ(f.code, c.code) << c.text;
    EXPECT_EQ(f.message, c.message) << c.text;
  }
  EXPECT_EQ(LogLaunchRejected("why"), "why");
}

}  // namespace
