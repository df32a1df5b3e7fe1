#include "plugins/decode_requests.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "base/base64.h"
#include "decode_fixture.h"
#include "plugins/native_packs.h"

using nlohmann::json;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Progress events as the page would get them, with a wait for the first.
class Events {
 public:
  void Add(const json& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.push_back(event);
    changed_.notify_all();
  }
  bool WaitForOne() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 20s, [&] { return !items_.empty(); });
  }
  std::vector<json> Items() {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<json> items_;
};

class DecodeRequestTest : public DecodeFixture {
 protected:
  void SetUp() override {
    DecodeFixture::SetUp();
    plugins::ResetDecodeTablesForTesting();
    ResetNativePacksForTesting();
    plugins::SetDecodeClockForTesting([this] { return now; });
  }
  void TearDown() override {
    plugins::SetDecodeClockForTesting(nullptr);
    plugins::ResetDecodeTablesForTesting();
    ResetNativePacksForTesting();
    DecodeFixture::TearDown();
  }

  json Payload(const std::string& id, const json& settings = json::object(), const json& change = json::object()) {
    json payload = {{"pluginId", id},
                    {"packageSha256", shas[id]},
                    {"launch", Launch(id == kJsonDecoder ? "bin/decoder" : "bin/converter")},
                    {"pluginSettings", settings},
                    {"fileName", "lap.bin"},
                    {"decodeId", "d1"},
                    {"b64", Base64Encode(reinterpret_cast<const uint8_t*>("12345"), 5)}};
    return With(payload, change);
  }

  json Decode(const json& payload, bool developerMode = false, const PluginInputReader& reader = nullptr) {
    plugins::DecodeOptions options;
    options.places = &places;
    options.limits.converterTimeout = 20s;
    return plugins::DecodeTelemetryPlugin(
        payload, developerMode, [this](const json& p) { events.Add(p); }, reader, options);
  }

  // The pack folders left in the temp folder.
  size_t PackFolders() const {
    size_t count = 0;
    for (const auto& entry : fs::directory_iterator(scratch.path())) {
      count += entry.path().filename().string().rfind("qvn-native-pack-", 0) == 0;
    }
    return count;
  }

  static std::string Error(const json& reply) { return reply.value("error", "") + "|" + reply.value("code", ""); }

  std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
  Events events;
};

TEST_F(DecodeRequestTest, RefusalsBeforeAnyChild) {
  const std::string conv = plugins::kBmsConverterId;
  struct Case {
    const char* name;
    json payload;
    bool developerMode;
    std::string error;
  } cases[] = {
      {"entryFiles", Payload(conv, {}, {{"entryFiles", json::array()}}), false,
       "caller-supplied plugin code requires plugin developer mode|E_DEVELOPER_MODE_REQUIRED"},
      {"extraDir", With(Payload(conv), {{"extraDir", "x"}}), false,
       "extraDir requires plugin developer mode|E_DEVELOPER_MODE_REQUIRED"},
      {"launch missing", With(Payload(conv), {{"launch", nullptr}}), false,
       "launch missing: decode payload has no launch object|launch_missing"},
      {"launch not an object", With(Payload(conv), {{"launch", "bin/converter"}}), false,
       "launch missing: decode payload has no launch object|launch_missing"},
      {"empty extraDir passes the gate", With(Payload(conv), {{"extraDir", ""}, {"launch", nullptr}}), false,
       "launch missing: decode payload has no launch object|launch_missing"},
      {"developer mode passes the gate", With(Payload(conv), {{"entryName", "x"}, {"launch", nullptr}}), true,
       "launch missing: decode payload has no launch object|launch_missing"},
      {"wrong type", With(Payload(conv), {{"fileName", 7}}), false, "invalid parameter type: fileName|"},
      {"pds without executable", With(Payload(plugins::kPdsConverterId), {{"launch", {{"script", "a.py"}}}}), false,
       "update the PDS plugin to the native Pi DAE converter package; the legacy Python adapter does not implement "
       "this SDK|plugin_update_required"},
      {"decodeId empty", Payload(conv, {}, {{"decodeId", ""}}), false, "decode request ID rejected|"},
      {"decodeId 129", Payload(conv, {}, {{"decodeId", std::string(129, 'd')}}), false, "decode request ID rejected|"},
      {"other SDK folder", Payload(conv, {}, {{"localLibraryRoot", scratch.str()}}), false,
       "SDK folder differs from the registered vendor COM installation; the folder setting is validation only|"
       "local_library_not_configured"},
      {"no input", Payload(conv, {}, {{"b64", nullptr}}), false, "missing or oversized selected input|"},
      {"blob without reader", Payload(conv, {}, {{"inputBlob", {{"size", 5}, {"blobId", "b"}}}}), false,
       "input stream unsupported|"},
      {"json road without input", Payload(kJsonDecoder, {}, {{"b64", nullptr}, {"fileName", ""}}), false,
       "missing path|"},
  };
  // "entryName": null counts as caller-supplied code.
  json entryNull = Payload(conv);
  entryNull["entryName"] = nullptr;
  EXPECT_EQ(Error(Decode(entryNull)), "caller-supplied plugin code requires plugin developer mode|E_DEVELOPER_MODE_REQUIRED");
  for (const Case& c : cases) {
    const json reply = Decode(c.payload, c.developerMode);
    EXPECT_EQ(reply["ok"], false) << c.name;
    EXPECT_EQ(reply["fallback"], true) << c.name;
    EXPECT_EQ(Error(reply), c.error) << c.name;
  }
  EXPECT_EQ(PackFolders(), 0u);

  platform::registry::InMemoryRegistry empty;
  places.registry = &empty;
  EXPECT_EQ(Error(Decode(Payload(conv))),
            "Bosch BMS2API is not installed or x64 COM registration is missing|local_library_not_configured");
}

