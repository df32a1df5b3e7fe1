#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>

#include "media/native_media.h"
#include "media/player.h"
#include "media/player_frames.h"
#include "support/media_fixtures.h"
#include "media_test_support.h"
#include "support/temp_folder.h"

using media::NativePlayer;
using nlohmann::json;

namespace {

struct Rnvq {
  uint32_t magic;
  int32_t playerID, width, height;
  double time;
  uint32_t generation;
  size_t pixelBytes;
};

Rnvq ParseRnvq(const std::vector<uint8_t>& m) {
  Rnvq r{};
  if (m.size() < media::kRnvqHeaderBytes) return r;
  std::memcpy(&r.magic, m.data(), 4);
  std::memcpy(&r.playerID, m.data() + 4, 4);
  std::memcpy(&r.width, m.data() + 8, 4);
  std::memcpy(&r.height, m.data() + 12, 4);
  std::memcpy(&r.time, m.data() + 16, 8);
  std::memcpy(&r.generation, m.data() + 24, 4);
  r.pixelBytes = m.size() - media::kRnvqHeaderBytes;
  return r;
}

// One fixture video for the whole file: 160x120, 10 fps, 3 s, H.264.
class NativePlayerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    media::StartNativeMedia();
    folder_ = new testsupport::TempFolder("qv-player-");
    video_ = *folder_ / "v.mp4";
    ASSERT_TRUE(testsupport::MakeVideo(
        testsupport::TestsrcArguments(160, 120, 10, 3, "-c:v libx264 -pix_fmt yuv420p", 10), video_));
  }
  static void TearDownTestSuite() { delete folder_; }

  size_t FrameCount() {
    std::lock_guard<std::mutex> lock(page.mutex);
    return page.binaries.size();
  }
  Rnvq Frame(size_t i) {
    std::lock_guard<std::mutex> lock(page.mutex);
    return ParseRnvq(page.binaries.at(i));
  }
  bool WaitFrames(size_t n) {
    return page.WaitFor([&] { return page.binaries.size() >= n; });
  }

  static testsupport::TempFolder* folder_;
  static std::string video_;
  mediatest::FakePage page;
};
testsupport::TempFolder* NativePlayerTest::folder_ = nullptr;
std::string NativePlayerTest::video_;

}  // namespace

TEST(PlayerFramesTest, OutputSizeFollowsTheScaleRule) {
  struct Case {
    int nw, nh, ow, oh, w, h;
  } cases[] = {
      {1920, 1080, 960, 1000, 960, 540},
      {1920, 1080, 1900, 1070, 1900, 1069},  // scale 0.9896 is more than 0.01 from 1
      {1920, 1080, 1910, 1075, 1920, 1080},  // scale 0.9948 keeps the native size
      {1920, 1080, 0, 0, 1920, 1080},
      {1920, 1080, -5, 540, 960, 540},
      {1, 1000, 1, 1, 1, 1},
      {0, 10, 5, 5, 0, 0},
  };
  for (const Case& c : cases) {
    const media::ImageSize s = media::OutputImageSize(c.nw, c.nh, c.ow, c.oh);
    EXPECT_EQ(s.width, c.w) << c.ow << "x" << c.oh;
    EXPECT_EQ(s.height, c.h) << c.ow << "x" << c.oh;
  }
  // A page asking for a huge size gets no more than 64 MiB of pixels, aspect kept.
  const media::ImageSize big = media::OutputImageSize(1920, 1080, INT32_MAX, INT32_MAX);
  EXPECT_LE(uint64_t(big.width) * big.height * 4, media::kMaxFrameBytes);
  EXPECT_NEAR(double(big.width) / big.height, 16.0 / 9.0, 0.01);
}

