// The media tools against fixtures made here with the ffmpeg command line, judged by ffprobe and
// by ffmpeg's own decode of the same files.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/base64.h"
#include "bridge/rpc_routes.h"
#include "media/media_tools.h"
#include "media/native_media.h"
#include "media_test_support.h"
#include "support/media_fixtures.h"
#include "support/temp_folder.h"

using nlohmann::json;
using testsupport::ShellQuote;

namespace {

json Ffprobe(const std::string& path) {
  const std::string out =
      testsupport::CommandOutput("ffprobe -v error -show_streams -show_format -of json " + ShellQuote(path));
  json j = json::parse(out, nullptr, false);
  return j.is_discarded() ? json::object() : j;
}

double Rational(const std::string& text) {
  double num = 0, den = 1;
  if (std::sscanf(text.c_str(), "%lf/%lf", &num, &den) != 2 || den == 0) return 0;
  return num / den;
}

// The frequency of one channel of interleaved S16 audio, from its zero crossings.
double Frequency(const std::vector<uint8_t>& pcm, uint32_t channels, uint32_t rate, uint32_t channel = 0) {
  const size_t frames = pcm.size() / (2 * channels);
  int crossings = 0;
  int16_t previous = 0;
  for (size_t i = 0; i < frames; ++i) {
    int16_t s;
    std::memcpy(&s, &pcm[(i * channels + channel) * 2], 2);
    if (i > 0 && ((previous < 0 && s >= 0) || (previous >= 0 && s < 0))) ++crossings;
    previous = s;
  }
  return frames ? crossings / 2.0 / (static_cast<double>(frames) / rate) : 0;
}

class MediaToolsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    media::StartNativeMedia();
    folder_ = new testsupport::TempFolder("qv-tools-");
    // H.264 with a 440 Hz stereo AAC tone; key frames every second.
    ASSERT_TRUE(testsupport::MakeVideo("-f lavfi -i testsrc2=size=160x120:rate=10:duration=3 -f lavfi -i "
                                       "sine=frequency=440:sample_rate=48000:duration=3 -ac 2 -c:v libx264 "
                                       "-pix_fmt yuv420p -g 10 -c:a aac -shortest",
                                       Path("av.mp4")));
    // No audio, an NTSC rate, another codec and container.
    ASSERT_TRUE(testsupport::MakeVideo(
        "-f lavfi -i testsrc2=size=176x144:rate=30000/1001:duration=2 -c:v ffv1 -pix_fmt yuv420p", Path("silent.mkv")));
    // Audio only: a 1 kHz mono tone.
    ASSERT_TRUE(testsupport::MakeVideo("-f lavfi -i sine=frequency=1000:sample_rate=44100:duration=2 -c:a pcm_s16le",
                                       Path("tone.wav")));
    // The first half of an mp4 whose index is at its end: a download that stopped.
    std::ifstream in(Path("av.mp4"), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::ofstream(Path("truncated.mp4"), std::ios::binary).write(bytes.data(), bytes.size() / 2);
    ASSERT_EQ(mkfifo(Path("fifo.mp4").c_str(), 0600), 0);
  }
  static void TearDownTestSuite() { delete folder_; }
  static std::string Path(const std::string& name) { return *folder_ / name; }

  static testsupport::TempFolder* folder_;
};
testsupport::TempFolder* MediaToolsTest::folder_ = nullptr;

}  // namespace

TEST_F(MediaToolsTest, ProbeFiguresEqualFfprobes) {
  for (const char* name : {"av.mp4", "silent.mkv"}) {
    SCOPED_TRACE(name);
    const json probe = Ffprobe(Path(name));
    json video, audio;
    for (const json& s : probe.value("streams", json::array())) {
      if (s.value("codec_type", "") == "video" && video.is_null()) video = s;
      if (s.value("codec_type", "") == "audio" && audio.is_null()) audio = s;
    }
    ASSERT_FALSE(video.is_null());
    const media::VideoMetadata m = media::ProbeVideoMetadata(Path(name));
    ASSERT_TRUE(m.success) << m.error;
    EXPECT_EQ(m.width, video["width"].get<int>());
    EXPECT_EQ(m.height, video["height"].get<int>());
    EXPECT_NEAR(m.fps, Rational(video["r_frame_rate"]), 1e-9);
    EXPECT_NEAR(m.durationSec, std::stod(probe["format"]["duration"].get<std::string>()), 1e-6);
    EXPECT_EQ(m.hasAudio, !audio.is_null());
  }
}

