#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <chrono>
#include <random>
#include <thread>

#include "app/update/ota_check.h"
#include "app/update/ota_store.h"
#include "base/strings.h"
#include "base/version.h"
#include "bridge/identity/installation_id.h"
#include "platform/crypto.h"
#include "platform/files.h"
#include "platform/process.h"
#include "support/rpc_test_support.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string Sha256Hex(const std::string& data) {
  uint8_t d[32];
  platform::Sha256(data.data(), data.size(), d);
  return HexLower(d, 32);
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string ReadAll(const std::string& path) {
  std::string out;
  platform::ReadFile(path, &out);
  return out;
}

void WriteText(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// A "QVNPACK1" pack of one entry, index.html unless named otherwise, holding page.
std::string Pack(const std::string& page, const std::string& name = "index.html") {
  auto le = [](std::string& out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(v >> (8 * i));
  };
  const std::string mime = "text/html";
  std::string out = "QVNPACK1";
  le(out, 1, 4);  // format
  le(out, 0, 4);
  le(out, 1, 4);  // entries
  le(out, name.size(), 2);
  out += name;
  le(out, mime.size(), 2);
  out += mime;
  le(out, out.size() + 16, 8);  // the data follows the table
  le(out, page.size(), 8);
  return out + page;
}

class OtaStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dataHome_.emplace("XDG_DATA_HOME", folder_.str());
    ResetInstallationIdForTesting();
  }
  void TearDown() override { dataHome_.reset(); }

  void Stage(const std::string& bytes) { WriteText(GetOtaStagingPath(), bytes); }
  // The files of the active folder, sorted.
  std::vector<std::string> ActiveFiles() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(GetOtaActiveDir(), ec)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  // Everything in the store's root but the active folder (leftovers would show here).
  std::vector<std::string> RootExtras() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(GetOtaRoot(), ec)) {
      if (e.path().filename() != "active") names.push_back(e.path().filename());
    }
    return names;
  }

  testsupport::TempFolder folder_{"qv-ota-"};
  std::optional<testsupport::ScopedEnv> dataHome_;
};

TEST_F(OtaStoreTest, FinaliseChecksKindAndHash) {
  const std::string pack = Pack("pack bytes v2");
  const std::string hash = Sha256Hex(pack);
  struct Case {
    std::string kind, expected;
    std::string error;          // "" = ok
    bool stagingKept;           // after a failure
  } cases[] = {
      {"Overlay", hash, "", false},
      {"FULL", Upper(hash), "", false},
      {"zip", hash, "unsupported OTA kind: zip", true},
      {"", hash, "unsupported OTA kind: ", true},
      {"full", std::string(64, '0'), "sha256 mismatch: expected " + std::string(64, '0') + " got " + hash, false},
      {"full", hash.substr(1), "sha256 mismatch: expected " + hash.substr(1) + " got " + hash, false},
  };
  for (const Case& c : cases) {
    ClearOtaUpdate();
    Stage(pack);
    testing::internal::CaptureStdout();
    FinalizeResult r = FinalizeOtaUpdate(c.expected, "2.0", c.kind);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r.ok, c.error.empty()) << c.kind;
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(platform::PathExists(GetOtaStagingPath()), !r.ok && c.stagingKept) << c.kind;
    if (r.ok) {
      EXPECT_EQ(ReadOtaMetaKind(), c.kind == "Overlay" ? "overlay" : "full");
      EXPECT_EQ(ReadOtaMetaVersion(), "2.0");
      EXPECT_EQ(log, "[ota] Finalize OK: version=2.0 kind=" + ReadOtaMetaKind() + " sha256=" + hash + "\n");
    } else {
      EXPECT_TRUE(ActiveFiles().empty());  // a failed finalise never makes anything active
      EXPECT_EQ(log, c.error.rfind("sha256", 0) == 0 ? "[ota] Finalize FAILED: " + c.error + "\n" : "");
    }
    EXPECT_TRUE(RootExtras().empty() || RootExtras() == std::vector<std::string>{"staging.qvnpack"});
  }
  ClearOtaUpdate();
  FinalizeResult missing = FinalizeOtaUpdate(hash, "2.0", "full");
  EXPECT_EQ(missing.error, "failed to hash staged file (missing or unreadable)");
}

