#include "bridge/blob_chunk_router.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

std::vector<uint8_t> Bytes(size_t n, uint8_t fill) { return std::vector<uint8_t>(n, fill); }

bool Filled(const std::shared_ptr<BlobChunkRouter::Pending>& p) {
  std::lock_guard<std::mutex> lock(p->mutex);
  return p->filled;
}

TEST(BlobChunkRouter, FirstDeliveryWinsAndLateRepliesAreIgnored) {
  BlobChunkRouter router;
  auto pending = router.Register(7, 1);
  auto first = Bytes(3, 0xAA), second = Bytes(5, 0xBB);
  router.Deliver(7, 1, first.data(), first.size());
  router.Deliver(7, 1, second.data(), second.size());
  EXPECT_TRUE(Filled(pending));
  EXPECT_EQ(pending->data, first);

  // After the reader gave up the key is gone: a late reply reaches nobody, not even a
  // later registration with another request id.
  router.Cancel(7, 1);
  auto next = router.Register(7, 2);
  router.Deliver(7, 1, second.data(), second.size());
  EXPECT_FALSE(Filled(next));
}

TEST(BlobChunkRouter, ChunkSizeLimits) {
  struct Case {
    size_t size;
    bool accepted;
  } cases[] = {{0, true}, {BlobChunkRouter::kMaxChunkBytes, true},
               {BlobChunkRouter::kMaxChunkBytes + 1, false}};
  for (const Case& c : cases) {
    BlobChunkRouter router;
    auto pending = router.Register(1, 1);
    auto data = Bytes(c.size, 0x11);
    router.Deliver(1, 1, data.data(), data.size());
    EXPECT_EQ(Filled(pending), c.accepted) << c.size;
    if (c.accepted) {
      EXPECT_EQ(pending->data.size(), c.size);
    }
  }
}

TEST(BlobChunkRouter, PlayerAndDecodeStreamsAreKeptApart) {
  BlobChunkRouter router;
  const uint32_t player = 5, decode = 0x80000005u;
  auto forPlayer = router.Register(player, 9);
  auto forDecode = router.Register(decode, 9);
  auto a = Bytes(1, 1), b = Bytes(2, 2);
  router.Deliver(decode, 9, b.data(), b.size());
  EXPECT_FALSE(Filled(forPlayer));
  router.Deliver(player, 9, a.data(), a.size());
  EXPECT_EQ(forPlayer->data, a);
  EXPECT_EQ(forDecode->data, b);
  // High stream ids must not spill into the request id half of the key.
  EXPECT_NE(BlobChunkRouter::Key(0xFFFFFFFFu, 0), BlobChunkRouter::Key(0, 0xFFFFFFFFu));
  EXPECT_EQ(BlobChunkRouter::Key(decode, 9) >> 32, decode);
}

TEST(BlobChunkRouter, WakesAWaitingReaderAndSurvivesClear) {
  BlobChunkRouter router;
  auto pending = router.Register(3, 4);
  std::thread page([&] {
    auto data = Bytes(4, 0x42);
    router.Deliver(3, 4, data.data(), data.size());
  });
  {
    std::unique_lock<std::mutex> lock(pending->mutex);
    pending->cv.wait(lock, [&] { return pending->filled; });
  }
  page.join();
  EXPECT_EQ(pending->data.size(), 4u);
  router.Clear();
  EXPECT_TRUE(Filled(pending));  // the reader's share outlives the router's entry
}

}  // namespace

// The request text, and how one fetch ends: answered, given up on a failed send, stopped, or
// timed out.
TEST(BlobChunkFetch, RequestTextAndEveryWayAFetchEnds) {
  BlobChunkRequest request;
  request.streamId = 0x80000005u;
  request.requestId = 9;
  request.offset = 1ull << 40;
  request.length = 1024;
  EXPECT_EQ(request.ToText(),
            R"({"length":1024,"offset":1099511627776,"playerID":2147483653,"reqId":9,"type":"readBlobChunk"})");
  request.blobId = "b";
  request.decodeId = "d";
  EXPECT_EQ(request.ToText(), R"({"blobId":"b","decodeId":"d","length":1024,"offset":1099511627776,)"
                              R"("playerID":2147483653,"reqId":9,"type":"readBlobChunk"})");

  auto router = std::make_shared<BlobChunkRouter>();
  const std::vector<uint8_t> chunk = Bytes(4, 0x5A);
  struct Case {
    const char* name;
    bool sendSucceeds, answer, giveUp, stop;
    bool sent, filled;
  } cases[] = {
      {"answered", true, true, false, false, true, true},
      {"send failed, give up", false, true, true, false, false, false},
      {"send failed, wait anyway", false, true, false, false, false, true},
      {"stopped", true, false, false, true, true, false},
      {"timed out", true, false, false, false, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RpcOutlet::Target target;
    target.sendText = [&](const std::string&) {
      // The entry exists before the text goes out, so an answer this fast is not lost.
      if (c.answer) router->Deliver(request.streamId, request.requestId, chunk.data(), chunk.size());
      return c.sendSucceeds;
    };
    RpcOutlet outlet(target);
    BlobChunkWait wait;
    wait.timeout = std::chrono::milliseconds(c.stop ? 60000 : 100);
    wait.giveUpWhenSendFails = c.giveUp;
    if (c.stop) wait.stop = [] { return true; };
    const BlobChunkReply reply = FetchBlobChunk(outlet, *router, request, wait);
    EXPECT_EQ(reply.sent, c.sendSucceeds);
    EXPECT_EQ(reply.filled, c.filled);
    if (c.filled) {
      EXPECT_EQ(reply.data, chunk);
    }
  }
}