TEST_F(DecodeRequestTest, JsonRoadAnswersTheDocument) {
  json reply = Decode(Payload(kJsonDecoder, {}, {{"fileName", ""}}));
  ASSERT_EQ(reply["ok"], true) << reply.dump();
  EXPECT_EQ(reply["provenance"], "verified");
  EXPECT_EQ(reply["libraryId"], sdk);
  EXPECT_EQ(reply["version"], "7.1");
  EXPECT_EQ(reply["result"]["op"], "decode");
  EXPECT_EQ(reply["result"]["hasB64"], true);
  EXPECT_EQ(reply["result"]["library"], sdk);
  EXPECT_TRUE(events.Items().empty());

  reply = Decode(Payload(kJsonDecoder, {{"garbage", true}}, {{"fileName", ""}}));
  EXPECT_EQ(Error(reply), "decoder returned invalid JSON|");
}

TEST_F(DecodeRequestTest, ConverterRoadRegistersAPackAndLeavesNothingOnFailure) {
  const json lines = json::array({json{{"phase", "decode"}, {"ratio", 0.5}}});
  json reply = Decode(Payload(plugins::kBmsConverterId, {{"progress", lines}}, {{"localLibraryRoot", sdk + "/."}}));
  ASSERT_EQ(reply["ok"], true) << reply.dump();
  EXPECT_EQ(reply["libraryId"], sdk);
  EXPECT_EQ(reply["result"]["format"], "qvn-pack-v1");
  EXPECT_EQ(reply["result"]["size"], 128);
  const std::string packId = reply["result"]["packId"];
  EXPECT_EQ(packId.find_first_not_of("0123456789abcdef"), std::string::npos);
  ASSERT_EQ(packId.size(), 32u);
  std::vector<uint8_t> frame;
  const json read = HandleNativePackRequest({{"packId", packId}, {"offset", 0}, {"length", 9}, {"requestId", 1}}, frame);
  EXPECT_FALSE(read.contains("error")) << read.dump();
  EXPECT_NE(std::string(frame.begin(), frame.end()).find("QVNPAK015"), std::string::npos);
  EXPECT_FALSE(fs::exists(fs::path(NativePackFolder(packId)) / "input.bmsbin"));  // the spool is gone
  ASSERT_EQ(events.Items().size(), 1u);
  EXPECT_EQ(events.Items()[0]["ratio"], 0.5);  // a path or b64 input is not rescaled

  const std::string conv = plugins::kBmsConverterId;
  struct Case {
    const char* name;
    json settings;
    std::string error;
  } failures[] = {
      {"95 bytes", {{"size", 95}}, "converter returned a truncated pack|"},
      {"exit code", {{"exit", 3}}, "Native converter exited 3|"},
      {"no pack", {{"size", 0}}, "converter returned no QVNPAK01 pack|"},
  };
  for (const Case& c : failures) EXPECT_EQ(Error(Decode(Payload(conv, c.settings))), c.error) << c.name;
  EXPECT_EQ(Decode(Payload(conv, {{"size", 96}}))["ok"], true);
  EXPECT_EQ(PackFolders(), 2u);  // the two packs that were registered

  // b64 input: exactly 32 MiB decoded is taken, one byte more is not.
  const std::string big(plugins::kMaxSpooledInputBytes, 'z');
  const auto* bytes = reinterpret_cast<const uint8_t*>(big.data());
  EXPECT_EQ(Decode(Payload(conv, {}, {{"b64", Base64Encode(bytes, big.size())}}))["ok"], true);
  EXPECT_EQ(Error(Decode(Payload(conv, {}, {{"b64", Base64Encode(bytes, big.size()) + "eg=="}}))),
            "missing or oversized selected input|");

  // The table is full: the 33rd pack is refused and its folder removed.
  ResetNativePacksForTesting();
  {
    std::lock_guard<std::mutex> lock(NativeDecodeMutex());
    for (int i = 0; i < 32; ++i) {
      char id[33];
      snprintf(id, sizeof id, "%032x", i);
      ASSERT_TRUE(RegisterNativePack(id, scratch / ("fake" + std::to_string(i)), conv, 100));
    }
  }
  const size_t before = PackFolders();
  EXPECT_EQ(Error(Decode(Payload(conv))), "too many local packs open; close an imported session first|");
  EXPECT_EQ(PackFolders(), before);
}