// What the asset loader could not serve never replaces the active pack, however well its hash
// matches.
TEST_F(OtaStoreTest, FinaliseTakesOnlyPacksTheLoaderCanUse) {
  const std::string good = Pack("the active page");
  Stage(good);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(FinalizeOtaUpdate(Sha256Hex(good), "1.0", "full").ok);
  testing::internal::GetCapturedStdout();
  const std::string truncated = Pack("cut short").substr(0, Pack("cut short").size() - 1);
  struct Case {
    const char* name;
    std::string bytes, kind;
    bool ok;
  } cases[] = {
      {"not a pack", std::string(4096, 'x'), "full", false},
      {"not a pack as overlay", std::string(4096, 'x'), "overlay", false},
      {"truncated", truncated, "full", false},
      {"truncated overlay", truncated, "Overlay", false},
      {"header alone", Pack("").substr(0, 20), "overlay", false},
      {"full pack without the start page", Pack("a", "app.js"), "full", false},
      {"overlay without the start page", Pack("a", "app.js"), "overlay", true},
  };
  for (const Case& c : cases) {
    Stage(c.bytes);
    testing::internal::CaptureStdout();
    FinalizeResult r = FinalizeOtaUpdate(Sha256Hex(c.bytes), "2.0", c.kind);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r.ok, c.ok) << c.name << ": " << r.error;
    EXPECT_FALSE(platform::PathExists(GetOtaStagingPath())) << c.name;
    EXPECT_TRUE(RootExtras().empty()) << c.name;
    if (c.ok) {
      EXPECT_EQ(ReadOtaMetaVersion(), "2.0") << c.name;
      Stage(good);
      testing::internal::CaptureStdout();
      ASSERT_TRUE(FinalizeOtaUpdate(Sha256Hex(good), "1.0", "full").ok);
      testing::internal::GetCapturedStdout();
      continue;
    }
    const std::string kind = c.kind == "Overlay" ? "overlay" : c.kind;
    EXPECT_EQ(r.error, "staged file is not a usable " + kind + " pack") << c.name;
    EXPECT_EQ(log, "[ota] Finalize FAILED: " + r.error + "\n") << c.name;
    // The store is as it was.
    EXPECT_EQ(ActiveFiles(), (std::vector<std::string>{"meta.json", "web.pack"})) << c.name;
    EXPECT_EQ(ReadAll(GetOtaWebPackPath()), good) << c.name;
    EXPECT_EQ(ReadOtaMetaVersion(), "1.0") << c.name;
  }
}

TEST_F(OtaStoreTest, FullAndOverlayReplaceEachOtherWithTheirMeta) {
  const std::string kinds[] = {"full", "overlay", "full"};
  int n = 0;
  for (const std::string& kind : kinds) {
    std::string pack = Pack("pack " + std::to_string(++n));
    Stage(pack);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(FinalizeOtaUpdate(Sha256Hex(pack), "3." + std::to_string(n), kind).ok);
    testing::internal::GetCapturedStdout();
    std::string file = kind == "full" ? "web.pack" : "ota.pack";
    EXPECT_EQ(ActiveFiles(), (std::vector<std::string>{"meta.json", file}));  // the other pack is gone
    EXPECT_EQ(ReadAll(GetOtaActiveDir() + "/" + file), pack);
    EXPECT_EQ(ReadAll(GetOtaMetaPath()), "{\n  \"kind\": \"" + kind + "\",\n  \"sha256\": \"" + Sha256Hex(pack) +
                                             "\",\n  \"version\": \"3." + std::to_string(n) + "\"\n}");
    EXPECT_TRUE(RootExtras().empty());
  }
}

TEST_F(OtaStoreTest, ClearRemovesTheStoreAndKeepsForeignFiles) {
  ClearOtaUpdate();  // nothing there: no failure
  Stage(Pack("p"));
  testing::internal::CaptureStdout();
  ASSERT_TRUE(FinalizeOtaUpdate(Sha256Hex(Pack("p")), "1", "full").ok);
  Stage(Pack("next"));
  ClearOtaUpdate();
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(platform::PathExists(GetOtaRoot()));

  Stage(Pack("p"));
  ASSERT_TRUE(FinalizeOtaUpdate(Sha256Hex(Pack("p")), "1", "full").ok);
  WriteText(GetOtaActiveDir() + "/notes.txt", "mine");
  testing::internal::CaptureStdout();
  ClearOtaUpdate();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[ota] Clear done\n");
  EXPECT_EQ(ActiveFiles(), std::vector<std::string>{"notes.txt"});
}

// Two finalisers of the one staging file (the page's and another request) never share it: one
// takes the file, the other finds none, and the active pack is whole.
TEST_F(OtaStoreTest, ConcurrentFinalisesOfTheStagingFileTakeItOnce) {
  const std::string pack = Pack(std::string(1 << 20, 'p'));
  for (int round = 0; round < 10; ++round) {
    Stage(pack);
    FinalizeResult a, b;
    testing::internal::CaptureStdout();
    std::thread first([&] { a = FinalizeOtaUpdate(Sha256Hex(pack), "5." + std::to_string(round), "full"); });
    std::thread second([&] { b = FinalizeOtaUpdate(Sha256Hex(pack), "5." + std::to_string(round), "overlay"); });
    first.join();
    second.join();
    testing::internal::GetCapturedStdout();
    ASSERT_NE(a.ok, b.ok) << a.error << " / " << b.error;
    EXPECT_EQ((a.ok ? b : a).error, "failed to hash staged file (missing or unreadable)");
    std::string kind = ReadOtaMetaKind();
    EXPECT_EQ(kind, a.ok ? "full" : "overlay");
    EXPECT_EQ(ReadAll(GetOtaActiveDir() + (kind == "full" ? "/web.pack" : "/ota.pack")), pack);
    EXPECT_EQ(ActiveFiles().size(), 2u);
  }
}