TEST_F(MediaToolsTest, FrameAtATimeEqualsFfmpegsDecodeOfThatFrame) {
  struct Case {
    const char* name;
    int width, height;
    double fps;
  } files[] = {{"av.mp4", 160, 120, 10}, {"silent.mkv", 176, 144, 30000.0 / 1001}};
  for (const Case& file : files) {
    const auto reference =
        testsupport::DecodeWithFfmpeg(Path(file.name), "nv12", static_cast<size_t>(file.width) * file.height * 3 / 2);
    ASSERT_GE(reference.size(), 20u) << file.name;
    // The start, between frames, on a key frame, just before one, the last frame, before the start.
    for (double t : {0.0, 0.35, 1.0, 0.999, 1.96, 1.93, -3.0}) {
      SCOPED_TRACE(std::string(file.name) + " at " + std::to_string(t));
      const media::DecodedFrame f = media::DecodeFrameNative(Path(file.name), t);
      ASSERT_TRUE(f.success) << f.error;
      EXPECT_EQ(f.width, file.width);
      EXPECT_EQ(f.height, file.height);
      // The frame showing at t.
      const size_t index = static_cast<size_t>(std::floor(std::max(t, 0.0) * file.fps + 1e-6));
      ASSERT_LT(index, reference.size());
      EXPECT_NEAR(f.timeSec, index / file.fps, 1e-3);
      EXPECT_TRUE(f.nv12 == reference[index]) << "differs from ffmpeg's frame " << index;
    }
  }
}

TEST_F(MediaToolsTest, SineToneHasItsFrequencyAndTheRangesLength) {
  struct Case {
    const char* name;
    double length;  // of the file's audio
    double start, end;
    uint32_t rate, channels;
    double frequency;
  } cases[] = {
      {"av.mp4", 3, 0.5, 2.0, 48000, 2, 440},
      {"av.mp4", 3, 0, 0.25, 48000, 2, 440},
      {"tone.wav", 2, 0.25, 1.25, 44100, 1, 1000},
      {"tone.wav", 2, 1.5, 99, 44100, 1, 1000},  // to the end of the file
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.start));
    const media::ExtractedAudio a = media::ExtractAudioNative(Path(c.name), c.start, c.end);
    ASSERT_TRUE(a.success) << a.error;
    EXPECT_EQ(a.sampleRate, c.rate);
    EXPECT_EQ(a.channels, c.channels);
    ASSERT_EQ(a.pcm.size() % (2 * c.channels), 0u);
    // Whole decoded frames cover the range: at most one frame more on either side.
    const double end = std::min(c.end, c.length);
    const double frames = static_cast<double>(a.pcm.size()) / (2 * c.channels);
    const double wanted = (end - c.start) * c.rate;
    EXPECT_GE(frames, wanted - 1);
    EXPECT_LE(frames, wanted + 2 * 2048);
    EXPECT_NEAR(Frequency(a.pcm, c.channels, c.rate), c.frequency, c.frequency * 0.01);
    if (c.channels == 2) {
      EXPECT_NEAR(Frequency(a.pcm, 2, c.rate, 1), c.frequency, c.frequency * 0.01);
    }
  }

  // A negative start extracts from the beginning; a start past the end is success with nothing.
  const media::ExtractedAudio fromZero = media::ExtractAudioNative(Path("av.mp4"), 0, 1);
  const media::ExtractedAudio negative = media::ExtractAudioNative(Path("av.mp4"), -5, 1);
  ASSERT_TRUE(negative.success);
  EXPECT_FALSE(negative.pcm.empty());
  EXPECT_TRUE(negative.pcm == fromZero.pcm);
  const media::ExtractedAudio past = media::ExtractAudioNative(Path("av.mp4"), 100, 101);
  EXPECT_TRUE(past.success) << past.error;
  EXPECT_TRUE(past.pcm.empty());
}

