#include "plugins/native_packs.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "base/bytes.h"
#include "bridge/rpc_routes.h"
#include "platform/unique_fd.h"
#include "support/temp_folder.h"

using nlohmann::json;
using namespace std::chrono_literals;

namespace {

class NativePackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetNativePacksForTesting();
    SetNativePackClockForTesting([this] { return now; });
    folder = tmp / "pack";
    std::filesystem::create_directories(folder);
    for (size_t i = 0; i < kSize; ++i) bytes.push_back(static_cast<char>(i * 7));
    std::ofstream(folder + "/session.pack.bin", std::ios::binary) << bytes;
    std::lock_guard<std::mutex> lock(NativeDecodeMutex());
    ASSERT_TRUE(RegisterNativePack(kId, folder, "com.qvn.decoder.pds", kSize));
  }
  void TearDown() override { ResetNativePacksForTesting(); }

  json Request(json payload, std::vector<uint8_t>* frame = nullptr) {
    payload["packId"] = kId;
    std::vector<uint8_t> local;
    return HandleNativePackRequest(payload, frame ? *frame : local);
  }
  json Read(const json& offset, const json& length, const json& requestId, std::vector<uint8_t>* frame = nullptr) {
    return Request({{"offset", offset}, {"length", length}, {"requestId", requestId}}, frame);
  }

  static constexpr const char* kId = "0123456789abcdef0123456789abcdef";
  static constexpr size_t kSize = 3 * 1024 * 1024;
  testsupport::TempFolder tmp{"qv-packs-"};
  std::string folder;
  std::string bytes;
  std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
};

TEST_F(NativePackTest, RangeReadsAndTheirFrame) {
  std::vector<uint8_t> frame;
  EXPECT_EQ(Read(100, 50, 9, &frame), json({{"offset", 100}, {"length", 50}, {"requestId", 9}}));
  ASSERT_EQ(frame.size(), 66u);
  EXPECT_EQ(base::ReadLe32(frame.data()), 0x51564E4Bu);
  EXPECT_EQ(base::ReadLe32(frame.data() + 4), 9u);
  EXPECT_EQ(base::ReadLe32(frame.data() + 8), 50u);
  EXPECT_EQ(base::ReadLe32(frame.data() + 12), 0u);
  EXPECT_EQ(std::string(frame.begin() + 16, frame.end()), bytes.substr(100, 50));

  EXPECT_FALSE(Read(kSize, 0, 1, &frame).contains("error"));  // empty read at the end
  EXPECT_EQ(frame.size(), 16u);
  EXPECT_FALSE(Read(0, 2097152, 1, &frame).contains("error"));
  EXPECT_EQ(frame.size(), 16u + 2097152u);
}

// The rows hand every read the same buffer: what a read leaves must be its own frame only.
TEST_F(NativePackTest, OneBufferForEveryRead) {
  std::vector<uint8_t> frame(64, 0xEE);
  ASSERT_FALSE(Read(100, 50, 9, &frame).contains("error"));
  ASSERT_EQ(frame.size(), 66u);
  EXPECT_EQ(base::ReadLe32(frame.data() + 12), 0u);
  EXPECT_EQ(std::string(frame.begin() + 16, frame.end()), bytes.substr(100, 50));

  ASSERT_FALSE(Read(0, 2097152, 2, &frame).contains("error"));
  ASSERT_FALSE(Read(7, 20, 3, &frame).contains("error"));
  ASSERT_EQ(frame.size(), 36u);
  EXPECT_EQ(base::ReadLe32(frame.data() + 4), 3u);
  EXPECT_EQ(std::string(frame.begin() + 16, frame.end()), bytes.substr(7, 20));

  EXPECT_EQ(Read(kSize, 1, 4, &frame)["error"], "native pack range rejected");
  EXPECT_TRUE(frame.empty());
  ASSERT_FALSE(Read(1, 1, 5, &frame).contains("error"));
  EXPECT_EQ(Request({{"touch", true}}, &frame), json({{"ok", true}}));
  EXPECT_TRUE(frame.empty());  // a touch sends no frame, whatever the buffer held
}