// A finalise killed at any moment leaves the old pack with its meta or the new one with its own.
TEST_F(OtaStoreTest, KilledFinaliseLeavesAMatchingPackAndMeta) {
  const std::string oldPack = Pack(std::string(2 << 20, 'o'));
  const std::string newPack = Pack(std::string(2 << 20, 'n'));
  Stage(oldPack);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(FinalizeOtaUpdate(Sha256Hex(oldPack), "1.0", "full").ok);
  testing::internal::GetCapturedStdout();
  // How long one finalise takes here (fsync dominates), so the kills spread over all of it.
  auto finaliseInChild = [&](bool overlay) {
    pid_t pid = fork();
    if (pid == 0) {
      (void)!freopen("/dev/null", "w", stdout);
      FinalizeOtaUpdate(Sha256Hex(newPack), "2.0", overlay ? "overlay" : "full");
      _exit(0);
    }
    return pid;
  };
  auto start = std::chrono::steady_clock::now();
  Stage(newPack);
  pid_t timed = finaliseInChild(false);
  ASSERT_GT(timed, 0);
  waitpid(timed, nullptr, 0);
  const int spanUs = static_cast<int>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count() * 3 / 2);
  ASSERT_EQ(ReadOtaMetaVersion(), "2.0");
  Stage(oldPack);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(FinalizeOtaUpdate(Sha256Hex(oldPack), "1.0", "full").ok);
  testing::internal::GetCapturedStdout();

  std::mt19937 rng(42);
  int sawNew = 0, sawOld = 0;
  for (int round = 0; round < 40; ++round) {
    Stage(newPack);
    const bool overlay = round % 2 == 1;
    pid_t pid = finaliseInChild(overlay);
    ASSERT_GT(pid, 0);
    usleep(std::uniform_int_distribution<int>(0, spanUs)(rng));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);

    std::string version = ReadOtaMetaVersion();
    std::string kind = ReadOtaMetaKind();
    ASSERT_TRUE(version == "1.0" || version == "2.0") << round;
    const std::string file = GetOtaActiveDir() + (kind == "overlay" ? "/ota.pack" : "/web.pack");
    std::string pack = ReadAll(file);
    EXPECT_EQ(Sha256Hex(pack), ReadOtaMetaString(GetOtaMetaPath(), "sha256")) << round;
    EXPECT_EQ(pack, version == "2.0" ? newPack : oldPack) << round;
    EXPECT_EQ(ActiveFiles().size(), 2u) << round;
    (version == "2.0" ? sawNew : sawOld)++;
    // Back to the old pack for the next round.
    if (version == "2.0") {
      Stage(oldPack);
      testing::internal::CaptureStdout();
      ASSERT_TRUE(FinalizeOtaUpdate(Sha256Hex(oldPack), "1.0", "full").ok);
      testing::internal::GetCapturedStdout();
    }
  }
  std::printf("rounds ending with the new pack: %d, with the old: %d\n", sawNew, sawOld);
  // The next finalise clears what the killed ones left.
  Stage(Pack("after"));
  testing::internal::CaptureStdout();
  ASSERT_TRUE(FinalizeOtaUpdate(Sha256Hex(Pack("after")), "3.0", "full").ok);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(RootExtras().empty());
}

// The page's route, through the rows the subsystem registers.
class OtaRowsTest : public OtaStoreTest {
 protected:
  std::vector<std::string> Call(const std::string& type, const json& payload, size_t replies = 1) {
    RpcRouteTable routes;
    RegisterOtaRows(routes);
    json id = ++n_;
    RpcOutletPtr outlet = catcher_.Make();
    RpcRequest r{id, type, payload, outlet};
    testing::internal::CaptureStdout();
    (*routes.Find(type))(r);
    std::vector<std::string> got = catcher_.WaitFor(replies);
    testing::internal::GetCapturedStdout();
    return got;
  }
  CapturingOutlet catcher_;
  int n_ = 0;
};