// The bound ends the extraction at the first frame that does not fit; the rest of the file is
// not searched for smaller frames that would, which would leave a hole in the audio.
TEST_F(MediaToolsTest, ByteBoundStopsAtTheFirstFrameThatDoesNotFit) {
  const media::ExtractedAudio whole = media::ExtractAudioNative(Path("tone.wav"), 0, 10);
  ASSERT_TRUE(whole.success) << whole.error;
  ASSERT_EQ(whole.pcm.size(), 2u * 44100 * 2);
  // The size of one decoded frame: a range shorter than a frame takes the one frame that begins in it.
  const size_t frame = media::ExtractAudioNative(Path("tone.wav"), 0, 1e-6).pcm.size();
  ASSERT_GT(frame, 0u);
  // The file's last frame is short enough to fit in the room the bound leaves.
  ASSERT_GT(whole.pcm.size() % frame, 0u);
  ASSERT_LT(whole.pcm.size() % frame, frame / 2);

  const size_t bound = 10 * frame + frame / 2;
  const media::ExtractedAudio bounded = media::ExtractAudioNative(Path("tone.wav"), 0, 10, bound);
  ASSERT_TRUE(bounded.success) << bounded.error;
  EXPECT_EQ(bounded.pcm.size(), 10 * frame);
  EXPECT_TRUE(std::equal(bounded.pcm.begin(), bounded.pcm.end(), whole.pcm.begin()));

  // A bound that holds exactly what there is takes it all.
  EXPECT_EQ(media::ExtractAudioNative(Path("tone.wav"), 0, 10, whole.pcm.size()).pcm.size(), whole.pcm.size());
}

TEST_F(MediaToolsTest, EveryFailureHasItsText) {
  const std::string missing = Path("missing.mp4"), folder = folder_->str(), truncated = Path("truncated.mp4"),
                    fifo = Path("fifo.mp4");
  // The cause in words where the file itself is why.
  const std::pair<std::string, std::string> opens[] = {{missing, "failed to open source: no such file or folder"},
                                                       {folder, "failed to open source: is a folder"},
                                                       {truncated, "failed to open source"},
                                                       {fifo, "failed to open source"},
                                                       {std::string(), "failed to open source: no such file or folder"}};
  for (const auto& [path, error] : opens) {
    SCOPED_TRACE(path);
    EXPECT_EQ(media::ProbeVideoMetadata(path).error, error);
    EXPECT_EQ(media::DecodeFrameNative(path, 0).error, error);
    EXPECT_EQ(media::ExtractAudioNative(path, 0, 1).error, error);
  }
  EXPECT_EQ(media::ExtractAudioNative(Path("silent.mkv"), 0, 1).error, "no audio stream");
  const media::VideoMetadata silent = media::ProbeVideoMetadata(Path("silent.mkv"));
  EXPECT_TRUE(silent.success);
  EXPECT_FALSE(silent.hasAudio);
  EXPECT_EQ(media::ProbeVideoMetadata(Path("tone.wav")).error, "no video track found in file");
  EXPECT_EQ(media::DecodeFrameNative(Path("tone.wav"), 0).error, "no video track found");

  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  for (double t : {nan, inf, -inf}) {
    EXPECT_EQ(media::DecodeFrameNative(Path("av.mp4"), t).error, "seek to timestampSec failed") << t;
  }
  for (double t : {3.5, 1e300}) {
    EXPECT_EQ(media::DecodeFrameNative(Path("av.mp4"), t).error, "frame decoding produced no output") << t;
  }

  const std::string blobText =
      "extractAudioNative does not support qvn-blob:// sources (no playerID in this RPC to address a blob "
      "provider) -- pass a real filesystem path";
  const struct {
    std::string path;
    double start, end;
    std::string error;
  } audio[] = {
      {"qvn-blob://x", 0, 1, blobText},
      {Path("av.mp4"), 1, 1, "endTimeSec must be greater than startTimeSec"},
      {Path("av.mp4"), 2, 1, "endTimeSec must be greater than startTimeSec"},
      {Path("av.mp4"), nan, 1, "endTimeSec must be greater than startTimeSec"},
      {Path("av.mp4"), 0, nan, "endTimeSec must be greater than startTimeSec"},
      {Path("av.mp4"), -inf, 1, "seek to startTimeSec failed"},
  };
  for (const auto& c : audio) EXPECT_EQ(media::ExtractAudioNative(c.path, c.start, c.end).error, c.error) << c.path;
}

