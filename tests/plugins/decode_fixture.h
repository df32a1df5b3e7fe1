#pragma once
// Two signed decoder packages staged for decode tests: our JSON decoder under kJsonDecoder and our
// converter under the bmsapi converter id, each with a decode token armed, and a BMS2API SDK
// folder registered for the converter's class in an in-memory registry.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "package_signer.h"
#include "platform/registry.h"
#include "plugins/decoder_runs.h"
#include "plugins/package_store.h"
#include "plugins/plugin_host.h"
#include "plugins/sdk_discovery.h"
#include "support/temp_folder.h"
#include "support/token_test_support.h"

inline constexpr const char* kJsonDecoder = "com.test.jsondecoder";

class DecodeFixture : public TokenTest {
 protected:
  void SetUp() override {
    TokenTest::SetUp();
    EnableTokens();
    registry->SetRpcPort(45678);
    std::string error;
    ASSERT_TRUE(qvsign::LoadSigningKey(QV_TEST_FIXTURES "/keys/package-dev.seed", packageKey, error)) << error;
    plugins::PluginHostServices services;
    services.tokens = registry.get();
    plugins::InstallPluginHost(services);
    shas[kJsonDecoder] = Stage(kJsonDecoder, QV_TEST_JSON_DECODER, "bin/decoder");
    shas[plugins::kBmsConverterId] = Stage(plugins::kBmsConverterId, QV_TEST_CONVERTER, "bin/converter");
    for (const auto& [id, sha] : shas) Arm(id, sha);

    sdk = scratch / "sdk";
    std::filesystem::create_directories(sdk);
    for (const char* name : {"BMS2API.dll", "WinDarab.DSP.dll", "zlib64.dll"}) std::ofstream(sdk + "/" + name);
    std::ofstream(sdk + "/version.txt") << "7.1\n";
    sdkRegistry.Set(platform::registry::Hive::LocalMachine, platform::registry::View::Default,
                    "Software\\Classes\\CLSID\\{ADA4F637-C3BC-4081-90C4-BE034E679C99}\\InprocServer32", "",
                    {platform::registry::ValueType::String, sdk + "/BMS2API.dll"});
    places.registry = &sdkRegistry;
  }

  void TearDown() override { plugins::InstallPluginHost({}); }

  std::string Stage(const std::string& id, const std::string& program, const std::string& executable) {
    const std::filesystem::path folder = scratch / ("pkg-" + id);
    std::filesystem::create_directories(folder / "bin");
    std::filesystem::copy_file(program, folder / executable, std::filesystem::copy_options::overwrite_existing);
    const nlohmann::json manifest = {{"id", id},
                                     {"name", "Test decoder"},
                                     {"version", "1.0.0"},
                                     {"minAppVersion", "0.0.0"},
                                     {"runtime", "native"},
                                     {"entry", executable},
                                     {"sandbox", "process"},
                                     {"extensions", nlohmann::json::array()},
                                     {"capabilities", {"decode"}},
                                     {"platforms", {"linux"}},
                                     {"launch", {{"linux", {{"decode", Launch(executable)}}}}}};
    std::ofstream(folder / "plugin.json") << manifest.dump();
    nlohmann::json payload;
    std::string zip, error;
    EXPECT_TRUE(qvsign::BuildStagePayload(packageKey, folder.string(), payload, zip, error)) << error;
    EXPECT_EQ(StagePluginPackage(payload.dump()), "");
    return payload.value("packageSha256", payload.value("sha256", ""));
  }

  static nlohmann::json Launch(const std::string& executable) {
    return {{"executable", executable}, {"transport", "stdio"}};
  }

  void Arm(const std::string& id, const std::string& sha) {
    nlohmann::json claims = CapPayload(id, "decode");
    claims["pkg"] = sha;
    ASSERT_EQ(registry->ArmPluginToken(id, sha, Mint(claims), kNow), "");
  }

  PluginLaunchContext Context(const std::string& id, const nlohmann::json& settings = nlohmann::json::object()) {
    PluginLaunchContext context;
    context.pluginId = id;
    context.packageSha256 = shas[id];
    context.capability = "decode";
    context.launch.executable = id == kJsonDecoder ? "bin/decoder" : "bin/converter";
    context.launch.transport = "stdio";
    context.inputs.pluginSettings = settings.dump();
    return context;
  }

  testsupport::TempFolder data{"qv-decode-data-"};
  testsupport::TempFolder scratchFolder{"qv-decode-scratch-"};
  const testsupport::TempFolder& scratch = scratchFolder;
  testsupport::ScopedEnv xdg{"XDG_DATA_HOME", data.str()};
  testsupport::ScopedEnv tmpdir{"TMPDIR", scratchFolder.str()};
  qvsign::SigningKey packageKey;
  std::map<std::string, std::string> shas;
  std::string sdk;
  platform::registry::InMemoryRegistry sdkRegistry;
  SdkSearchPlaces places;
};