TEST_F(OtaRowsTest, PageRequests) {
  std::string staging = GetOtaStagingPath();
  std::vector<std::string> got = Call("getOtaStagingPath", json::object());
  EXPECT_EQ(got, std::vector<std::string>{MakeRpcReply(n_, "data", {{"path", staging}})});
  EXPECT_TRUE(fs::is_directory(GetOtaRoot()));  // the page can write the file now

  struct Case {
    json payload;
    std::string reply;  // error text, or "" for success
  } cases[] = {
      {json::object(), "sha256 and version are required"},
      {{{"sha256", "ab"}}, "sha256 and version are required"},
      {{{"version", "1"}, {"sha256", ""}}, "sha256 and version are required"},
      {{{"version", 1}, {"sha256", "ab"}}, "invalid parameter type: version"},
      {{{"version", "1"}, {"sha256", "ab"}, {"kind", false}}, "invalid parameter type: kind"},
      {{{"version", "1"}, {"sha256", "ab"}}, "failed to hash staged file (missing or unreadable)"},
      {{{"version", "1"}, {"sha256", Sha256Hex(Pack("page pack"))}, {"kind", "delta"}}, "unsupported OTA kind: delta"},
      {{{"version", "1"}, {"sha256", Sha256Hex(Pack("page pack"))}}, ""},  // kind defaults to full
  };
  for (const Case& c : cases) {
    Stage(Pack("page pack"));
    if (c.payload.value("sha256", "") == "ab") fs::remove(GetOtaStagingPath());
    std::vector<std::string> got = Call("finalizeOtaUpdate", c.payload);
    std::string want = c.reply.empty() ? MakeRpcReply(n_, "data", {{"success", true}}) : MakeRpcReply(n_, "error", c.reply);
    EXPECT_EQ(got, std::vector<std::string>{want}) << c.payload.dump();
  }
  EXPECT_EQ(ReadOtaMetaKind(), "full");
  got = Call("clearOtaUpdate", json::object());
  EXPECT_EQ(got, std::vector<std::string>{MakeRpcReply(n_, "data", {{"success", true}})});
  EXPECT_FALSE(platform::PathExists(GetOtaRoot()));
  got = Call("clearOtaUpdate", json::object());
  EXPECT_EQ(got, std::vector<std::string>{MakeRpcReply(n_, "data", {{"success", true}})});
}

TEST(OtaUrlTest, DownloadPathsResolveOnlyToHttps) {
  const std::string base = "https://u.example.invalid:8443";
  struct Case {
    std::string path, url;
  } cases[] = {
      {"packs/v2.qvnpack", base + "/api/v1/win/packs/v2.qvnpack"},
      {"/cdn/v2.qvnpack?x=1", base + "/cdn/v2.qvnpack?x=1"},
      {"https://cdn.example.invalid/p", "https://cdn.example.invalid/p"},
      {"HTTPS://cdn.example.invalid/p", "https://cdn.example.invalid/p"},
      {"../packs/v2.qvnpack", base + "/api/v1/packs/v2.qvnpack"},
      {"./a/../b/./v2.qvnpack", base + "/api/v1/win/b/v2.qvnpack"},
      {"/../../x", base + "/x"},
      {"?x=1", base + "/api/v1/win/?x=1"},
      {"packs/a%20b", base + "/api/v1/win/packs/a%20b"},
      {"//cdn.example.invalid/p", "https://cdn.example.invalid/p"},
      {"http://cdn.example.invalid/p", ""},
      {"ftp://cdn.example.invalid/p", ""},
      {"file:///etc/passwd", ""},
      {"", ""},
      {"a b", ""},
      {"a\\b", ""},
      {"p\r\nX-Injected: 1", ""},
      {std::string(4097, 'a'), ""},
  };
  for (const Case& c : cases) EXPECT_EQ(MakeDownloadUrl(c.path, base), c.url) << c.path;

  EXPECT_EQ(MakeManifestUrl(base, "1.2.3.4", "0123456789abcdef"),
            base + "/api/v1/win/manifest?native=1.2.3.4&installId=0123456789abcdef");
  EXPECT_EQ(MakeManifestUrl(base, "1", "short"), base + "/api/v1/win/manifest?native=1");
  EXPECT_EQ(MakeManifestUrl(base, "1", "0123456789abcdef&x=1"), base + "/api/v1/win/manifest?native=1");
}

// A throw-away CA, a server certificate for 127.0.0.1 signed by it, and a second CA that
// signed nothing; made with the openssl command line once for the suite.
struct TestPki {
  testsupport::TempFolder folder{"qv-ota-pki-"};
  std::string ca, otherCa, cert, key;
  bool ok = false;

  TestPki() {
    std::string d = folder.str();
    ca = d + "/ca.pem";
    otherCa = d + "/other-ca.pem";
    cert = d + "/server.pem";
    key = d + "/server.key";
    WriteText(d + "/ext.cnf", "subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n");
    std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
    std::string cmd =
        "cd " + d + " && openssl req -x509" + ec + " -subj /CN=qv-test-ca -days 1 -keyout ca.key -out ca.pem" +
        " && openssl req -x509" + ec + " -subj /CN=qv-other-ca -days 1 -keyout other.key -out other-ca.pem" +
        " && openssl req -new" + ec + " -subj /CN=127.0.0.1 -keyout server.key -out server.csr" +
        " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 1" +
        " -extfile ext.cnf -out server.pem";
    ok = std::system((cmd + " >/dev/null 2>&1").c_str()) == 0;
  }
};

