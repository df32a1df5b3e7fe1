#include "bridge/rpc_dispatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "support/rpc_test_support.h"

namespace {

using nlohmann::json;

TEST(MakeRpcReply, CompactWithSortedKeys) {
  EXPECT_EQ(MakeRpcReply(7, "data", {{"z", 1}, {"a", "b"}}), R"({"data":{"a":"b","z":1},"id":7})");
  EXPECT_EQ(MakeRpcReply(nullptr, "error", "x"), R"({"error":"x","id":null})");
  EXPECT_EQ(MakeRpcReply({{"k", {1, 2}}}, "data", true), R"({"data":true,"id":{"k":[1,2]}})");
}

TEST(IsOpenableExternalUrl, Table) {
  struct Case {
    std::string url;
    bool ok;
  } cases[] = {
      {"http://a", true},
      {"HTTPS://Example.org/x?y#z", true},
      {"hTtP://a/", true},
      {"https://h\xC3\xA9.example/", true},
      {"https://", false},
      {"http://", false},
      {"https:///path", false},
      {"http://?q", false},
      {"https://#f", false},
      {"mailto:someone@example.org", false},
      {"ftp://example.org/", false},
      {"https://exa mple.org/", false},
      {"https://example.org\\x", false},
      {"https://example.org/\x7F", false},
      {"https://example.org/\t", false},
      {std::string("https://a\0b", 11), false},
      {"javascript:alert(1)", false},
      {"https:/a.org", false},
      {"http:a", false},
      {"https://" + std::string(8192 - 8, 'a'), true},
      {"https://" + std::string(8193 - 8, 'a'), false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsOpenableExternalUrl(c.url), c.ok) << c.url.substr(0, 40);
}

TEST_F(RpcTest, BadAndMalformedMessagesAreLoggedWithoutReply) {
  struct Case {
    std::string text;
    std::string log;
  } cases[] = {
      {"{", "[rpc] bad JSON at byte 2\n"},
      {"not json", "[rpc] bad JSON at byte 2\n"},
      {R"({"id":1,"type":"hello"} x)", "[rpc] bad JSON at byte 25\n"},
      {std::string(300, '['), "[rpc] bad JSON at byte 257\n"},
      // Numbers beyond a double are refused by the parser with another kind of error.
      {R"({"id":1e999,"type":"hello"})", "[rpc] bad JSON at byte 11\n"},
      {R"({"id":1,"type":"hello","payload":{"n":[-1e400]}})", "[rpc] bad JSON at byte 45\n"},
      {"[1,2]", "[rpc] malformed message (missing id/type)\n"},
      {"\"hello\"", "[rpc] malformed message (missing id/type)\n"},
      {"null", "[rpc] malformed message (missing id/type)\n"},
      {R"({"type":"hello"})", "[rpc] malformed message (missing id/type)\n"},
      {R"({"id":1})", "[rpc] malformed message (missing id/type)\n"},
      {R"({"id":1,"type":5})", "[rpc] malformed message (missing id/type)\n"},
      {R"({"id":1,"type":null})", "[rpc] malformed message (missing id/type)\n"},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    dispatch->HandleMessage(c.text);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.log) << c.text.substr(0, 40);
    EXPECT_TRUE(outlet.Take().empty()) << c.text.substr(0, 40);
  }
}

TEST_F(RpcTest, UnknownTypeEchoesTheIdAsItCame) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(Inline(R"({"id":null,"type":"noSuchThing"})"),
            R"({"error":"not implemented in qvn_native_win yet: noSuchThing","id":null})");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[rpc] <- type=noSuchThing\n");
  EXPECT_EQ(Inline(R"({"id":{"b":[1,"x"],"a":2.5},"type":"x"})"),
            R"({"error":"not implemented in qvn_native_win yet: x","id":{"a":2.5,"b":[1,"x"]}})");
  EXPECT_EQ(Inline(R"({"id":"s","type":""})"), R"({"error":"not implemented in qvn_native_win yet: ","id":"s"})");
}

