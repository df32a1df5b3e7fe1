#include "bridge/general_requests.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "base/constants.h"
#include "base/strings.h"
#include "base/version.h"
#include "platform/files.h"
#include "support/rpc_test_support.h"
#include "support/temp_folder.h"

namespace {

using nlohmann::json;
namespace ui = platform::ui;

const char kCapabilities[] =
    R"(["hello","tokenInHello","originCheck","hostCheck","pluginDeveloperMode","authDeviceProof",)"
    R"("getAuthDeviceIdentity","signAuthDeviceChallenge","startRealtimePlugin","bmsTelemetryUrl",)"
    R"("stopRealtimePlugin","stagePluginPackage","unstagePluginPackage","nativePluginPack",)"
    R"("nativePluginInputStream","armPluginRpc","rt.publish","remote.status","remote.setEnabled",)"
    R"("remote.shareSources","remoteShareSources","remote.revoke","remote.kick","remote.connect",)"
    R"("remote.renew","remote.disconnect","shell.openExternal"])";

TEST_F(RpcTest, HelloReplyExact) {
  const std::string version = GetExeProductVersion();
  EXPECT_EQ(Inline(R"({"id":1,"type":"hello","payload":{"token":"ignored here","protocol":2}})"),
            std::string(R"({"data":{"appVersion":"1.2","capabilities":)") + kCapabilities +
                R"(,"hardened":true,"installationId":"0123456789abcdef0123456789abcdef","nativeVersion":")" +
                version +
                R"(","platform":"linux","pluginDeveloperMode":false,"protocol":2,)"
                R"("sessionHandle":"fedcba9876543210fedcba9876543210"},"id":1})");

  // Without ids the members are left out; appVersion and the flag follow their rows.
  registry->SetInstallation("", "");
  EXPECT_EQ(Inline(R"({"id":2,"type":"setAppVersion","payload":{"version":"3.4.5"}})"),
            R"({"data":{"version":"3.4.5"},"id":2})");
  dispatch->SetDeveloperMode(true);
  EXPECT_EQ(Inline(R"({"id":3,"type":"hello"})"),
            std::string(R"({"data":{"appVersion":"3.4.5","capabilities":)") + kCapabilities +
                R"(,"hardened":true,"nativeVersion":")" + version +
                R"(","platform":"linux","pluginDeveloperMode":true,"protocol":2},"id":3})");
}

TEST_F(RpcTest, SetAppVersionKeepsTheOldValueForOtherTypes) {
  struct Case {
    std::string payload;
    std::string version;
  } cases[] = {
      {R"({"version":"2.0"})", "2.0"}, {R"({"version":7})", "2.0"},  {R"({})", "2.0"},
      {R"({"version":null})", "2.0"},  {R"({"version":""})", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Inline(R"({"id":1,"type":"setAppVersion","payload":)" + c.payload + "}"),
              MakeRpcReply(1, "data", {{"version", c.version}}))
        << c.payload;
  }
}

TEST_F(RpcTest, AlwaysOnTopMembersAndWindowChoice) {
  ui::HWND popout = ui::CreateWindow(kPopoutWindowClass, "Chart \xE2\x80\x94 popout", 10, 10, PopoutWndProc);
  struct Case {
    std::string payload;
    ui::HWND window;  // the one that must change
    bool topmost;
  } cases[] = {
      {R"({"enabled":false,"alwaysOnTop":true})", mainWindow, true},
      {R"({"topmost":false})", mainWindow, false},
      {R"({})", mainWindow, true},
      {R"({"enabled":false})", mainWindow, false},
      {R"({"name":"Chart","alwaysOnTop":true})", popout, true},
      {R"({"name":"\u2014 pop","alwaysOnTop":false})", popout, false},
      {R"({"name":"main","alwaysOnTop":true})", mainWindow, true},
      {R"({"name":"mainWindow","alwaysOnTop":false})", mainWindow, false},
      // No title matches and no foreground window: the main window.
      {R"({"name":"nothing like it"})", mainWindow, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Inline(R"({"id":1,"type":"setAlwaysOnTop","payload":)" + c.payload + "}"),
              MakeRpcReply(1, "data", {{"success", true}, {"alwaysOnTop", c.topmost}}))
        << c.payload;
    EXPECT_EQ(ui::IsTopmost(c.window), c.topmost) << c.payload;
    EXPECT_EQ(Inline(R"({"id":2,"type":"isAlwaysOnTop","payload":)" + c.payload + "}"),
              MakeRpcReply(2, "data", {{"success", true}, {"alwaysOnTop", c.topmost}}))
        << c.payload;
  }
  // An unmatched or empty name takes this process's foreground window.
  ui::SetForegroundWindow(popout);
  EXPECT_EQ(Inline(R"({"id":3,"type":"setAlwaysOnTop","payload":{"name":"zzz","topmost":true}})"),
            R"({"data":{"alwaysOnTop":true,"success":true},"id":3})");
  EXPECT_TRUE(ui::IsTopmost(popout));
  EXPECT_EQ(Inline(R"({"id":4,"type":"getAlwaysOnTop"})"), R"({"data":{"alwaysOnTop":true,"success":true},"id":4})");

  // No window at all.
  ui::DestroyWindow(popout);
  ui::DestroyWindow(mainWindow);
  EXPECT_EQ(Inline(R"({"id":5,"type":"setAlwaysOnTop"})"),
            R"({"error":"No valid window found for setAlwaysOnTop","id":5})");
  EXPECT_EQ(Inline(R"({"id":6,"type":"isAlwaysOnTop"})"), R"({"data":{"alwaysOnTop":false,"success":true},"id":6})");
}