class OtaCheckTest : public OtaStoreTest {
 protected:
  static void SetUpTestSuite() {
    pki_ = new TestPki;
    ASSERT_TRUE(pki_->ok);
    routes_ = pki_->folder / "routes.json";
    requests_ = pki_->folder / "requests.log";
    WriteText(routes_, "{}");
    platform::process::SpawnOptions o;
    o.argv = {"/usr/bin/python3", std::string(QV_TEST_FIXTURES) + "/../app/ota/update_server.py", pki_->cert,
              pki_->key, routes_, requests_};
    o.env = platform::process::CurrentEnvironment();
    o.stdoutMode = platform::process::Stream::Pipe;
    auto spawned = platform::process::Spawn(o);
    ASSERT_TRUE(spawned.child) << spawned.what;
    server_ = spawned.child.release();
    // The first line is the port; a server that fails ends the pipe instead.
    std::string line;
    char c;
    while (read(server_->stdoutRead().get(), &c, 1) == 1 && c != '\n') line += c;
    port_ = std::atoi(line.c_str());
    ASSERT_GT(port_, 0) << "update server did not start";
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
    delete pki_;
    pki_ = nullptr;
  }
  void SetUp() override {
    OtaStoreTest::SetUp();
    WriteText(requests_, "");
    config_.baseUrl = "https://127.0.0.1:" + std::to_string(port_);
    config_.caFile = pki_->ca;
  }
  std::string Base() const { return config_.baseUrl; }

  void Route(const json& routes) { WriteText(routes_, routes.dump()); }
  // A server offering version 9.0 as a pack with the given bytes and descriptor members.
  json Offer(const std::string& pack, json descriptor = json::object()) {
    std::string packFile = folder_ / "offered.pack";
    WriteText(packFile, pack);
    json d = {{"downloadPath", "packs/9.qvnpack"}, {"token", "tok-123"}, {"sha256", Sha256Hex(pack)},
              {"version", "9.0"}, {"kind", "full"}};
    d.update(descriptor);
    return {{"/api/v1/win/manifest", {{"body", R"({"version":"9.0"})"}}},
            {"/api/v1/win/download", {{"body", d.dump()}}},
            {"/api/v1/win/packs/9.qvnpack", {{"bodyFile", packFile}}}};
  }
  // Runs one check; the log it wrote, and whether it asked for a reload.
  std::string Check(bool* applied = nullptr) {
    bool reloaded = false;
    testing::internal::CaptureStdout();
    OtaCheckWorker(config_, [&] { reloaded = true; });
    if (applied) *applied = reloaded;
    return testing::internal::GetCapturedStdout();
  }
  std::vector<json> Requests() const {
    std::vector<json> out;
    std::ifstream in(requests_);
    std::string line;
    while (std::getline(in, line)) out.push_back(json::parse(line));
    return out;
  }
  bool NoDownloadLeft() const {
    for (const std::string& name : RootExtras()) {
      if (name.rfind("download-", 0) == 0 || name.rfind("finalizing-", 0) == 0) return false;
    }
    return true;
  }

  static TestPki* pki_;
  static std::string routes_, requests_;
  static platform::process::Child* server_;
  static int port_;
  OtaServerConfig config_;
};
TestPki* OtaCheckTest::pki_ = nullptr;
std::string OtaCheckTest::routes_, OtaCheckTest::requests_;
platform::process::Child* OtaCheckTest::server_ = nullptr;
int OtaCheckTest::port_ = 0;

TEST_F(OtaCheckTest, NewPackIsDownloadedWithTheTokenAndApplied) {
  const std::string pack = Pack("the new web pack");
  Route(Offer(pack, {{"kind", "Overlay"}}));
  bool applied = false;
  std::string log = Check(&applied);
  EXPECT_TRUE(applied) << log;
  EXPECT_EQ(ReadOtaMetaVersion(), "9.0");
  EXPECT_EQ(ReadOtaMetaKind(), "overlay");
  EXPECT_EQ(ReadAll(GetOtaOverlayPackPath()), pack);
  EXPECT_TRUE(NoDownloadLeft());
  const std::string v = GetExeProductVersion();
  const std::string install = LoadOrCreateInstallationId();
  const std::string bundleUrl = Base() + "/api/v1/win/packs/9.qvnpack";
  std::string expected =
      "[ota-native] HTTP GET " + MakeManifestUrl(Base(), v, install) + "\n" +
      "[ota-native] HTTP response status=200\n[ota-native] HTTP complete bytes=17\n" +
      "[ota-native] version current=" + v + " (base=" + v + ") latest=9.0 (base=9.0)\n" +
      "[ota-native] HTTP GET " + Base() + "/api/v1/win/download?native=" + v + "&version=9.0&installId=" + install +
      "\n";
  EXPECT_EQ(log.substr(0, expected.size()), expected);
  EXPECT_NE(log.find("[ota-native] downloading version=9.0 kind=overlay\n[ota-native] HTTP GET " + bundleUrl +
                     "\n[ota-native] HTTP response status=200\n[ota-native] HTTP complete bytes=" +
                     std::to_string(pack.size()) + "\n[ota] Finalize OK: version=9.0 kind=overlay sha256=" +
                     Sha256Hex(pack) + "\n[ota-native] applied; requesting native WebView reload\n"),
            std::string::npos)
      << log;

  std::vector<json> requests = Requests();
  ASSERT_EQ(requests.size(), 3u);
  for (const json& r : requests) EXPECT_EQ(r["userAgent"], "Quorvane/OTA");
  EXPECT_TRUE(requests[0]["authorization"].is_null());
  EXPECT_TRUE(requests[1]["authorization"].is_null());
  EXPECT_EQ(requests[2]["authorization"], "Bearer tok-123");

  // The same version again: the store's meta now names it, so nothing is downloaded.
  log = Check(&applied);
  EXPECT_FALSE(applied);
  EXPECT_NE(log.find("[ota-native] version current=9.0 (base=9.0) latest=9.0 (base=9.0)\n"
                     "[ota-native] up to date (same or older release base)\n"),
            std::string::npos)
      << log;
}