TEST(PlayerFramesTest, Nv12ConversionValuesBoundsAndScaling) {
  // 2x2 luma, one chroma pair: black, white, and the limited-range extremes clamp.
  const uint8_t nv12[] = {16, 235, 128, 255, /*uv*/ 128, 128};
  media::Nv12Picture p{nv12, sizeof nv12, 2, 2, 2, 2};
  uint8_t rgba[16];
  ASSERT_TRUE(media::ConvertNv12ToRgbaScaled(p, rgba, 2, 2));
  const uint8_t expected[16] = {0, 0, 0, 255, 255, 255, 255, 255, 130, 130, 130, 255, 255, 255, 255, 255};
  EXPECT_EQ(std::memcmp(rgba, expected, 16), 0);
  // Red-ish chroma.
  const uint8_t red[] = {81, 81, 81, 81, 90, 240};
  p.data = red;
  ASSERT_TRUE(media::ConvertNv12ToRgbaScaled(p, rgba, 1, 1));
  EXPECT_GT(rgba[0], 240);
  EXPECT_LT(rgba[1], 20);
  // Odd sizes: the chroma of the last column sits one byte past the last luma byte, and the
  // last chroma row is half a row pair; a buffer one byte short is refused, not overread.
  media::Nv12Picture odd{nullptr, 0, 3, 3, 4, 3};
  std::vector<uint8_t> buffer(4 * 3 + 4 * 1 + 4, 100);
  odd.data = buffer.data();
  odd.size = 4 * 3 + 4 * 2;
  EXPECT_TRUE(media::Nv12PictureFits(odd));
  odd.size -= 1;
  EXPECT_FALSE(media::Nv12PictureFits(odd));
  odd.size += 1;
  odd.stride = 3;  // too narrow for the last chroma pair
  EXPECT_FALSE(media::Nv12PictureFits(odd));
  odd.stride = 4;
  std::vector<uint8_t> out(7 * 5 * 4);
  EXPECT_TRUE(media::ConvertNv12ToRgbaScaled(odd, out.data(), 7, 5));
  EXPECT_FALSE(media::ConvertNv12ToRgbaScaled(odd, out.data(), 0, 5));
}

// Every pixel, at native size and scaled, odd sizes included, against the formula itself.
TEST(PlayerFramesTest, ConversionMatchesTheFormulaEverywhere) {
  auto clamp = [](int v) { return v < 0 ? 0 : v > 255 ? 255 : v; };
  struct Case {
    int w, h, ow, oh;
  } cases[] = {{6, 4, 6, 4}, {7, 5, 7, 5}, {1, 1, 1, 1}, {7, 5, 3, 9}, {33, 3, 33, 3}};
  for (const Case& c : cases) {
    const int stride = (c.w + 1) & ~1;
    std::vector<uint8_t> nv12(static_cast<size_t>(stride) * (c.h + (c.h + 1) / 2));
    for (size_t i = 0; i < nv12.size(); ++i) nv12[i] = static_cast<uint8_t>((i * 37 + 11) & 0xFF);
    media::Nv12Picture p{nv12.data(), nv12.size(), c.w, c.h, stride, c.h};
    std::vector<uint8_t> out(static_cast<size_t>(c.ow) * c.oh * 4);
    ASSERT_TRUE(media::ConvertNv12ToRgbaScaled(p, out.data(), c.ow, c.oh));
    for (int r = 0; r < c.oh; ++r) {
      for (int col = 0; col < c.ow; ++col) {
        const int i = std::min(r * c.h / c.oh, c.h - 1), j = std::min(col * c.w / c.ow, c.w - 1);
        const int y = nv12[i * stride + j], u = nv12[(c.h + i / 2) * stride + (j / 2) * 2],
                  v = nv12[(c.h + i / 2) * stride + (j / 2) * 2 + 1];
        const int px = 298 * y;
        const uint8_t* o = &out[(static_cast<size_t>(r) * c.ow + col) * 4];
        ASSERT_EQ(o[0], clamp((px + 409 * v - 56992) >> 8)) << c.w << "x" << c.h << " " << r << "," << col;
        ASSERT_EQ(o[1], clamp((px - 100 * u - 208 * v + 34784) >> 8));
        ASSERT_EQ(o[2], clamp((px + 516 * u - 70688) >> 8));
        ASSERT_EQ(o[3], 255);
      }
    }
  }
}

