#include "plugins/decode_input_reader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "support/temp_folder.h"

using nlohmann::json;

namespace {

// The page: answers each "readBlobChunk" from its blob, as told.
class FakePage {
 public:
  explicit FakePage(std::string blob) : blob_(std::move(blob)) {}

  RpcOutletPtr Outlet() {
    return std::make_shared<RpcOutlet>(RpcOutlet::Target{
        [this](const std::string& text) { return Answer(text); }, [](const uint8_t*, size_t) { return true; },
        [this] { return generation.load(); }});
  }

  std::shared_ptr<BlobChunkRouter> router = std::make_shared<BlobChunkRouter>();
  std::atomic<uint64_t> generation{1};
  std::atomic<bool> answer{true};
  std::atomic<int> shortBy{0};
  std::vector<json> requests;

 private:
  bool Answer(const std::string& text) {
    json r = json::parse(text);
    requests.push_back(r);
    if (!answer) return true;
    size_t offset = r["offset"].get<size_t>();
    size_t length = r["length"].get<size_t>() - static_cast<size_t>(shortBy.load());
    std::string bytes = blob_.substr(std::min(offset, blob_.size()), length);
    router->Deliver(r["playerID"].get<uint32_t>(), r["reqId"].get<uint32_t>(),
                    reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return true;
  }
  std::string blob_;
};

json Payload(const json& size, const json& blobId = "blob-1", const json& decodeId = "d1") {
  return {{"inputBlob", {{"size", size}, {"blobId", blobId}}}, {"decodeId", decodeId}};
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class InputReaderTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetConsumedInputBlobsForTesting(); }
  std::string Read(FakePage& page, const json& payload, PluginInputReaderOptions options = {},
                   std::function<bool()> cancelled = {}, std::vector<json>* progress = nullptr) {
    PluginInputReader reader = MakePluginInputReader(page.Outlet(), page.router, 1, options);
    return reader(payload, target, cancelled, [progress](const json& p) {
      if (progress) progress->push_back(p);
    });
  }
  testsupport::TempFolder tmp{"qv-input-"};
  std::string target = tmp / "spool.bin";
};

TEST_F(InputReaderTest, ReadsInMiBChunksIntoTheSpoolFile) {
  std::string blob(1048577, 'x');
  blob.back() = 'y';
  FakePage page(blob);
  EXPECT_EQ(Read(page, Payload(blob.size())), "");
  EXPECT_EQ(ReadFile(target), blob);
  ASSERT_EQ(page.requests.size(), 2u);
  EXPECT_EQ(page.requests[0]["offset"], 0);
  EXPECT_EQ(page.requests[0]["length"], 1048576);
  EXPECT_EQ(page.requests[0]["reqId"], 1);
  EXPECT_GE(page.requests[0]["playerID"].get<uint64_t>(), 0x80000000u);
  EXPECT_EQ(page.requests[1]["offset"], 1048576);
  EXPECT_EQ(page.requests[1]["length"], 1);
  EXPECT_EQ(page.requests[1]["reqId"], 2);
  EXPECT_EQ(page.requests[0].dump().substr(0, 30), R"({"blobId":"blob-1","decodeId":)");
}

TEST_F(InputReaderTest, PayloadChecks) {
  struct Case {
    json payload;
    const char* error;
  } cases[] = {
      {json::object(), "invalid input blob"},
      {{{"inputBlob", "x"}}, "invalid input blob"},
      {{{"inputBlob", {{"blobId", "b"}}}}, "invalid input blob"},
      {Payload(-1), "invalid input blob"},
      {Payload(10.0), "invalid input blob"},
      {Payload("10"), "invalid input blob"},
      {Payload(10, 5), "invalid input blob"},
      {{{"inputBlob", {{"size", 10}}}}, "invalid input blob"},
      {Payload(0), "selected input must be between 1 byte and 8 GiB"},
      {Payload((8ull << 30) + 1), "selected input must be between 1 byte and 8 GiB"},
      {Payload(10, ""), "invalid input blob"},
      {Payload(10, std::string(129, 'b')), "invalid input blob"},
      {Payload(10, "b", ""), "invalid input blob"},
      {Payload(10, "b", 7), "invalid input blob"},
  };
  FakePage page("0123456789");
  for (const Case& c : cases) EXPECT_EQ(Read(page, c.payload), c.error) << c.payload.dump();
  EXPECT_TRUE(page.requests.empty());
  // The largest size passes the checks; this page then answers short.
  page.shortBy = 1;
  EXPECT_EQ(Read(page, Payload(8ull << 30, std::string(128, 'b'))), "input stream length mismatch or timeout");
}

TEST_F(InputReaderTest, EachBlobOncePerPageConnection) {
  FakePage page("abc");
  EXPECT_EQ(Read(page, Payload(3)), "");
  EXPECT_EQ(Read(page, Payload(3)), "input blob already consumed");
  // The page reconnected: a reader of the new generation may read it again.
  page.generation = 2;
  PluginInputReader reader = MakePluginInputReader(page.Outlet(), page.router, 2);
  EXPECT_EQ(reader(Payload(3), target, {}, {}), "");
  // A reader made for the old connection finds the page gone.
  EXPECT_EQ(Read(page, Payload(3, "other")), "input page disconnected");
}

TEST_F(InputReaderTest, FailuresLeaveNoSpoolFile) {
  FakePage page(std::string(100, 'z'));
  page.shortBy = 1;
  EXPECT_EQ(Read(page, Payload(100)), "input stream length mismatch or timeout");
  EXPECT_FALSE(std::filesystem::exists(target));

  FakePage silent("abc");
  silent.answer = false;
  PluginInputReaderOptions quick;
  quick.chunkTimeout = std::chrono::milliseconds(100);
  EXPECT_EQ(Read(silent, Payload(3, "b2"), quick), "input stream length mismatch or timeout");
  EXPECT_FALSE(std::filesystem::exists(target));

  std::atomic<bool> cancel{false};
  silent.answer = false;
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    cancel = true;
  });
  EXPECT_EQ(Read(silent, Payload(3, "b3"), {}, [&] { return cancel.load(); }), "decoder cancelled");
  canceller.join();
  EXPECT_FALSE(std::filesystem::exists(target));

  FakePage fine("abc");
  target = tmp / "no/such/folder/spool.bin";
  EXPECT_EQ(Read(fine, Payload(3, "b4")), "could not spool selected input");
}

TEST_F(InputReaderTest, TransferProgressIsThinnedAndEndsAtThreeTenths) {
  FakePage page(std::string(100 * 1024, 'p'));
  PluginInputReaderOptions small;
  small.chunkBytes = 1024;  // 100 fast chunks
  std::vector<json> progress;
  EXPECT_EQ(Read(page, Payload(100 * 1024), small, {}, &progress), "");
  ASSERT_GE(progress.size(), 2u);
  EXPECT_EQ(progress.front(), json({{"phase", "transfer"}, {"ratio", 0}}));
  EXPECT_LT(progress.size(), 60u);
  EXPECT_DOUBLE_EQ(progress.back()["ratio"].get<double>(), 0.3);
  EXPECT_EQ(page.requests.size(), 100u);
}

}  // namespace
