#include "app/binary_frames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

std::vector<uint8_t> Frame(const char* magic, std::vector<uint32_t> words, size_t extra) {
  std::vector<uint8_t> out(magic, magic + 4);
  for (uint32_t w : words)
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(w >> (8 * i)));
  out.resize(out.size() + extra, 0);
  return out;
}

struct Calls {
  int blobs = 0, video = 0, audio = 0;
  uint32_t lastFrames = 0, lastChannels = 0;
  BinaryFrameTargets Targets() {
    BinaryFrameTargets t;
    t.deliverBlobChunk = [this](uint32_t, uint32_t, const uint8_t*, size_t) { ++blobs; };
    t.writeVideoFrame = [this](const uint8_t*, size_t, uint32_t, uint32_t, double) { ++video; };
    t.writeAudioFrames = [this](const uint8_t*, size_t, uint32_t frames, uint32_t ch) {
      ++audio;
      lastFrames = frames;
      lastChannels = ch;
    };
    return t;
  }
};

TEST(UiBinaryHandler, FrameKindsAndSizeChecks) {
  struct Case {
    const char* name;
    std::vector<uint8_t> message;
    int blobs, video, audio;
  };
  const Case cases[] = {
      {"too short", {'B', 'N', 'V'}, 0, 0, 0},
      {"blob chunk header only", Frame("BNVQ", {7, 9}, 0), 1, 0, 0},
      {"blob chunk short", Frame("BNVQ", {7}, 3), 0, 0, 0},
      // width, height, then 8 bytes of timestamp (two words) and the pixels.
      {"video exact", Frame("FNVQ", {2, 3, 0, 0}, 2 * 3 * 4), 0, 1, 0},
      {"video one byte short", Frame("FNVQ", {2, 3, 0, 0}, 2 * 3 * 4 - 1), 0, 0, 0},
      {"video header short", Frame("FNVQ", {2, 3}, 3), 0, 0, 0},
      {"video 2^31 x 2^31 would wrap", Frame("FNVQ", {0x80000000u, 0x80000000u, 0, 0}, 0), 0, 0, 0},
      {"video 2^30 x 4 wraps to 0 in 32 bits", Frame("FNVQ", {0x40000000u, 4, 0, 0}, 0), 0, 0, 0},
      {"video zero size", Frame("FNVQ", {0, 5, 0, 0}, 0), 0, 1, 0},
      {"audio", Frame("ANVQ", {0, 2, 16}, 16), 0, 0, 1},
      {"audio byte count past the end", Frame("ANVQ", {0, 2, 17}, 16), 0, 0, 0},
      {"audio huge byte count", Frame("ANVQ", {0, 2, 4294967292u}, 8), 0, 0, 0},
      {"audio zero channels", Frame("ANVQ", {0, 0, 16}, 16), 0, 0, 0},
      {"audio header short", Frame("ANVQ", {0, 2}, 3), 0, 0, 0},
      {"unknown kind", Frame("XNVQ", {1, 2, 3}, 64), 0, 0, 0},
  };
  for (const auto& c : cases) {
    Calls calls;
    UiBinaryHandler(calls.Targets(), c.message.data(), c.message.size());
    EXPECT_EQ(calls.blobs, c.blobs) << c.name;
    EXPECT_EQ(calls.video, c.video) << c.name;
    EXPECT_EQ(calls.audio, c.audio) << c.name;
  }
}

TEST(UiBinaryHandler, PassesFieldsThrough) {
  auto blob = Frame("BNVQ", {0xFFFFFFFEu, 42}, 5);
  uint32_t gotStream = 0, gotRequest = 0;
  size_t gotLen = 0;
  BinaryFrameTargets t;
  t.deliverBlobChunk = [&](uint32_t s, uint32_t r, const uint8_t*, size_t n) { gotStream = s, gotRequest = r, gotLen = n; };
  UiBinaryHandler(t, blob.data(), blob.size());
  EXPECT_EQ(gotStream, 0xFFFFFFFEu);
  EXPECT_EQ(gotRequest, 42u);
  EXPECT_EQ(gotLen, 5u);

  auto video = Frame("FNVQ", {1, 1, 0, 0}, 4);
  const double ts = 1234.5;
  std::memcpy(video.data() + 12, &ts, sizeof ts);
  double gotTs = 0;
  size_t gotPixelBytes = 0;
  t.writeVideoFrame = [&](const uint8_t*, size_t n, uint32_t, uint32_t, double v) { gotTs = v, gotPixelBytes = n; };
  UiBinaryHandler(t, video.data(), video.size());
  EXPECT_EQ(gotTs, 1234.5);
  EXPECT_EQ(gotPixelBytes, 4u);

  Calls calls;
  auto audio = Frame("ANVQ", {0, 3, 28}, 28);  // 7 floats over 3 channels: 2 whole frames
  UiBinaryHandler(calls.Targets(), audio.data(), audio.size());
  EXPECT_EQ(calls.lastFrames, 2u);
  EXPECT_EQ(calls.lastChannels, 3u);
}

}  // namespace