TEST_F(RpcTest, PayloadThatIsNotAnObjectGetsAnError) {
  for (const char* payload : {"5", "\"x\"", "[]", "null", "true"}) {
    EXPECT_EQ(Inline(std::string(R"({"id":3,"type":"setUILanguage","payload":)") + payload + "}"),
              R"({"error":"invalid parameter type: payload","id":3})")
        << payload;
  }
  EXPECT_EQ(Inline(R"({"id":3,"type":"setUILanguage"})"), R"({"data":{"success":true},"id":3})");
}

// What the dispatcher checks itself, row by row, before any owner is involved.
TEST_F(RpcTest, ParameterErrorsOfEveryRow) {
  const std::string notImpl = "not implemented in qvn_native_win yet: ";
  struct Case {
    std::string type;
    json payload;
    std::string error;
  } cases[] = {
      {"setAlwaysOnTop", {{"alwaysOnTop", "yes"}}, "invalid parameter type: alwaysOnTop"},
      {"setAlwaysOnTop", {{"name", 3}}, "invalid parameter type: name"},
      {"isAlwaysOnTop", {{"name", false}}, "invalid parameter type: name"},
      {"getAuthDeviceIdentity", json::object(), notImpl + "getAuthDeviceIdentity"},
      {"signAuthDeviceChallenge", {{"keyId", "k"}}, notImpl + "signAuthDeviceChallenge"},
      {"probeVideoMetadata", json::object(), notImpl + "probeVideoMetadata"},
      {"decodeFrameNative", json::object(), notImpl + "decodeFrameNative"},
      {"extractAudioNative", json::object(), notImpl + "extractAudioNative"},
      {"appendFileChunk", json::object(), "path and base64 are required"},
      {"appendFileChunk", {{"path", "/tmp/x"}}, "path and base64 are required"},
      {"appendFileChunk", {{"base64", "QQ=="}}, "path and base64 are required"},
      {"appendFileChunk", {{"path", "/tmp/x"}, {"base64", "Q Q=="}}, "failed to decode base64 chunk"},
      {"appendFileChunk", {{"path", "/tmp/x"}, {"base64", "-_"}}, "failed to decode base64 chunk"},
      {"appendFileChunk", {{"path", "/tmp/x"}, {"base64", "===="}}, "failed to decode base64 chunk"},
      {"appendFileChunk", {{"path", "/tmp/x"}, {"base64", "QQ"}, {"first", 1}}, "invalid parameter type: first"},
      {"shareFile", json::object(), "path is required"},
      {"shareFile", {{"path", 5}}, "invalid parameter type: path"},
      {"shareFile", {{"path", "/no/such/file/anywhere"}}, "file not found on disk"},
      {"shell.openExternal", json::object(), "url must be http or https"},
      {"shell.openExternal", {{"url", "file:///etc/passwd"}}, "url must be http or https"},
      {"shell.openExternal", {{"url", 5}}, "invalid parameter type: url"},
      {"startNativeExport", json::object(), notImpl + "startNativeExport"},
      {"finishNativeExport", json::object(), notImpl + "finishNativeExport"},
      {"probeLocalLibraries", json::object(), notImpl + "probeLocalLibraries"},
      {"decodeTelemetryPlugin", json::object(), notImpl + "decodeTelemetryPlugin"},
      {"decodeNativePlugin", json::object(), notImpl + "decodeNativePlugin"},
      {"applyRpcRevocations", json::object(), "E_TOKEN_SIGNATURE"},
      {"armPluginRpc", json::object(), "E_TOKEN_SIGNATURE"},
      {"unstagePluginPackage", json::object(), notImpl + "unstagePluginPackage"},
      {"cancelNativePluginDecode", json::object(), notImpl + "cancelNativePluginDecode"},
      {"readNativePluginPack", json::object(), notImpl + "readNativePluginPack"},
      {"closeNativePluginPack", json::object(), notImpl + "closeNativePluginPack"},
      {"touchNativePluginPack", json::object(), notImpl + "touchNativePluginPack"},
      {"stagePluginPackage", json::object(), notImpl + "stagePluginPackage"},
      {"startRealtimePlugin", json::object(), notImpl + "startRealtimePlugin"},
      {"stopRealtimePlugin", json::object(), notImpl + "stopRealtimePlugin"},
      {"setPluginDeveloperMode", {{"enabled", "true"}}, "invalid parameter type: enabled"},
  };
  int n = 0;
  for (const Case& c : cases) {
    json request = {{"id", ++n}, {"type", c.type}, {"payload", c.payload}};
    EXPECT_EQ(Inline(request.dump()), MakeRpcReply(n, "error", c.error)) << c.type << " " << c.payload.dump();
  }
}