TEST_F(MediaToolsTest, RowsCheckTheRequestAndAnswerFromTheirWorkers) {
  RpcRouteTable routes;
  media::RegisterMediaToolRows(routes);
  mediatest::FakePage page;
  int next = 0;
  auto ask = [&](const std::string& type, const json& payload) {
    const json id = ++next;
    routes.Find(type)->operator()(RpcRequest{id, type, payload, page.outlet});
    json reply;
    page.WaitFor([&] {
      for (const json& t : page.texts) {
        if (t.value("id", json()) == id) reply = t;
      }
      return !reply.is_null();
    });
    return reply;
  };

  const std::string av = Path("av.mp4");
  const struct {
    std::string type;
    json payload;
    std::string error;
  } refused[] = {
      {"probeVideoMetadata", json::object(), "Invalid parameters"},
      {"probeVideoMetadata", {{"filePath", 7}}, "invalid parameter type: filePath"},
      {"decodeFrameNative", {{"filePath", ""}, {"timestampSec", 1}}, "Invalid parameters"},
      {"decodeFrameNative", {{"filePath", av}, {"timestampSec", "1"}}, "invalid parameter type: timestampSec"},
      {"extractAudioNative", {{"filePath", av}, {"endTimeSec", true}}, "invalid parameter type: endTimeSec"},
      {"extractAudioNative", {{"filePath", av}, {"startTimeSec", 1}}, "endTimeSec must be greater than startTimeSec"},
      {"extractAudioNative", {{"filePath", Path("none.mp4")}, {"endTimeSec", 1}},
       "failed to open source: no such file or folder"},
  };
  for (const auto& c : refused) {
    const json reply = ask(c.type, c.payload);
    EXPECT_EQ(reply, json({{"id", next}, {"error", c.error}})) << c.type << " " << c.payload;
  }

  json probe = ask("probeVideoMetadata", {{"filePath", av}});
  ASSERT_TRUE(probe.contains("data")) << probe;
  EXPECT_EQ(probe["data"]["width"], 160);
  EXPECT_EQ(probe["data"]["height"], 120);
  EXPECT_EQ(probe["data"]["fps"], 10.0);
  EXPECT_EQ(probe["data"]["hasAudio"], true);
  EXPECT_NEAR(probe["data"]["durationSec"].get<double>(), 3.0, 0.1);
  // The engine that did the work, not the one the page's Windows build names.
  EXPECT_EQ(probe["data"]["nativeEngine"].get<std::string>().rfind("FFmpeg ", 0), 0u) << probe;

  // The requested time comes back, not the time of the frame that shows then.
  const json frame = ask("decodeFrameNative", {{"filePath", av}, {"timestampSec", 1.2345}});
  EXPECT_EQ(frame,
            json({{"id", next},
                  {"data", {{"width", 160}, {"height", 120}, {"timestampSec", 1.2345}, {"format", "NV12"}}}}));

  json audio = ask("extractAudioNative", {{"filePath", av}, {"startTimeSec", 1}, {"endTimeSec", 1.5}});
  ASSERT_TRUE(audio.contains("data")) << audio.dump().substr(0, 200);
  const std::vector<uint8_t> pcm = Base64Decode(audio["data"]["pcmBase64"]);
  EXPECT_EQ(audio["data"]["byteLength"], pcm.size());
  EXPECT_TRUE(pcm == media::ExtractAudioNative(av, 1, 1.5).pcm);
  EXPECT_EQ(audio["data"]["sampleRate"], 48000);
  EXPECT_EQ(audio["data"]["channels"], 2);
  EXPECT_EQ(audio["data"].size(), 4u);
}
