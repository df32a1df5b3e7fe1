#include "media/blob_byte_stream.h"

#include <gtest/gtest.h>

#include "media/player.h"
#include "media_test_support.h"

using media::BlobByteStream;

namespace {

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
  return s;
}

BlobByteStream::Options Quick() {
  BlobByteStream::Options options;
  options.timeout = std::chrono::milliseconds(200);
  return options;
}

}  // namespace

// What each read asks the page for, and what comes from the one-chunk cache.
TEST(BlobByteStreamTest, RequestSizesAndTheCache) {
  mediatest::FakePage page;
  page.blob = Pattern(10u << 20);
  BlobByteStream stream(page.outlet, page.router, 5, page.blob.size(), Quick());
  std::vector<uint8_t> buffer(3u << 20);
  struct Step {
    uint64_t offset;
    uint32_t want;
    uint32_t got;
    int newRequests;
    uint64_t askedLength;  // of the new request
  } steps[] = {
      {0, 4096, 4096, 1, 524288},                       // small read: at least 512 KiB
      {4096, 4096, 4096, 0, 0},                         // from the cache
      {520000, 4288, 4288, 0, 0},                       // the cache's last bytes
      {1u << 20, 1u << 20, 1u << 20, 1, 1u << 20},      // a larger read asks for itself
      {(10u << 20) - 100, 4096, 100, 1, 100},           // never past the end
      {2u << 20, 3u << 20, 2u << 20, 1, 2u << 20},      // no more than the router accepts
      {10u << 20, 4096, 0, 0, 0},                       // at the end
  };
  size_t seen = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.offset);
    EXPECT_EQ(stream.ReadAt(buffer.data(), s.want, s.offset), s.got);
    EXPECT_EQ(std::memcmp(buffer.data(), page.blob.data() + s.offset, s.got), 0);
    const auto requests = page.ChunkRequests();
    ASSERT_EQ(requests.size(), seen + s.newRequests);
    if (s.newRequests) {
      const auto& r = requests.back();
      EXPECT_EQ(r["length"], s.askedLength);
      EXPECT_EQ(r["offset"], s.offset);
      EXPECT_EQ(r["playerID"], 5);
      EXPECT_FALSE(r.contains("blobId"));
    }
    seen = requests.size();
  }
}

// Read advances the position by what it read; Seek clamps, SetPosition does not.
TEST(BlobByteStreamTest, PositionSeekAndEnd) {
  mediatest::FakePage page;
  page.blob = Pattern(1000);
  BlobByteStream stream(page.outlet, page.router, 9, page.blob.size(), Quick());
  uint8_t buffer[600];
  EXPECT_EQ(stream.Read(buffer, 600), 600u);
  EXPECT_EQ(stream.Position(), 600u);
  EXPECT_EQ(stream.Read(buffer, 600), 400u);
  EXPECT_TRUE(stream.IsEndOfStream());
  struct Case {
    BlobByteStream::Origin origin;
    uint64_t from;
    int64_t offset;
    uint64_t expected;
  } cases[] = {
      {BlobByteStream::Origin::Begin, 500, -5, 0},     {BlobByteStream::Origin::Current, 500, -501, 0},
      {BlobByteStream::Origin::Current, 500, 100, 600}, {BlobByteStream::Origin::Begin, 0, 1001, 1000},
      {BlobByteStream::Origin::Current, 999, INT64_MAX, 1000}, {BlobByteStream::Origin::Current, 10, INT64_MIN, 0},
  };
  for (const Case& c : cases) {
    stream.SetPosition(c.from);
    EXPECT_EQ(stream.Seek(c.origin, c.offset), c.expected);
    EXPECT_EQ(stream.Position(), c.expected);
  }
  stream.SetPosition(5000);
  EXPECT_EQ(stream.Position(), 5000u);
  EXPECT_TRUE(stream.IsEndOfStream());
  EXPECT_EQ(stream.Read(buffer, 10), 0u);
}

// A page that does not answer (or answers empty) costs the read its deadline and yields 0; the
// stream stays usable. Abort ends a wait at once.
TEST(BlobByteStreamTest, MissingAnswersAndAbort) {
  mediatest::FakePage page;
  page.blob = Pattern(2u << 20);  // more than one cached chunk
  page.answerChunks = false;
  BlobByteStream stream(page.outlet, page.router, 3, page.blob.size(), Quick());
  uint8_t buffer[100];
  EXPECT_EQ(stream.ReadAt(buffer, 100, 0), 0u);
  page.answerChunks = true;
  EXPECT_EQ(stream.ReadAt(buffer, 100, 0), 100u);
  // While opening, the first unanswered read ends the later ones at once, even when the page
  // would answer them; after the open the stream asks the page again.
  page.answerChunks = false;
  stream.SetOpening(true);
  EXPECT_EQ(stream.ReadAt(buffer, 100, 1u << 20), 0u);
  page.answerChunks = true;
  const size_t asked = page.ChunkRequests().size();
  EXPECT_EQ(stream.ReadAt(buffer, 100, 3u << 19), 0u);
  EXPECT_EQ(page.ChunkRequests().size(), asked);
  stream.SetOpening(false);
  EXPECT_EQ(stream.ReadAt(buffer, 100, 3u << 19), 100u);

  mediatest::FakePage silent;
  silent.answerChunks = false;
  BlobByteStream::Options forever;
  forever.timeout = std::chrono::hours(1);
  BlobByteStream waiting(silent.outlet, silent.router, 4, 4096, forever);
  std::thread aborter([&] {
    silent.WaitFor([&] { return !silent.texts.empty(); });
    waiting.Abort();
  });
  EXPECT_EQ(waiting.ReadAt(buffer, 100, 0), 0u);
  aborter.join();
}

// A blob player whose page never answers fails its open after one wait: the demuxer's retries
// of the opening read ask the page nothing more.
TEST(BlobByteStreamTest, SilentPageCostsThePlayerOpenOneWait) {
  mediatest::FakePage page;
  page.answerChunks = false;
  media::NativePlayerOptions options;
  options.blob = Quick();
  media::NativePlayer player(page.outlet, page.router, 21, options);
  EXPECT_FALSE(player.Create("qvn-blob://silent", 10 << 20, 0, 0, nullptr));
  EXPECT_EQ(page.ChunkRequests().size(), 1u);
}

// A late answer meant for an earlier player of the same id never satisfies the new one's read:
// request ids are never reused across streams.
TEST(BlobByteStreamTest, LateChunkForAReplacedPlayerIsIgnored) {
  mediatest::FakePage page;
  page.blob = Pattern(4096);
  auto first = std::make_unique<BlobByteStream>(page.outlet, page.router, 7, page.blob.size(), Quick());
  uint8_t buffer[64];
  ASSERT_EQ(first->ReadAt(buffer, 64, 0), 64u);
  const uint32_t oldReqId = page.ChunkRequests().back()["reqId"];
  first.reset();

  const std::string wrong(4096, 'X');
  page.beforeAnswer = [&](const nlohmann::json&) {
    page.router->Deliver(7, oldReqId, reinterpret_cast<const uint8_t*>(wrong.data()), wrong.size());
  };
  BlobByteStream second(page.outlet, page.router, 7, page.blob.size(), Quick());
  ASSERT_EQ(second.ReadAt(buffer, 64, 0), 64u);
  EXPECT_NE(page.ChunkRequests().back()["reqId"], oldReqId);
  EXPECT_EQ(std::memcmp(buffer, page.blob.data(), 64), 0);
}