TEST_F(NativePackTest, RangeRejections) {
  const json rejected = {{"ok", false}, {"error", "native pack range rejected"}};
  struct Case {
    json offset, length, requestId;
  } cases[] = {
      {0, 2097153, 1},      {kSize - 10, 11, 1}, {kSize + 1, 0, 1}, {0, 1, 0},  {1.5, 1, 1},
      {0, "1", 1},          {0, 1, -1},          {-1, 1, 1},        {0, -1, 1}, {0, 1, 4294967297ull},
      {nullptr, 1, 1},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> frame;
    EXPECT_EQ(Read(c.offset, c.length, c.requestId, &frame), rejected)
        << c.offset << " " << c.length << " " << c.requestId;
    EXPECT_TRUE(frame.empty());
  }
  EXPECT_EQ(Request({{"length", 1}, {"requestId", 1}}), rejected);
}

TEST_F(NativePackTest, TouchCloseAndIdlePurge) {
  const json expired = {{"ok", false}, {"error", "native pack is closed or expired"}};
  EXPECT_EQ(Request({{"touch", true}, {"close", true}}), json({{"ok", true}}));  // touch wins
  // Touched every 1000 s, it stays.
  for (int i = 0; i < 3; ++i) {
    now += 1000s;
    EXPECT_EQ(Request({{"touch", true}}), json({{"ok", true}}));
  }
  now += 1801s;
  EXPECT_EQ(Request({{"touch", true}}), expired);
  EXPECT_FALSE(std::filesystem::exists(folder));

  std::filesystem::create_directories(folder);
  {
    std::lock_guard<std::mutex> lock(NativeDecodeMutex());
    ASSERT_TRUE(RegisterNativePack(kId, folder, "p", kSize));
  }
  EXPECT_EQ(Request({{"close", true}}), json({{"ok", true}}));
  EXPECT_FALSE(std::filesystem::exists(folder));
  EXPECT_EQ(Request({{"close", true}}), expired);
  EXPECT_EQ(HandleNativePackRequest({{"packId", 5}}, *std::make_unique<std::vector<uint8_t>>()), expired);
}

TEST_F(NativePackTest, MissingOrShortFile) {
  std::filesystem::remove(folder + "/session.pack.bin");
  EXPECT_EQ(Read(0, 1, 1), json({{"ok", false}, {"error", "native pack file unavailable"}}));
  EXPECT_EQ(Request({{"touch", true}}), json({{"ok", true}}));  // no error removes the pack
  // A failed open is tried again by the next read; a file shorter than its pack fails the read.
  std::ofstream(folder + "/session.pack.bin", std::ios::binary) << bytes.substr(0, 10);
  std::vector<uint8_t> frame;
  EXPECT_EQ(Read(0, 100, 1, &frame), json({{"ok", false}, {"error", "native pack range read failed"}}));
  EXPECT_TRUE(frame.empty());
  EXPECT_FALSE(Read(0, 10, 2, &frame).contains("error"));
  EXPECT_EQ(std::string(frame.begin() + 16, frame.end()), bytes.substr(0, 10));
}

