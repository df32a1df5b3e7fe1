#include "plugins/launch_checks.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "support/temp_folder.h"

namespace {
namespace reg = platform::registry;
using plugins::BuildEnvironmentBlock;
using plugins::FindPythonCoreInterpreter;
using plugins::FindPythonInterpreter;
using plugins::InterpreterSearchPlaces;
using plugins::IsBmsTelemetryUrl;
using plugins::IsGt7ConsoleAddress;
using plugins::IsTelemetryChannelName;
using plugins::IsTelemetryHostName;

struct Case {
  std::string value;
  bool expected;
};

TEST(LaunchChecks, ConsoleAddress) {
  const Case cases[] = {
      {"192.168.1.20", true}, {"010.0.0.1", true},  {"1.0.0.0", true},       {"223.255.255.254", true},
      {"0.1.2.3", false},     {"224.0.0.1", false}, {"10.0.0.255", false},  {"1.2.3", false},
      {"1.2.3.4.5", false},   {"01.2.3.4000", false}, {"1.2.3.4:80", false}, {"1.2.3.256", false},
      {"1..2.3", false},      {".1.2.3", false},    {"1.2.3.4.", false},    {"1.2.3.4/24", false},
      {"1.2.3.4%eth0", false}, {" 1.2.3.4", false}, {"", false},            {"0001.2.3.4", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsGt7ConsoleAddress(c.value), c.expected) << c.value;
}

TEST(LaunchChecks, TelemetryHostAndChannel) {
  const Case hosts[] = {
      {"10.0.0.7", true},  {"10.0.0.255", false}, {"host-1.local", true}, {"a", true},
      {"-host", false},    {"host_", false},      {"ho st", false},       {std::string(253, 'a'), true},
      {std::string(254, 'a'), false}, {"1.2.3", true}, {"1.2.3.4.5", true}, {"", false},
  };
  for (const Case& c : hosts) EXPECT_EQ(IsTelemetryHostName(c.value), c.expected) << c.value;

  std::string max;
  for (int i = 0; i < 128; ++i) max += "\xC3\xA9";  // 128 code points of two bytes each
  const Case channels[] = {
      {"ch", true},   {".", false},        {"..", false},      {"...", true},       {max, true},
      {max + "a", false}, {"\x80", false}, {"a/b", false},     {"a\\b", false},      {"a\x7F", false},
      {"\xC2\x85", false},                   // C1 control
      {"\xC0\xAF", false},                   // overlong
      {"\xE0\x80\xAF", false},               // overlong three-byte
      {"\xED\xA0\x80", false},               // surrogate
      {"\xF4\x90\x80\x80", false},           // beyond U+10FFFF
      {"\xF0\x9F\x98\x80", true}, {"a\tb", false}, {"", false}, {"\xE2\x82", false},
  };
  for (const Case& c : channels) EXPECT_EQ(IsTelemetryChannelName(c.value), c.expected) << c.value;
}

TEST(LaunchChecks, BmsTelemetryUrl) {
  const std::string prefix = "\\\\.\\Telemetry\\";
  const Case cases[] = {
      {prefix + "host\\chan", true},
      {prefix + "10.0.0.7\\chan", true},
      {prefix + "10.0.0.255\\chan", false},
      {prefix + "host\\", false},            // empty channel
      {prefix + "\\chan", false},            // empty host
      {prefix + "host\\ch\\an", false},      // second backslash
      {prefix + "hostchan", false},
      {"\\\\.\\Telemetrx\\host\\chan", false},
      {prefix + "h\\c", true},               // exactly 17 bytes
      {prefix + "h\\", false},
      {prefix + std::string(253, 'h') + "\\" + std::string(128, 'c'), true},
      {prefix + std::string(253, 'h') + "\\" + std::string(129, 'c'), false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsBmsTelemetryUrl(c.value), c.expected) << c.value;
}

TEST(LaunchChecks, EnvironmentReplacesNamesIgnoringCaseAndKeepsTheRest) {
  const std::vector<std::string> parent = {"PATH=/usr/bin", "qvn_rpc_port=1", "=C:=weird", "NOEQUALS",
                                           "Qvn_Plugin_Mode=old", "HOME=/root"};
  const auto block = BuildEnvironmentBlock({{"QVN_RPC_PORT", ""}, {"QVN_PLUGIN_MODE", "realtime"}}, parent);
  const std::vector<std::string> expected = {"PATH=/usr/bin", "=C:=weird",       "NOEQUALS",
                                             "HOME=/root",    "QVN_RPC_PORT=", "QVN_PLUGIN_MODE=realtime"};
  EXPECT_EQ(block, expected);
}

void MakeExecutable(const std::string& path, bool executable = true) {
  std::ofstream(path) << "#!/bin/sh\n";
  ::chmod(path.c_str(), executable ? 0755 : 0644);
}

TEST(LaunchChecks, InterpreterSearchOrder) {
  testsupport::TempFolder temp;
  const std::string a = temp / "a", b = temp / "b", c = temp / "c";
  for (const auto& folder : {a, b, c}) ::mkdir(folder.c_str(), 0755);
  MakeExecutable(a + "/python3", false);  // not executable: skipped
  ::mkdir((b + "/python3").c_str(), 0755);  // a folder: skipped
  MakeExecutable(c + "/python3");

  InterpreterSearchPlaces places;
  reg::InMemoryRegistry empty;
  places.registry = &empty;
  places.path = a + ":relative:" + b + "::" + c;
  EXPECT_EQ(FindPythonInterpreter(places), c + "/python3");

  places.path = a;
  places.installFolders = {b, c};
  EXPECT_EQ(FindPythonInterpreter(places), c + "/python3");

  places.installFolders.clear();
  EXPECT_EQ(FindPythonInterpreter(places), "");
}

TEST(LaunchChecks, RegisteredInterpreterRanksVersionsOrdinally) {
  reg::InMemoryRegistry registry;
  const std::string core = "Software\\Python\\PythonCore";
  auto add = [&](const std::string& version, const std::string& exe) {
    registry.Set(reg::Hive::CurrentUser, reg::View::Default, core + "\\" + version + "\\InstallPath", "ExecutablePath",
                 {reg::ValueType::String, exe});
  };
  add("3.12", "/opt/py312/python3");
  add("3.9", "/opt/py39/python3");
  add("3.10", "/missing/python3");
  registry.Set(reg::Hive::CurrentUser, reg::View::Default, core + "\\3.11\\InstallPath", "",
               {reg::ValueType::String, "/opt/py311"});
  auto exists = [](const std::string& path) { return path.rfind("/opt/", 0) == 0; };
  // "3.9" sorts above "3.12" and "3.11" in code-unit order; the missing 3.10 is no candidate.
  EXPECT_EQ(FindPythonCoreInterpreter(registry, reg::Hive::CurrentUser, reg::View::Default, exists),
            "/opt/py39/python3");
  EXPECT_EQ(FindPythonCoreInterpreter(registry, reg::Hive::LocalMachine, reg::View::Default, exists), "");
}

}  // namespace