class AppendFileChunkTest : public RpcTest {
 protected:
  void SetUp() override {
    RpcTest::SetUp();
    ASSERT_FALSE(folder.path().empty());
    dir = folder.str();
  }
  std::string Append(const std::string& path, const std::string& base64, bool first) {
    return Inline(json({{"id", 1},
                        {"type", "appendFileChunk"},
                        {"payload", {{"path", path}, {"base64", base64}, {"first", first}}}})
                      .dump());
  }
  std::string Read(const std::string& path) {
    std::string out;
    platform::ReadFile(path, &out);
    return out;
  }
  testsupport::TempFolder folder{"qv-chunk-"};
  std::string dir;
};

TEST_F(AppendFileChunkTest, FirstChunkReplacesLaterChunksAppend) {
  const std::string ok = R"({"data":{"success":true},"id":1})";
  const std::string path = dir + "/out.bin";
  ASSERT_TRUE(platform::WriteFileAtomic(path, "old content that must go"));
  EXPECT_EQ(Append(path, "YWJj", true), ok);
  EXPECT_EQ(Read(path), "abc");
  EXPECT_EQ(Append(path, "ZG\r\nVm", false), ok);  // CR LF inside is skipped
  EXPECT_EQ(Append(path, "QQ", false), ok);        // no padding
  EXPECT_EQ(Read(path), "abcdefA");
  // A later chunk on a missing file creates it.
  EXPECT_EQ(Append(dir + "/new.bin", "AA==", false), ok);
  EXPECT_EQ(Read(dir + "/new.bin"), std::string(1, '\0'));
  EXPECT_EQ(Append(dir + "/missing/x.bin", "AA==", true),
            R"({"error":"failed to open file for writing, code=2","id":1})");
  EXPECT_EQ(Append(dir, "AA==", true), R"({"error":"failed to open file for writing, code=21","id":1})");
}

// The page's path may name a FIFO: with no reader the open must fail, not hold the dispatch lock.
TEST_F(AppendFileChunkTest, FifoWithoutReaderFailsAtOnce) {
  const std::string fifo = dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(Append(fifo, "QQ==", true), R"({"error":"failed to open file for writing, code=6","id":1})");
}

// A hand-off that throws (no thread or process to be had) must not end the process.
TEST_F(RpcTest, HandOffsThatThrowStillAnswer) {
  RpcDispatch::Options options;
  options.openExternal = [](const std::string&) -> bool { throw std::runtime_error("no thread"); };
  options.revealInFolder = [](const std::string&) -> bool { throw std::bad_alloc(); };
  Build(options);
  EXPECT_EQ(Worker(R"({"id":1,"type":"shell.openExternal","payload":{"url":"https://example.org/"}})"),
            R"({"error":"failed to open url","id":1})");
  char path[] = "/tmp/qv_share_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(Worker(json({{"id", 2}, {"type", "shareFile"}, {"payload", {{"path", path}}}}).dump()),
            MakeRpcReply(2, "data", {{"completed", true}, {"path", path}, {"success", true}}));
  unlink(path);
}