// The file stays open for the pack's life, and a read runs without the table's lock: a close
// (and the files other threads open meanwhile, which may get a freed descriptor number) must
// never make a read in flight return bytes of another file. Each read either answers with the
// pack's own bytes or reports the pack closed; the other thread closes, re-registers and opens
// decoy files of other bytes the whole time.
TEST_F(NativePackTest, ReadsRacingCloseAndReopen) {
  const std::string decoy(kSize, 'Z');
  std::ofstream(tmp / "decoy.bin", std::ios::binary) << decoy;
  std::atomic<bool> done{false};
  std::thread closer([&] {
    for (int i = 0; i < 300; ++i) {
      HandleNativePackRequest({{"packId", kId}, {"close", true}}, *std::make_unique<std::vector<uint8_t>>());
      std::filesystem::create_directories(folder);
      std::ofstream(folder + "/session.pack.bin", std::ios::binary) << bytes;
      platform::UniqueFd other(open((tmp / "decoy.bin").c_str(), O_RDONLY | O_CLOEXEC));
      std::lock_guard<std::mutex> lock(NativeDecodeMutex());
      RegisterNativePack(kId, folder, "p", kSize);
    }
    done = true;
  });
  int good = 0;
  std::vector<uint8_t> frame;
  for (uint32_t requestId = 1; !done; ++requestId) {
    const uint64_t offset = (requestId * 65536ull) % (kSize - 65536);
    const json reply = Read(offset, 65536, requestId, &frame);
    if (reply.contains("error")) {
      // Closed, not yet written again, or written only in part between the close and the check.
      EXPECT_TRUE(frame.empty());
      continue;
    }
    ASSERT_EQ(frame.size(), 16u + 65536u);
    ASSERT_EQ(std::string(frame.begin() + 16, frame.end()), bytes.substr(offset, 65536)) << requestId;
    ++good;
  }
  closer.join();
  EXPECT_GT(good, 0);
}

TEST_F(NativePackTest, RegistrationLimits) {
  std::lock_guard<std::mutex> lock(NativeDecodeMutex());
  EXPECT_FALSE(RegisterNativePack("ABCDEF0123456789abcdef0123456789", folder, "p", kSize));
  EXPECT_FALSE(RegisterNativePack("0123", folder, "p", kSize));
  EXPECT_FALSE(RegisterNativePack(std::string(32, 'b'), folder, "p", 95));
  EXPECT_FALSE(RegisterNativePack(std::string(32, 'b'), folder, "p", kMaxNativePackBytes + 1));
  for (int i = 1; i < 32; ++i) {
    char id[33];
    snprintf(id, sizeof id, "%032x", i);
    EXPECT_TRUE(RegisterNativePack(id, tmp / id, "p", 96)) << i;
  }
  EXPECT_FALSE(RegisterNativePack(std::string(32, 'f'), folder, "p", 96));  // 33rd
}

}  // namespace

namespace {

TEST_F(NativePackTest, RowsAnswerTextThenFrame) {
  std::vector<std::string> sent;
  auto outlet = std::make_shared<RpcOutlet>(RpcOutlet::Target{
      [&](const std::string& text) {
        sent.push_back(text);
        return true;
      },
      [&](const uint8_t* b, size_t n) {
        sent.push_back("<frame " + std::to_string(n) + " " + std::string(reinterpret_cast<const char*>(b), 4) + ">");
        return true;
      },
      [] { return uint64_t{1}; }});
  RpcRouteTable routes;
  plugins::RegisterNativePackRows(routes);
  auto call = [&](const char* type, json payload) {
    json id = 7;
    std::string t = type;
    payload["packId"] = kId;
    (*routes.Find(type))(RpcRequest{id, t, payload, outlet});
  };
  // A read carrying a stray "close" stays a read.
  call("readNativePluginPack", {{"offset", 0}, {"length", 4}, {"requestId", 3}, {"close", true}});
  call("touchNativePluginPack", json::object());
  call("closeNativePluginPack", json::object());
  call("readNativePluginPack", {{"offset", 0}, {"length", 4}, {"requestId", 3}});
  EXPECT_EQ(sent, (std::vector<std::string>{
                      R"({"data":{"length":4,"offset":0,"requestId":3},"id":7})", "<frame 20 KNVQ>",
                      R"({"data":{"ok":true},"id":7})", R"({"data":{"ok":true},"id":7})",
                      R"({"error":"native pack is closed or expired","id":7})"}));
}

}  // namespace