TEST_F(OtaCheckTest, ManifestFailuresEndThePass) {
  const std::string longBody(1500, 'b');
  const std::string v = GetExeProductVersion();
  struct Case {
    json manifest;
    std::string line;
  } cases[] = {
      {{{"status", 304}}, "[ota-native] manifest failed: HTTP 304 body=\n"},
      {{{"status", 500}, {"body", longBody}}, "[ota-native] manifest failed: HTTP 500 body=" + longBody.substr(0, 1000) + "\n"},
      {{{"body", R"({"latest":"9.0"})"}}, "[ota-native] exception: "},
      {{{"body", R"({"version":9})"}}, "[ota-native] exception: "},
      {{{"body", "not json"}}, "[ota-native] exception: "},
      // A hostile server's answers cost a bounded read: a JSON answer beyond its limit ends the
      // transfer, and of an error answer only the start is read.
      {{{"bodyBytes", 600 << 20}}, "[ota-native] manifest failed: response too large\n"},
      {{{"status", 500}, {"bodyBytes", 600 << 20}},
       "[ota-native] manifest failed: HTTP 500 body=" + std::string(1000, 'x') + "\n"},
      // No meta.json: the executable's own version is the current one.
      {{{"body", R"({"version":"0.0.1"})"}},
       "[ota-native] version current=" + v + " (base=" + v + ") latest=0.0.1 (base=0.0.1)\n"
       "[ota-native] up to date (same or older release base)\n"},
  };
  for (const Case& c : cases) {
    Route({{"/api/v1/win/manifest", c.manifest}});
    bool applied = true;
    std::string log = Check(&applied);
    EXPECT_FALSE(applied);
    EXPECT_NE(log.find(c.line), std::string::npos) << log;
    EXPECT_EQ(log.find("HTTP GET " + Base() + "/api/v1/win/download"), std::string::npos) << log;
  }
}

TEST_F(OtaCheckTest, BadDownloadsNeverBecomeActive) {
  const std::string pack = Pack("bytes the server sends");
  struct Case {
    const char* name;
    json routes;
    std::string line;
  } cases[] = {
      {"wrong hash", Offer(pack, {{"sha256", std::string(64, 'a')}}),
       "[ota-native] finalize failed: sha256 mismatch: expected " + std::string(64, 'a') + " got " + Sha256Hex(pack)},
      {"http download", Offer(pack, {{"downloadPath", "http://127.0.0.1:" + std::to_string(port_) + "/p"}}),
       "[ota-native] invalid downloadPath\n"},
      {"bundle 403", [&] {
         json r = Offer(pack);
         r["/api/v1/win/packs/9.qvnpack"] = {{"status", 403}, {"body", "denied"}};
         return r;
       }(),
       "[ota-native] bundle failed: HTTP 403 body=denied\n"},
      {"redirect to http", [&] {
         json r = Offer(pack);
         r["/api/v1/win/packs/9.qvnpack"] = {{"status", 302},
                                             {"location", "http://127.0.0.1:" + std::to_string(port_) + "/plain"}};
         return r;
       }(),
       "[ota-native] bundle failed: "},
      {"oversized", [&] {
         json r = Offer(pack);
         r["/api/v1/win/packs/9.qvnpack"] = {{"bodyBytes", 3 << 20}};
         return r;
       }(),
       "[ota-native] bundle failed: response too large\n"},
      {"descriptor without token", Offer(pack, {{"token", nullptr}}), "[ota-native] exception: "},
      {"descriptor too large", [&] {
         json r = Offer(pack);
         r["/api/v1/win/download"] = {{"bodyBytes", 1 << 20}};
         return r;
       }(),
       "[ota-native] descriptor failed: response too large\n"},
      {"bundle 500 without end", [&] {
         json r = Offer(pack);
         r["/api/v1/win/packs/9.qvnpack"] = {{"status", 500}, {"bodyBytes", 600 << 20}};
         return r;
       }(),
       "[ota-native] bundle failed: HTTP 500 body=" + std::string(1000, 'x') + "\n"},
      {"bundle dripping past the deadline", [&] {
         json r = Offer(pack);
         r["/api/v1/win/packs/9.qvnpack"] = {{"bodyBytes", 1000}, {"drip", {2, 0.2}}};
         return r;
       }(),
       "[ota-native] bundle failed: Timeout was reached (curl 28)\n"},
  };
  config_.maxDownloadBytes = 1 << 20;
  config_.packDeadlineMs = 1500;
  for (const Case& c : cases) {
    Route(c.routes);
    WriteText(requests_, "");
    bool applied = true;
    std::string log = Check(&applied);
    EXPECT_FALSE(applied) << c.name;
    EXPECT_NE(log.find(c.line), std::string::npos) << c.name << "\n" << log;
    EXPECT_EQ(log.find("Finalize OK"), std::string::npos) << c.name;
    EXPECT_TRUE(ActiveFiles().empty()) << c.name;
    EXPECT_TRUE(NoDownloadLeft()) << c.name;
    // The token never went anywhere but the https bundle request.
    for (const json& r : Requests()) {
      if (r["path"] != "/api/v1/win/packs/9.qvnpack") {
        EXPECT_TRUE(r["authorization"].is_null()) << c.name;
      }
    }
  }
}