TEST_F(DecodeRequestTest, PageHeldInputIsRescaledAcrossTransferAndConversion) {
  const PluginInputReader reader = [](const json&, const std::string& target, const std::function<bool()>&,
                                      const std::function<void(const json&)>& progress) {
    std::ofstream(target) << "abc";
    progress({{"phase", "transfer"}, {"ratio", 0.3}});
    return std::string();
  };
  const json lines = json::array({json{{"phase", "decode"}, {"ratio", 0.5}}});
  const json reply =
      Decode(Payload(plugins::kBmsConverterId, {{"progress", lines}}, {{"inputBlob", {{"size", 3}, {"blobId", "b"}}}}),
             false, reader);
  ASSERT_EQ(reply["ok"], true) << reply.dump();
  const auto seen = events.Items();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0]["ratio"], 0.3);
  EXPECT_DOUBLE_EQ(seen[1]["ratio"].get<double>(), 0.65);
}

TEST_F(DecodeRequestTest, CancelsBeforeAndDuringTheRun) {
  const std::string conv = plugins::kBmsConverterId;
  // Remembered for 90 s: 10 s old still cancels, 100 s old does not.
  plugins::CancelNativePluginDecode({{"decodeId", "early"}});
  now += 10s;
  EXPECT_EQ(Error(Decode(Payload(conv, {{"hang", true}}, {{"decodeId", "early"}}))), "decoder cancelled|");
  plugins::CancelNativePluginDecode({{"decodeId", "stale"}});
  now += 100s;
  EXPECT_EQ(Decode(Payload(conv, {}, {{"decodeId", "stale"}}))["ok"], true);
  // Malformed cancels are answered alike and change nothing.
  for (const json& payload : {json{{"decodeId", 5}}, json::array(), json{{"decodeId", std::string(129, 'x')}}}) {
    EXPECT_EQ(plugins::CancelNativePluginDecode(payload), (json{{"ok", true}}));
  }

  const json lines = json::array({json{{"ratio", 0.1}}});
  json first;
  std::thread running([&] { first = Decode(Payload(conv, {{"hang", true}, {"progress", lines}}, {{"decodeId", "live"}})); });
  ASSERT_TRUE(events.WaitForOne());
  EXPECT_EQ(Error(Decode(Payload(conv, {}, {{"decodeId", "live"}}))), "decode request ID rejected|");
  plugins::CancelNativePluginDecode({{"decodeId", "live"}});
  running.join();
  EXPECT_EQ(Error(first), "decoder cancelled|");
  EXPECT_EQ(PackFolders(), 1u);  // only the "stale" decode's pack
}

TEST(DecodeProgressEvent, CopiesTheRequestMembers) {
  const json event = plugins::MakeDecodeProgressEvent({{"phase", "decode"}, {"ratio", 0.5}, {"lap", 2}},
                                                      {{"pluginId", "p"}, {"decodeId", "d"}});
  EXPECT_EQ(event, (json{{"type", "plugin.decodeProgress"}, {"phase", "decode"}, {"ratio", 0.5}, {"lap", 2},
                         {"pluginId", "p"}, {"fileName", nullptr}, {"decodeId", "d"}}));
}

}  // namespace