TEST_F(RpcTest, ShareFileAnswersFromItsWorker) {
  auto revealed = std::make_shared<std::string>();
  RpcDispatch::Options options;
  options.revealInFolder = [revealed](const std::string& path) {
    *revealed = path;
    return false;  // a failed hand-off still answers success
  };
  Build(options);
  char path[] = "/tmp/qv_share_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(Worker(json({{"id", 9}, {"type", "shareFile"}, {"payload", {{"path", path}}}}).dump()),
            MakeRpcReply(9, "data", {{"completed", true}, {"path", path}, {"success", true}}));
  EXPECT_EQ(*revealed, path);
  unlink(path);
}

TEST_F(RpcTest, OpenExternalHandsTheUrlToTheShellLayer) {
  EXPECT_EQ(Worker(R"({"id":1,"type":"shell.openExternal","payload":{"url":"HTTP://a"}})"),
            R"({"data":{"opened":true,"success":true},"id":1})");
  openLog->result = false;
  EXPECT_EQ(Worker(R"({"id":2,"type":"shell.openExternal","payload":{"url":"https://example.org/a b"}})"),
            R"({"error":"url must be http or https","id":2})");
  EXPECT_EQ(Worker(R"j({"id":3,"type":"shell.openExternal","payload":{"url":"https://example.org/?q=1;$(x)"}})j"),
            R"({"error":"failed to open url","id":3})");
  std::lock_guard<std::mutex> lock(openLog->mutex);
  EXPECT_EQ(openLog->urls, (std::vector<std::string>{"HTTP://a", "https://example.org/?q=1;$(x)"}));
}

TEST(PluginTexts, IdAndPackageHash) {
  EXPECT_TRUE(IsPluginIdText("a.b-1"));
  EXPECT_FALSE(IsPluginIdText(""));
  EXPECT_FALSE(IsPluginIdText("A"));
  EXPECT_FALSE(IsPluginIdText("a_b"));
  EXPECT_FALSE(IsPluginIdText(std::string(65, 'a')));
  EXPECT_TRUE(IsPluginIdText(std::string(64, 'a')));
  EXPECT_TRUE(IsPackageSha256(std::string(64, 'f')));
  EXPECT_FALSE(IsPackageSha256(std::string(63, 'f')));
  EXPECT_FALSE(IsPackageSha256(std::string(64, 'F')));
  EXPECT_FALSE(IsPackageSha256(std::string(63, 'f') + "g"));
}

class ArmPluginRpcTest : public RpcTest {
 protected:
  std::string Arm(const std::string& pluginId, const std::string& pkg, const std::string& token) {
    return Inline(json({{"id", "a"},
                        {"type", "armPluginRpc"},
                        {"payload", {{"pluginId", pluginId}, {"packageSha256", pkg}, {"token", token}}}})
                      .dump());
  }
  std::string Revocations(const json& list) {
    return Inline(json({{"id", "r"}, {"type", "applyRpcRevocations"}, {"payload", list}}).dump());
  }
};

TEST_F(ArmPluginRpcTest, ChecksTextsBeforeAnyTokenWork) {
  int delivered = 0;
  RpcDispatch::Options options;
  options.deliverPluginToken = [&delivered](const std::string&, int64_t, const std::string&, const std::string&) {
    ++delivered;
    return PluginTokenDelivery{};
  };
  Build(options);
  const std::string token = Mint(CapPayload());
  const std::string refused = R"({"error":"E_TOKEN_SIGNATURE","id":"a"})";
  EXPECT_EQ(Arm("P1", kPkg, token), refused);
  EXPECT_EQ(Arm("", kPkg, token), refused);
  EXPECT_EQ(Arm(std::string(65, 'p'), kPkg, token), refused);
  EXPECT_EQ(Arm("p1", std::string(63, 'a'), token), refused);
  EXPECT_EQ(Arm("p1", std::string(64, 'A'), token), refused);
  EXPECT_EQ(Arm("p1", kPkg, ""), refused);
  EXPECT_EQ(Inline(R"({"id":"a","type":"armPluginRpc","payload":{"pluginId":1}})"), refused);
  EXPECT_EQ(delivered, 0);
  EXPECT_FALSE(registry->FindArmedGrant("p1").has_value());
}

TEST_F(ArmPluginRpcTest, ArmsAfterRevocationsWhetherOrNotDelivered) {
  auto calls = std::make_shared<std::vector<std::string>>();
  std::string code;
  RpcDispatch::Options options;
  options.deliverPluginToken = [calls, &code](const std::string& token, int64_t now, const std::string& pluginId,
                                              const std::string& pkg) {
    calls->push_back(pluginId + " " + pkg.substr(0, 4) + " " + std::to_string(now) + " " +
                     std::to_string(token.size()));
    return PluginTokenDelivery{false, code};
  };
  Build(options);
  // The plugin registry's step comes after a successful arming only.
  std::vector<std::string> recorded;
  dispatch->SetPluginTokenArmedHook(
      [&recorded](const std::string& id, int64_t now) { recorded.push_back(id + " " + std::to_string(now)); });
  const std::string token = Mint(CapPayload());
  EXPECT_EQ(Revocations({{"bad", true}}), R"({"error":"E_TOKEN_SIGNATURE","id":"r"})");
  EXPECT_EQ(Revocations(qvsign::SignRevocationList(key, {{"kid", "rpc-cap"}})), R"({"data":{"ok":true},"id":"r"})");

  // The session layer refusing the token arms nothing.
  code = "E_TOKEN_REPLAY";
  EXPECT_EQ(Arm("p1", kPkg, token), R"({"error":"E_TOKEN_REPLAY","id":"a"})");
  EXPECT_FALSE(registry->FindArmedGrant("p1").has_value());

  code.clear();
  EXPECT_EQ(Arm("p1", kPkg, token), R"({"data":{"ok":true,"pluginId":"p1"},"id":"a"})");
  ASSERT_TRUE(registry->FindArmedGrant("p1").has_value());
  EXPECT_EQ(registry->FindArmedGrant("p1")->token, token);
  EXPECT_EQ(*calls, (std::vector<std::string>(2, "p1 aaaa " + std::to_string(kNow) + " " +
                                                   std::to_string(token.size()))));
  EXPECT_EQ(recorded, std::vector<std::string>{"p1 " + std::to_string(kNow)});
  // The registry's own code comes back as the error.
  EXPECT_EQ(Arm("p1", kOtherPkg, token), MakeRpcReply("a", "error", registry->ArmPluginToken("p1", kOtherPkg, token, kNow)));

  // Without a session hook the token is armed all the same.
  Build({});
  EXPECT_EQ(Arm("p2", kPkg, Mint(CapPayload("p2"))), R"({"data":{"ok":true,"pluginId":"p2"},"id":"a"})");
}

TEST_F(RpcTest, LogPathWithoutALogFile) {
  // The tests log to standard output: there is no file to name (the browser test sees the path).
  EXPECT_EQ(Inline(R"({"id":1,"type":"getLogPath"})"),
            R"x({"error":"no log file (standard output is the log)","id":1})x");
}

TEST_F(RpcTest, DeveloperModeOffAndOn) {
  dispatch->SetDeveloperMode(true);
  ui::SetWindowTitle(mainWindow, "Quorvane \xE2\x80\x94 PLUGIN DEVELOPER MODE");
  EXPECT_EQ(Inline(R"({"id":1,"type":"getPluginDeveloperMode"})"), R"({"data":{"enabled":true},"id":1})");
  testing::internal::CaptureStdout();
  EXPECT_EQ(Inline(R"({"id":2,"type":"setPluginDeveloperMode","payload":{}})"), R"({"data":{"enabled":false},"id":2})");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[rpc] <- type=setPluginDeveloperMode\n[plugin] developer mode OFF\n");
  EXPECT_FALSE(dispatch->developerMode());
  EXPECT_EQ(ui::GetWindowTitle(mainWindow), "Quorvane");
  EXPECT_EQ(Inline(R"({"id":3,"type":"getPluginDeveloperMode"})"), R"({"data":{"enabled":false},"id":3})");

  // On: no reply here; the consent handler on the main window gets the record with the id.
  dispatch->HandleMessage(R"({"id":{"n":4},"type":"setPluginDeveloperMode","payload":{"enabled":true}})");
  EXPECT_TRUE(outlet.Take().empty());
  RunPosted();
  ASSERT_EQ(consentIds.size(), 1u);
  EXPECT_EQ(consentIds[0], json({{"n", 4}}));
  EXPECT_FALSE(dispatch->developerMode());
}

TEST_F(RpcTest, DeveloperModeOnWithoutAWindowAnswersAtOnce) {
  ui::DestroyWindow(mainWindow);
  EXPECT_EQ(Inline(R"({"id":5,"type":"setPluginDeveloperMode","payload":{"enabled":true}})"),
            R"({"error":"could not open developer mode consent","id":5})");
  RunPosted();
  EXPECT_TRUE(consentIds.empty());
}

}  // namespace