// A refused download leaves meta.json as it was, so the next check fetches the same version again.
TEST_F(OtaCheckTest, RefusedPackIsFetchedAgainByTheNextCheck) {
  Route(Offer("{\"not\": \"a pack\"}"));
  bool applied = true;
  std::string log = Check(&applied);
  EXPECT_FALSE(applied);
  EXPECT_NE(log.find("[ota-native] finalize failed: staged file is not a usable full pack\n"), std::string::npos) << log;
  EXPECT_TRUE(ActiveFiles().empty());

  const std::string good = Pack("version 9.0, whole");
  Route(Offer(good));
  log = Check(&applied);
  EXPECT_TRUE(applied) << log;
  EXPECT_EQ(ReadOtaMetaVersion(), "9.0");
  EXPECT_EQ(ReadAll(GetOtaWebPackPath()), good);
}

// Every value of a request URL is percent-encoded; what the server parses is what it was sent.
TEST_F(OtaCheckTest, QueryValuesArePercentEncoded) {
  Route({{"/api/v1/win/manifest", {{"body", R"({"version":"9.0 &x=1#y"})"}}}});
  Check();
  std::vector<json> requests = Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1]["path"], "/api/v1/win/download");
  // Hex digits in either case mean the same byte.
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
  };
  EXPECT_EQ(lower(requests[1]["query"]), "native=" + GetExeProductVersion() + "&version=9.0%20%26x%3d1%23y&installid=" +
                                             LoadOrCreateInstallationId());
}

TEST_F(OtaCheckTest, ServerOfAnotherCaIsRefused) {
  Route(Offer(Pack("p")));
  config_.caFile = pki_->otherCa;
  std::string log = Check();
  EXPECT_NE(log.find("[ota-native] manifest failed: "), std::string::npos) << log;
  EXPECT_EQ(log.find("HTTP response status"), std::string::npos) << log;
  EXPECT_TRUE(Requests().empty());
  // And an http base URL is refused before anything is sent.
  config_.caFile = pki_->ca;
  config_.baseUrl = "http://127.0.0.1:" + std::to_string(port_);
  log = Check();
  EXPECT_NE(log.find("[ota-native] manifest failed: refused: not an https URL\n"), std::string::npos) << log;
}

// The test setting's CA is trusted besides the build's own; it never makes a bad server pass.
TEST_F(OtaCheckTest, AddedCaIsTrustedBesidesTheBuildsOwn) {
  Route({{"/api/v1/win/manifest", {{"body", R"({"version":"0.0.1"})"}}}});
  struct Case {
    std::string caFile, extraCaFile;
    bool reached;
  } cases[] = {
      {pki_->otherCa, pki_->ca, true},        // added to a build that trusts only another CA
      {"", pki_->ca, true},                   // added to the system's store
      {pki_->otherCa, pki_->otherCa, false},  // nothing trusts the server's CA
      {"", pki_->otherCa, false},
      {pki_->ca, (pki_->folder / "missing.pem"), false},  // an unreadable file fails the request
  };
  for (const Case& c : cases) {
    config_.caFile = c.caFile;
    config_.extraCaFile = c.extraCaFile;
    WriteText(requests_, "");
    std::string log = Check();
    EXPECT_EQ(log.find("[ota-native] up to date") != std::string::npos, c.reached) << c.caFile << " + " << c.extraCaFile << "\n" << log;
    EXPECT_EQ(Requests().size(), c.reached ? 1u : 0u) << log;
  }
}

TEST(OtaTestSettingTest, TakesOnlyHttpsOnALoopbackHostWithAPort) {
  OtaServerConfig build;
  build.baseUrl = "https://updates.example.invalid";
  build.caFile = "/build/ca.pem";
  struct Case {
    const char* server;
    const char* ca;
    std::string baseUrl, extraCa, log;
  } cases[] = {
      {nullptr, "/t/ca.pem", build.baseUrl, "", ""},  // a CA alone changes nothing
      {"", "/t/ca.pem", build.baseUrl, "", ""},
      {"https://127.0.0.1:8443", "/t/ca.pem", "https://127.0.0.1:8443", "/t/ca.pem",
       "[ota-native] test update server https://127.0.0.1:8443 (added CA: /t/ca.pem)\n"},
      {"https://[::1]:1", nullptr, "https://[::1]:1", "", "[ota-native] test update server https://[::1]:1 (added CA: none)\n"},
      {"https://localhost:65535", "", "https://localhost:65535", "",
       "[ota-native] test update server https://localhost:65535 (added CA: none)\n"},
      {"http://127.0.0.1:8443", "/t/ca.pem", build.baseUrl, "", "ignored"},
      {"HTTP://127.0.0.1:8443", "/t/ca.pem", build.baseUrl, "", "ignored"},
      {"https://updates.example.com:443", "/t/ca.pem", build.baseUrl, "", "ignored"},
      {"https://127.0.0.1.example.com:443", "/t/ca.pem", build.baseUrl, "", "ignored"},
      {"https://localhost@evil.example:443", "/t/ca.pem", build.baseUrl, "", "ignored"},
      {"https://127.0.0.1", "/t/ca.pem", build.baseUrl, "", "ignored"},
      {"https://127.0.0.1:", "/t/ca.pem", build.baseUrl, "", "ignored"},
      {"https://127.0.0.1:0", "/t/ca.pem", build.baseUrl, "", "ignored"},
      {"https://127.0.0.1:65536", "/t/ca.pem", build.baseUrl, "", "ignored"},
      {"https://127.0.0.1:8443/path", "/t/ca.pem", build.baseUrl, "", "ignored"},
      {"https://127.0.0.1:8443#x", "/t/ca.pem", build.baseUrl, "", "ignored"},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    OtaServerConfig got = ApplyOtaTestSettings(build, c.server, c.ca);
    std::string log = testing::internal::GetCapturedStdout();
    const std::string name = c.server ? c.server : "(unset)";
    EXPECT_EQ(got.baseUrl, c.baseUrl) << name;
    EXPECT_EQ(got.caFile, build.caFile) << name;  // the build's own trust stays
    EXPECT_EQ(got.extraCaFile, c.extraCa) << name;
    if (c.log == "ignored") {
      EXPECT_EQ(log, "[ota-native] QVN_UPDATE_TEST_SERVER ignored: only https://<loopback host>:<port> is taken\n")
          << name;
    } else {
      EXPECT_EQ(log, c.log) << name;
    }
  }
}

// The test deadline only shortens, and only beside a test server that was taken.
TEST(OtaTestSettingTest, DeadlineOnlyShortensAndOnlyWithATestServer) {
  const OtaServerConfig build;
  const char* server = "https://127.0.0.1:8443";
  const std::string taken = "[ota-native] test update server https://127.0.0.1:8443 (added CA: none)\n";
  const std::string ignored = "[ota-native] QVN_UPDATE_TEST_DEADLINE ignored: only 1 to 600 seconds are taken\n";
  struct Case {
    const char* server;
    const char* deadline;
    long jsonMs, packMs;
    std::string log;
  } cases[] = {
      {server, "3", 3000, 3000, taken + "[ota-native] test update deadline 3 s\n"},
      {server, "600", build.jsonDeadlineMs, 600000, taken + "[ota-native] test update deadline 600 s\n"},
      {server, nullptr, build.jsonDeadlineMs, build.packDeadlineMs, taken},
      {server, "0", build.jsonDeadlineMs, build.packDeadlineMs, taken + ignored},
      {server, "601", build.jsonDeadlineMs, build.packDeadlineMs, taken + ignored},
      {server, "-1", build.jsonDeadlineMs, build.packDeadlineMs, taken + ignored},
      {server, "1e3", build.jsonDeadlineMs, build.packDeadlineMs, taken + ignored},
      {"https://updates.example.com:443", "3", build.jsonDeadlineMs, build.packDeadlineMs,
       "[ota-native] QVN_UPDATE_TEST_SERVER ignored: only https://<loopback host>:<port> is taken\n"},
      {nullptr, "3", build.jsonDeadlineMs, build.packDeadlineMs, ""},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    OtaServerConfig got = ApplyOtaTestSettings(build, c.server, nullptr, c.deadline);
    std::string log = testing::internal::GetCapturedStdout();
    const std::string name = std::string(c.server ? c.server : "(unset)") + " " + (c.deadline ? c.deadline : "(unset)");
    EXPECT_EQ(got.jsonDeadlineMs, c.jsonMs) << name;
    EXPECT_EQ(got.packDeadlineMs, c.packMs) << name;
    EXPECT_EQ(log, c.log) << name;
  }
}

}  // namespace