TEST_F(RpcTest, ToggleFullscreenAnswersAtOnceAndPostsToTheForegroundWindow) {
  platform::ui::HWND popout = platform::ui::CreateWindow(kPopoutWindowClass, "p", 10, 10, PopoutWndProc);
  platform::ui::SetForegroundWindow(popout);
  EXPECT_EQ(Inline(R"({"id":1,"type":"toggleFullscreenNative"})"), R"({"data":{"success":true},"id":1})");
  // Also when no window would take the message.
  platform::ui::DestroyWindow(popout);
  platform::ui::DestroyWindow(mainWindow);
  EXPECT_EQ(Inline(R"({"id":2,"type":"toggleFullscreenNative"})"), R"({"data":{"success":true},"id":2})");
}

// Random shapes and types must neither crash nor silence the dispatcher.
TEST_F(RpcTest, FloodOfMalformedRequestsThenHelloStillAnswers) {
  const char* types[] = {"hello", "setAppVersion", "setAlwaysOnTop", "isAlwaysOnTop", "appendFileChunk",
                         "shareFile", "shell.openExternal", "armPluginRpc", "applyRpcRevocations",
                         "createNativePlayer", "promptSaveFile", "setPluginDeveloperMode", "finalizeOtaUpdate",
                         "playerSeek", "nope"};
  const char* keys[] = {"version", "alwaysOnTop", "name", "path", "base64", "first", "url", "pluginId",
                        "packageSha256", "token", "playerID", "fileSize", "suggestedName", "enabled", "sha256"};
  std::mt19937 rng(12345);
  auto value = [&rng](int depth) -> json {
    switch (rng() % (depth > 2 ? 6 : 8)) {
      case 0: return nullptr;
      case 1: return static_cast<int64_t>(rng()) - 0x80000000ll;
      case 2: return (rng() % 1000) / 7.0;
      case 3: return rng() % 2 == 0;
      case 4: return std::string(rng() % 5, 'a' + rng() % 26);
      case 5: return "http://x";
      case 6: return json::array({1, "x"});
      default: return json::object({{"k", 1}});
    }
  };
  for (int i = 0; i < 3000; ++i) {
    json payload = json::object();
    for (int k = rng() % 4; k > 0; --k) payload[keys[rng() % std::size(keys)]] = value(0);
    json request = {{"id", value(0)}, {"type", types[rng() % std::size(types)]}};
    if (rng() % 4) request["payload"] = rng() % 8 ? payload : value(0);
    std::string text = request.dump();
    if (rng() % 10 == 0) text.resize(rng() % (text.size() + 1));
    dispatch->HandleMessage(text);
  }
  dispatch->HandleMessage(R"({"id":"last","type":"hello"})");
  std::vector<std::string> got = outlet.Take();
  EXPECT_NE(std::find(got.begin(), got.end(), MakeRpcReply("last", "data", dispatch->MakeHelloReply())), got.end());
}

}  // namespace