TEST(PlayerFramesTest, RnvqLayout) {
  std::vector<uint8_t> m;
  uint8_t* pixels = media::PrepareRnvqFrame(m, -3, 2, 1, 1.5, 0xA0B0C0D0u);
  ASSERT_EQ(m.size(), 28u + 8u);
  EXPECT_EQ(pixels, m.data() + 28);
  const uint8_t head[] = {'R', 'N', 'V', 'Q', 0xFD, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0, 1, 0, 0, 0};
  EXPECT_EQ(std::memcmp(m.data(), head, 16), 0);
  double t;
  std::memcpy(&t, m.data() + 16, 8);
  EXPECT_EQ(t, 1.5);
  const uint8_t gen[] = {0xD0, 0xC0, 0xB0, 0xA0};
  EXPECT_EQ(std::memcmp(m.data() + 24, gen, 4), 0);
}

// Created paused, the player sends the first frame; a seek while paused sends exactly the frame
// at the target under the new generation; play streams in order; the end pauses at the duration.
TEST_F(NativePlayerTest, FirstFrameSeekPlayAndEnd) {
  auto player = std::make_shared<NativePlayer>(page.outlet, page.router, 11);
  NativePlayer::Opened opened;
  ASSERT_TRUE(player->Create(video_, 0, 80, 60, &opened)) << player->lastError();
  EXPECT_NEAR(opened.duration, 3.0, 0.1);
  EXPECT_EQ(opened.videoWidth, 160);
  ASSERT_TRUE(WaitFrames(1));
  Rnvq first = Frame(0);
  EXPECT_EQ(first.magic, media::kRnvqMagic);
  EXPECT_EQ(first.playerID, 11);
  EXPECT_EQ(first.width, 80);
  EXPECT_EQ(first.height, 60);
  EXPECT_EQ(first.pixelBytes, 80u * 60 * 4);
  EXPECT_EQ(first.time, 0.0);
  EXPECT_EQ(first.generation, 0u);

  player->Seek(1.5);
  ASSERT_TRUE(WaitFrames(2));
  EXPECT_EQ(Frame(1).generation, 1u);
  EXPECT_NEAR(Frame(1).time, 1.5, 1e-6);
  EXPECT_EQ(player->CurrentTime(), 1.5);
  // Still paused: nothing more comes (a short look; the next frame would be due at once).
  EXPECT_FALSE(page.WaitFor([&] { return page.binaries.size() > 2; }, std::chrono::milliseconds(300)));

  player->SetOutputSize(40, 0);
  player->Play();
  player->Play();  // a second Play changes nothing
  ASSERT_TRUE(WaitFrames(5));
  EXPECT_EQ(Frame(4).width, 40);
  EXPECT_EQ(Frame(4).height, 30);
  for (size_t i = 2; i < 5; ++i) EXPECT_GT(Frame(i).time, Frame(i - 1).time);
  player->SetRate(8);
  // The end: paused at the duration.
  for (int i = 0; i < 200 && player->playing(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(player->playing());
  EXPECT_EQ(player->CurrentTime(), player->duration());
  player->Close();
  const size_t sent = FrameCount();
  player->Seek(0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(FrameCount(), sent);
}

// Play on a playing player leaves its clock alone (re-anchoring it would jump back).
TEST_F(NativePlayerTest, PlayWhilePlayingKeepsTheClock) {
  NativePlayer player(page.outlet, page.router, 16);
  ASSERT_TRUE(player.Create(video_, 0, 0, 0, nullptr));
  player.Play();
  ASSERT_TRUE(WaitFrames(4));
  const double before = player.CurrentTime();
  ASSERT_GT(before, 0.0);
  player.Play();
  EXPECT_GE(player.CurrentTime(), before);
}

// Rates and seek targets from the page are clamped before they are used.
TEST_F(NativePlayerTest, RatesAndSeekTargetsAreBounded) {
  NativePlayer player(page.outlet, page.router, 12);
  ASSERT_TRUE(player.Create(video_, 0, 0, 0, nullptr));
  const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
  struct RateCase {
    double in, out;
  } rates[] = {{0, 0.05}, {-3, 0.05}, {nan, 0.05}, {0.05, 0.05}, {2, 2}, {inf, NativePlayer::kMaxRate}};
  for (const RateCase& c : rates) {
    player.SetRate(c.in);
    EXPECT_EQ(player.rate(), c.out) << c.in;
  }
  struct SeekCase {
    double in, out;
  } seeks[] = {{-5, 0}, {500, player.duration()}, {1e300, player.duration()}, {inf, player.duration()}, {nan, 0}, {1, 1}};
  for (const SeekCase& c : seeks) {
    player.Seek(c.in);
    EXPECT_EQ(player.CurrentTime(), c.out) << c.in;
  }
}

TEST_F(NativePlayerTest, BlobSourceReadsThroughThePage) {
  std::ifstream in(video_, std::ios::binary);
  page.blob.assign(std::istreambuf_iterator<char>(in), {});
  NativePlayer player(page.outlet, page.router, 13);
  EXPECT_FALSE(player.Create("qvn-blob://x", 0, 0, 0, nullptr));
  EXPECT_EQ(player.lastError(), "invalid file size for blob source");
  NativePlayer::Opened opened;
  ASSERT_TRUE(player.Create("qvn-blob://x", page.blob.size(), 0, 0, &opened)) << player.lastError();
  EXPECT_EQ(opened.videoWidth, 160);
  ASSERT_TRUE(WaitFrames(1));
  EXPECT_EQ(Frame(0).width, 160);
  const auto requests = page.ChunkRequests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests[0]["playerID"], 13);
}

// Closing a blob player whose pump waits for a chunk the page does not send ends at once, not
// after the deadline.
TEST_F(NativePlayerTest, CloseDoesNotWaitForASilentPage) {
  const std::string big = *folder_ / "big.avi";  // larger than one chunk request
  ASSERT_TRUE(testsupport::MakeVideo(testsupport::TestsrcArguments(320, 240, 10, 4, "-c:v rawvideo -pix_fmt yuv420p"), big));
  std::ifstream in(big, std::ios::binary);
  page.blob.assign(std::istreambuf_iterator<char>(in), {});
  ASSERT_GT(page.blob.size(), 2 * media::BlobByteStream::kMinRequestBytes);
  media::NativePlayerOptions options;
  options.blob.timeout = std::chrono::hours(1);
  auto player = std::make_shared<NativePlayer>(page.outlet, page.router, 14, options);
  ASSERT_TRUE(player->Create("qvn-blob://x", page.blob.size(), 0, 0, nullptr));
  ASSERT_TRUE(WaitFrames(1));
  size_t asked;
  {
    std::lock_guard<std::mutex> lock(page.mutex);
    page.answerChunks = false;
    asked = page.texts.size();
  }
  player->Seek(3.5);
  ASSERT_TRUE(page.WaitFor([&] { return page.texts.size() > asked; }));  // the pump now waits
  player->Close();  // would wait for an hour if the read were not aborted
}

TEST_F(NativePlayerTest, CreateFailuresSayWhy) {
  const std::string audio = *folder_ / "audio.m4a";
  ASSERT_TRUE(testsupport::MakeVideo("-f lavfi -i sine=duration=1 -c:a aac", audio));
  struct Case {
    std::string path;
    std::string prefix;
  } cases[] = {
      {*folder_ / "missing.mp4", "cannot open video (unsupported format or codec) (hr=0xfffffffe): no such file or folder"},
      {folder_->str(), "cannot open video (unsupported format or codec) (hr=0xffffffeb): is a folder"},
      {audio, "no video track in file (hr=0x"},
  };
  for (const Case& c : cases) {
    NativePlayer player(page.outlet, page.router, 15);
    EXPECT_FALSE(player.Create(c.path, 0, 0, 0, nullptr));
    EXPECT_EQ(player.lastError().rfind(c.prefix, 0), 0u) << player.lastError();
  }
  // No cause where the file is not why.
  NativePlayer player(page.outlet, page.router, 15);
  EXPECT_FALSE(player.Create(audio, 0, 0, 0, nullptr));
  EXPECT_EQ(player.lastError().find(": "), std::string::npos) << player.lastError();
}

// The rows: parameter checks, unknown players, and a create that replaces the player of its id.
TEST_F(NativePlayerTest, RequestRows) {
  RpcRouteTable routes;
  auto players = std::make_shared<media::NativePlayerTable>();
  media::RegisterNativeMediaRows(routes, players, page.router);
  int next = 0;
  auto send = [&](const std::string& type, const json& payload) {
    const json id = ++next;
    RpcRequest r{id, type, payload, page.outlet};
    const RpcRouteTable::Row* row = routes.Find(type);
    EXPECT_TRUE(row) << type;
    if (row) (*row)(r);
    json reply;
    page.WaitFor([&] {
      for (const auto& t : page.texts) {
        if (t.contains("id") && t["id"] == id) return reply = t, true;
      }
      return false;
    });
    return reply;
  };
  auto error = [&](const std::string& type, const json& payload) { return send(type, payload).value("error", ""); };
  struct Case {
    std::string type;
    json payload;
    std::string error;
  } cases[] = {
      {"createNativePlayer", {{"playerID", 0}, {"path", "/v.mp4"}}, "Invalid parameters"},
      {"createNativePlayer", {{"playerID", 4}}, "Invalid parameters"},
      {"createNativePlayer", {{"playerID", -1}, {"path", "/v.mp4"}}, "Invalid parameters"},
      {"createNativePlayer", {{"playerID", 1.5}, {"path", "/v.mp4"}}, "Invalid parameters"},
      {"createNativePlayer", {{"playerID", 2147483648u}, {"path", "/v.mp4"}}, "Invalid parameters"},
      {"createNativePlayer", {{"playerID", "4"}, {"path", "/v.mp4"}}, "invalid parameter type: playerID"},
      {"createNativePlayer", {{"playerID", 4}, {"path", 9}}, "invalid parameter type: path"},
      {"createNativePlayer", {{"playerID", 4}, {"path", "/v.mp4"}, {"fileSize", "big"}},
       "invalid parameter type: fileSize"},
      {"createNativePlayer", {{"playerID", 4}, {"path", "qvn-blob://b"}, {"fileSize", 9007199254740992.0}},
       "native player: invalid file size for blob source"},
      {"createNativePlayer", {{"playerID", 4}, {"path", "qvn-blob://b"}}, "native player: invalid file size for blob source"},
      {"destroyNativePlayer", {{"playerID", "4"}}, "invalid parameter type: playerID"},
      {"playerSeek", {{"playerID", 4}}, "player not found"},
      {"playerSeek", {{"playerID", 4}, {"timeSec", "1"}}, "invalid parameter type: timeSec"},
      {"playerGetTime", json::object(), "player not found"},
      {"playerPlay", {{"playerID", 77}}, "player not found"},
  };
  for (const Case& c : cases) EXPECT_EQ(error(c.type, c.payload), c.error) << c.type << " " << c.payload.dump();
  EXPECT_EQ(send("destroyNativePlayer", {{"playerID", 4}})["data"], json({{"success", true}}));

  json created = send("createNativePlayer", {{"playerID", 4}, {"path", video_}, {"width", 80}, {"height", 60}});
  EXPECT_EQ(created["data"]["videoWidth"], 160);
  EXPECT_EQ(created["data"]["success"], true);
  std::weak_ptr<NativePlayer> first = players->Find(4);
  ASSERT_FALSE(first.expired());
  json seek = send("playerSeek", {{"playerID", 4}, {"timeSec", 500}});
  EXPECT_EQ(seek["data"]["time"], 500);
  json time = send("playerGetTime", {{"playerID", 4}});
  EXPECT_NEAR(time["data"]["time"].get<double>(), 3.0, 0.1);
  EXPECT_EQ(time["data"]["paused"], true);
  EXPECT_EQ(send("playerSetRate", {{"playerID", 4}, {"rate", 0}})["data"]["success"], true);
  EXPECT_EQ(send("playerGetTime", {{"playerID", 4}})["data"]["rate"], 0.05);
  EXPECT_EQ(send("playerSetVolume", {{"playerID", 4}})["data"], json({{"success", true}}));

  // A second create of the same id replaces (and closes) the first.
  send("createNativePlayer", {{"playerID", 4}, {"path", video_}});
  EXPECT_TRUE(first.expired());
  EXPECT_EQ(players->size(), 1u);
  EXPECT_EQ(send("destroyNativePlayer", {{"playerID", 4}})["data"]["success"], true);
  EXPECT_EQ(error("playerPlay", {{"playerID", 4}}), "player not found");
  players->CloseAll();
  // After shutdown a late create is closed rather than entered.
  send("createNativePlayer", {{"playerID", 5}, {"path", video_}});
  EXPECT_EQ(players->size(), 0u);
}
