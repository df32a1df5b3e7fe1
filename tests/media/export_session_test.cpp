// The export session and the sink writer under it, judged by Debian's ffprobe and ffmpeg:
// what they read back is what the page sent.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/rpc_routes.h"
#include "media/export_session.h"
#include "platform/media_sink.h"
#include "support/media_fixtures.h"
#include "support/temp_folder.h"

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

// Runs a command line (arguments quoted here) and returns its standard output.
std::string RunTool(const std::vector<std::string>& argv) {
  std::string command;
  for (const auto& a : argv) command += testsupport::ShellQuote(a) + " ";
  return testsupport::CommandOutput(command);
}

json Probe(const std::string& path) {
  std::string out = RunTool({"ffprobe", "-v", "error", "-count_frames", "-show_streams", "-show_format", "-of", "json", path});
  json j = json::parse(out, nullptr, false);
  return j.is_discarded() ? json::object() : j;
}

json StreamOf(const json& probe, const std::string& type) {
  for (const auto& s : probe.value("streams", json::array()))
    if (s.value("codec_type", "") == type) return s;
  return json::object();
}

double Rational(const std::string& text) {
  double num = 0, den = 1;
  if (std::sscanf(text.c_str(), "%lf/%lf", &num, &den) != 2 || den == 0) return 0;
  return num / den;
}

double Number(const json& j, const char* key) {
  if (!j.contains(key)) return -1;
  return j[key].is_string() ? std::stod(j[key].get<std::string>()) : j[key].get<double>();
}

// A frame whose colour is constant over each 2x2 block (the conversion takes chroma from a
// block's top-left pixel) and smooth enough that the encoder keeps it close.
std::vector<uint8_t> TestFrame(int w, int h, int index) {
  std::vector<uint8_t> rgba(static_cast<size_t>(w) * h * 4);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &rgba[(static_cast<size_t>(y) * w + x) * 4];
      p[0] = static_cast<uint8_t>(((x & ~1) * 255) / w);
      p[1] = static_cast<uint8_t>(((y & ~1) * 255) / h);
      p[2] = static_cast<uint8_t>((index * 4) & 255);
      p[3] = 255;
    }
  }
  return rgba;
}

std::vector<uint8_t> Sine(uint32_t frames, uint32_t channels, uint32_t rate, uint64_t start) {
  std::vector<uint8_t> bytes(static_cast<size_t>(frames) * channels * 4);
  for (uint32_t i = 0; i < frames; ++i) {
    const float v = 0.5f * static_cast<float>(std::sin(2 * M_PI * 440.0 * static_cast<double>(start + i) / rate));
    for (uint32_t c = 0; c < channels; ++c) std::memcpy(&bytes[(static_cast<size_t>(i) * channels + c) * 4], &v, 4);
  }
  return bytes;
}

double MeanAbsDiffRgb(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size() || a.empty()) return 1e9;
  double sum = 0;
  size_t n = 0;
  for (size_t i = 0; i < a.size(); i += 4) {
    for (int c = 0; c < 3; ++c, ++n) sum += std::abs(int(a[i + c]) - int(b[i + c]));
  }
  return sum / static_cast<double>(n);
}

// Files in a folder, temporary ones included.
std::vector<std::string> Listing(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) names.push_back(e.path().filename().string());
  return names;
}

ExportOptions Options(const std::string& path, int w = 64, int h = 48, int channels = 0) {
  ExportOptions o;
  o.outputPath = path;
  o.width = w;
  o.height = h;
  o.bitrate = 2000000;
  o.audioChannels = channels;
  return o;
}

class ExportTest : public ::testing::Test {
 protected:
  testsupport::TempFolder dir{"qv-export-"};
  NativeExportSession session;

  bool Frame(int w, int h, int index, double timeUs) {
    auto rgba = TestFrame(w, h, index);
    return session.WriteVideoFrame(rgba.data(), rgba.size(), w, h, timeUs);
  }
};

TEST(ExportConversions, Nv12FromRgba) {
  // 2x2 blocks: white, black, pure red, pure blue. Chroma comes from each block's top-left pixel.
  const int w = 4, h = 2;
  std::vector<uint8_t> rgba(w * h * 4, 0);
  auto set = [&](int x, int y, uint8_t r, uint8_t g, uint8_t b) {
    uint8_t* p = &rgba[(y * w + x) * 4];
    p[0] = r, p[1] = g, p[2] = b, p[3] = 255;
  };
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 2; ++x) set(x, y, 255, 255, 255);
  set(2, 0, 255, 0, 0);
  set(3, 0, 0, 0, 255);  // not top-left: its chroma is not used
  std::vector<uint8_t> nv12(w * h * 3 / 2, 0xAA);
  ConvertRgbaToNv12(rgba.data(), w, h, nv12.data());
  // Y: white 235, black 16, red ((66*255)>>8)+16 = 81, blue ((25*255)>>8)+16 = 40.
  EXPECT_EQ(std::vector<int>(nv12.begin(), nv12.begin() + 8), (std::vector<int>{235, 235, 81, 40, 235, 235, 16, 16}));
  // UV of the white block 128/128; of the red block: U = (-38*255 >> 8) + 128 = 90 (arithmetic
  // shift rounds down), V = (112*255 >> 8) + 128 = 239.
  EXPECT_EQ(std::vector<int>(nv12.begin() + 8, nv12.end()), (std::vector<int>{128, 128, 90, 239}));

  std::vector<uint8_t> bgra(8);
  const uint8_t two[] = {1, 2, 3, 4, 5, 6, 7, 8};
  SwapRgbaBgra(two, 2, bgra.data());
  EXPECT_EQ(bgra, (std::vector<uint8_t>{3, 2, 1, 4, 7, 6, 5, 8}));
}

TEST(ExportConversions, PcmAndTimes) {
  const struct {
    float in;
    int16_t out;
  } pcm[] = {{0, 0},          {1.5f, 32767},  {-2.0f, -32767}, {1, 32767},
             {0.5f, 16384},   {-0.5f, -16384}, {std::numeric_limits<float>::quiet_NaN(), 0},
             {std::numeric_limits<float>::infinity(), 32767}, {-std::numeric_limits<float>::infinity(), -32767}};
  for (const auto& c : pcm) EXPECT_EQ(FloatToPcm16(c.in), c.out) << c.in;

  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    double us;
    bool ok;
    int64_t t;
  } video[] = {{1000000, true, 10000000}, {0, true, 0},   {33333.4, true, 333334},
               {std::nan(""), false, 0},  {inf, false, 0}, {-inf, false, 0},
               {1e18, false, 0},          {-1e18, false, 0}};
  for (const auto& c : video) {
    int64_t t = -1;
    EXPECT_EQ(VideoSampleTime(c.us, t), c.ok) << c.us;
    if (c.ok) {
      EXPECT_EQ(t, c.t) << c.us;
    }
  }

  // From the count alone: chunks of 441 frames at 48 kHz never step back and add up exactly
  // (an integer division of the count by the rate would stay at 0 for the first second).
  EXPECT_EQ(AudioSampleTime(441, 48000), 91875);
  EXPECT_EQ(AudioSampleTime(48000, 48000), 10000000);
  int64_t previous = -1;
  for (int64_t n = 0; n < 441 * 2000; n += 441) {
    const int64_t t = AudioSampleTime(n, 44100 + 1);
    EXPECT_GT(t, previous);
    previous = t;
  }
  // Five days of 96 kHz audio still fits.
  EXPECT_EQ(AudioSampleTime(int64_t{96000} * 432000, 96000), int64_t{432000} * 10000000);
}

TEST(ExportConversions, StartPayload) {
  const struct {
    json payload;
    std::string error;
  } cases[] = {
      {{{"outputPath", "/x/a.mp4"}}, ""},
      {json::object(), "Output path is required"},
      {{{"outputPath", ""}}, "Output path is required"},
      {{{"outputPath", 5}}, "invalid parameter type: outputPath"},
      {{{"outputPath", "/a.mp4"}, {"width", "640"}}, "invalid parameter type: width"},
      {{{"outputPath", "/a.mp4"}, {"bitrate", 1.5}}, "invalid parameter value: bitrate"},
      {{{"outputPath", "/a.mp4"}, {"height", 4294967296.0}}, "invalid parameter value: height"},
      {{{"outputPath", "/a.mp4"}, {"audioChannels", true}}, "invalid parameter type: audioChannels"},
  };
  for (const auto& c : cases) {
    ExportOptions o;
    std::string error;
    EXPECT_EQ(ReadExportOptions(c.payload, o, error), c.error.empty()) << c.payload.dump();
    EXPECT_EQ(error, c.error) << c.payload.dump();
  }
  ExportOptions o;
  std::string error;
  ASSERT_TRUE(ReadExportOptions({{"outputPath", "/x/a.mp4"}}, o, error));
  EXPECT_EQ(o.width, 1920);
  EXPECT_EQ(o.height, 1080);
  EXPECT_EQ(o.bitrate, 8000000);
  EXPECT_EQ(o.audioChannels, 0);
  EXPECT_EQ(o.audioSampleRate, 48000);
}

TEST_F(ExportTest, VideoAndAudioReadBackByFfprobe) {
  const int w = 320, h = 240, frames = 60;
  const uint32_t rate = 48000, channels = 2;
  const std::string out = dir / "clip.mp4";
  ExportOptions o = Options(out, w, h, channels);
  o.bitrate = 4000000;
  o.audioSampleRate = rate;
  std::string error;
  ASSERT_TRUE(session.Begin(o, error)) << error;
  EXPECT_TRUE(session.audioEnabled());
  uint64_t audioSent = 0;
  for (int i = 0; i < frames; ++i) {
    ASSERT_TRUE(Frame(w, h, i, i * 1e6 / 30));
    // Audio in uneven chunks: 1,600 frames per video frame on average.
    for (uint32_t chunk : {700u, 900u}) {
      auto pcm = Sine(chunk, channels, rate, audioSent);
      ASSERT_TRUE(session.WriteAudioFrames(pcm.data(), pcm.size(), chunk, channels));
      audioSent += chunk;
    }
  }
  // And one long message at the end: many encoder frames at once.
  auto tail = Sine(48000, channels, rate, audioSent);
  ASSERT_TRUE(session.WriteAudioFrames(tail.data(), tail.size(), 48000, channels));
  audioSent += 48000;
  EXPECT_EQ(session.audioFramesWritten(), static_cast<int64_t>(audioSent));
  NativeExportResult r = session.Finalize();
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.frames, frames);
  EXPECT_EQ(r.outputPath, out);
  struct stat st;
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  EXPECT_EQ(r.fileSize, static_cast<uint64_t>(st.st_size));
  EXPECT_EQ(Listing(dir.path()), std::vector<std::string>{"clip.mp4"});  // no temporary file left

  json probe = Probe(out);
  json v = StreamOf(probe, "video"), a = StreamOf(probe, "audio");
  EXPECT_EQ(v.value("codec_name", ""), "h264");
  EXPECT_EQ(v.value("width", 0), w);
  EXPECT_EQ(v.value("height", 0), h);
  EXPECT_EQ(Number(v, "nb_read_frames"), frames);
  EXPECT_NEAR(Rational(v.value("avg_frame_rate", "")), 30.0, 0.05);
  EXPECT_NEAR(Number(v, "duration"), frames / 30.0, 1 / 30.0);
  EXPECT_EQ(a.value("codec_name", ""), "aac");
  EXPECT_EQ(a.value("sample_rate", ""), "48000");
  EXPECT_EQ(a.value("channels", 0), 2);
  EXPECT_NEAR(Number(a, "duration"), audioSent / 48000.0, 0.05);

  // A frame decoded back matches the one that was sent.
  for (int index : {0, 31}) {
    std::string raw = RunTool({"ffmpeg", "-v", "error", "-i", out, "-vf", "select=eq(n\\," + std::to_string(index) + ")",
                           "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "rgba", "-"});
    std::vector<uint8_t> got(raw.begin(), raw.end());
    EXPECT_LT(MeanAbsDiffRgb(got, TestFrame(w, h, index)), 6.0) << "frame " << index;
  }

  // The audio is the sine that was sent: 440 Hz gives 880 zero crossings a second.
  std::string pcm = RunTool({"ffmpeg", "-v", "error", "-i", out, "-map", "0:a", "-ac", "1", "-f", "s16le", "-"});
  const size_t samples = pcm.size() / 2;
  ASSERT_GT(samples, rate);
  int crossings = 0;
  int16_t prev = 0;
  for (size_t i = 4800; i < 4800 + rate; ++i) {  // one second, past the encoder's priming
    int16_t s;
    std::memcpy(&s, pcm.data() + i * 2, 2);
    if ((prev < 0) != (s < 0) && i > 4800) ++crossings;
    prev = s;
  }
  EXPECT_NEAR(crossings, 880, 4);
}

TEST_F(ExportTest, ContainerFollowsTheExtension) {
  const struct {
    const char* name;
    const char* format;
  } cases[] = {{"a.mp4", "mov,mp4,m4a,3gp,3g2,mj2"}, {"b.mkv", "matroska,webm"}, {"c.mov", "mov,mp4,m4a,3gp,3g2,mj2"}};
  for (const auto& c : cases) {
    std::string error;
    ASSERT_TRUE(session.Begin(Options(dir / c.name, 64, 48, 1), error)) << c.name << error;
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(Frame(64, 48, i, i * 33333.0));
    auto pcm = Sine(4800, 1, 48000, 0);
    ASSERT_TRUE(session.WriteAudioFrames(pcm.data(), pcm.size(), 4800, 1));
    ASSERT_TRUE(session.Finalize().ok) << c.name;
    json probe = Probe(dir / c.name);
    EXPECT_EQ(probe["format"].value("format_name", ""), c.format) << c.name;
    EXPECT_EQ(Number(StreamOf(probe, "video"), "nb_read_frames"), 5) << c.name;
    EXPECT_EQ(StreamOf(probe, "audio").value("channels", 0), 1) << c.name;
  }
}

TEST_F(ExportTest, FramesThatDoNotFitAreIgnored) {
  const int w = 64, h = 48;
  std::string error;
  ASSERT_TRUE(session.Begin(Options(dir / "f.mp4", w, h), error)) << error;
  auto good = TestFrame(w, h, 0);
  auto big = TestFrame(w + 2, h, 0);
  const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
  const struct {
    const char* name;
    const uint8_t* data;
    size_t length;
    uint32_t w, h;
    double t;
    bool written;
  } cases[] = {
      {"first", good.data(), good.size(), w, h, 0, true},
      {"one byte short", good.data(), good.size() - 1, w, h, 100000, false},
      {"2^31 x 2^31 over a short message", good.data(), good.size(), 0x80000000u, 0x80000000u, 100000, false},
      {"other size, bytes present", big.data(), big.size(), w + 2, h, 100000, false},
      {"same area, other shape", good.data(), good.size(), w / 2, h * 2, 100000, false},
      {"NaN time", good.data(), good.size(), w, h, nan, false},
      {"infinite time", good.data(), good.size(), w, h, inf, false},
      {"time out of range", good.data(), good.size(), w, h, 1e300, false},
      {"same time again", good.data(), good.size(), w, h, 0, false},
      {"earlier time", good.data(), good.size(), w, h, -5, false},
      {"second", good.data(), good.size(), w, h, 33333, true},
  };
  int64_t expected = 0;
  for (const auto& c : cases) {
    EXPECT_EQ(session.WriteVideoFrame(c.data, c.length, c.w, c.h, c.t), c.written) << c.name;
    expected += c.written;
    EXPECT_EQ(session.videoFrames(), expected) << c.name;
  }
  // Audio to a session without audio is ignored.
  auto pcm = Sine(480, 2, 48000, 0);
  EXPECT_FALSE(session.WriteAudioFrames(pcm.data(), pcm.size(), 480, 2));
  NativeExportResult r = session.Finalize();
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.frames, 2);
  json probe = Probe(dir / "f.mp4");
  EXPECT_EQ(Number(StreamOf(probe, "video"), "nb_read_frames"), 2);
  EXPECT_TRUE(StreamOf(probe, "audio").empty());
}

TEST_F(ExportTest, AudioInAnotherLayoutIsIgnored) {
  std::string error;
  ExportOptions o = Options(dir / "a.mp4", 64, 48, 2);
  ASSERT_TRUE(session.Begin(o, error)) << error;
  auto mono = Sine(480, 1, 48000, 0);
  auto stereo = Sine(480, 2, 48000, 0);
  EXPECT_FALSE(session.WriteAudioFrames(mono.data(), mono.size(), 480, 1));
  EXPECT_FALSE(session.WriteAudioFrames(stereo.data(), stereo.size(), 0, 2));
  EXPECT_FALSE(session.WriteAudioFrames(stereo.data(), stereo.size() - 4, 480, 2));  // one sample short
  EXPECT_EQ(session.audioFramesWritten(), 0);
  EXPECT_TRUE(session.WriteAudioFrames(stereo.data(), stereo.size(), 480, 2));
  EXPECT_EQ(session.audioFramesWritten(), 480);
  ASSERT_TRUE(Frame(64, 48, 0, 0));
  EXPECT_TRUE(session.Finalize().ok);
}

TEST_F(ExportTest, BeginRefusals) {
  fs::create_directory(dir / "sub");
  fs::create_directory(dir / "sub.mp4");
  std::ofstream(dir / "file") << "x";
  const struct {
    const char* name;
    ExportOptions options;
    std::string error;
  } cases[] = {
      {"missing folder", Options(dir / "no/such/folder/x.mp4"), "MFCreateSinkWriterFromURL failed: no such file or folder"},
      {"unknown extension", Options(dir / "x.qvunknown"),
       "MFCreateSinkWriterFromURL failed: no container format for the file's extension"},
      {"no extension", Options(dir / "x"), "MFCreateSinkWriterFromURL failed: no container format for the file's extension"},
      {"a folder", Options(dir / "sub/"), "MFCreateSinkWriterFromURL failed: is a folder"},
      {"a folder under a video's name", Options(dir / "sub.mp4"), "MFCreateSinkWriterFromURL failed: is a folder"},
      {"a file as a folder", Options(dir / "file/x.mp4"),
       "MFCreateSinkWriterFromURL failed: a part of the path is not a folder"},
      {"not a file protocol", Options("http://127.0.0.1:9/x.mp4"), "MFCreateSinkWriterFromURL failed: no such file or folder"},
      {"NUL inside the path", Options(dir / std::string("x.mp4\0.txt", 11)), "MFCreateSinkWriterFromURL failed"},
      {"container without H.264", Options(dir / "x.wav"), "AddStream(video/H264) failed -- codec not available?"},
      {"odd width", Options(dir / "x.mp4", 63, 48), "width and height must be even and between 2 and 16384"},
      {"odd height", Options(dir / "x.mp4", 64, 47), "width and height must be even and between 2 and 16384"},
      {"zero size", Options(dir / "x.mp4", 0, 0), "width and height must be even and between 2 and 16384"},
      {"audio at rate 0", [&] {
         ExportOptions o = Options(dir / "x.mp4", 64, 48, 2);
         o.audioSampleRate = 0;
         return o;
       }(), "audioSampleRate must be positive when audioChannels is set"},
      {"zero bitrate", [&] {
         ExportOptions o = Options(dir / "x.mp4");
         o.bitrate = 0;
         return o;
       }(), "AddStream(video/H264) failed -- codec not available?"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(session.Begin(c.options, error)) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
    EXPECT_FALSE(session.started()) << c.name;
    auto names = Listing(dir.path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"file", "sub", "sub.mp4"})) << c.name;
    EXPECT_EQ(Listing(dir / "sub"), std::vector<std::string>{}) << c.name;
    EXPECT_EQ(Listing(dir / "sub.mp4"), std::vector<std::string>{}) << c.name;
  }
  // An audio setup the encoder cannot take only turns audio off.
  ExportOptions odd = Options(dir / "y.mp4", 64, 48, 2);
  odd.audioSampleRate = 12345;
  std::string error;
  ASSERT_TRUE(session.Begin(odd, error)) << error;
  EXPECT_FALSE(session.audioEnabled());
  ASSERT_TRUE(Frame(64, 48, 0, 0));
  EXPECT_TRUE(session.Finalize().ok);
  EXPECT_TRUE(StreamOf(Probe(dir / "y.mp4"), "audio").empty());
}

TEST_F(ExportTest, Lifecycle) {
  EXPECT_EQ(session.Finalize().error, "export session not started");
  std::string error;
  // A second Begin finishes the first file before opening the next.
  ASSERT_TRUE(session.Begin(Options(dir / "one.mp4"), error)) << error;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Frame(64, 48, i, i * 33333.0));
  ASSERT_TRUE(session.Begin(Options(dir / "two.mkv"), error)) << error;
  EXPECT_EQ(Number(StreamOf(Probe(dir / "one.mp4"), "video"), "nb_read_frames"), 3);
  EXPECT_EQ(session.videoFrames(), 0);
  ASSERT_TRUE(Frame(64, 48, 0, 0));
  NativeExportResult r = session.Finalize();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.frames, 1);
  EXPECT_EQ(session.Finalize().error, "export session not started");
  // Frames while idle are ignored.
  EXPECT_FALSE(Frame(64, 48, 0, 0));

  // Finishing over a folder that took the name meanwhile fails, and nothing else is left behind
  // (a folder there at the start is refused by Begin).
  ASSERT_TRUE(session.Begin(Options(dir / "taken.mp4"), error)) << error;
  ASSERT_TRUE(Frame(64, 48, 0, 0));
  fs::create_directory(dir / "taken.mp4");
  EXPECT_EQ(session.Finalize().error, "Finalize failed");
  EXPECT_TRUE(fs::is_directory(dir / "taken.mp4"));

  // An export dropped unfinished (the dispatcher going away) leaves no file at all.
  {
    NativeExportSession dropped;
    ASSERT_TRUE(dropped.Begin(Options(dir / "dropped.mp4"), error)) << error;
    auto rgba = TestFrame(64, 48, 0);
    ASSERT_TRUE(dropped.WriteVideoFrame(rgba.data(), rgba.size(), 64, 48, 0));
  }
  auto names = Listing(dir.path());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"one.mp4", "taken.mp4", "two.mkv"}));
}

TEST_F(ExportTest, WhileWritingOnlyATemporaryNameExists) {
  platform::media::SinkVideoFormat f;
  f.width = 64, f.height = 48, f.bitrate = 1000000;
  auto writer = platform::media::SinkWriter::CreateForFile(dir / "t.mp4");
  ASSERT_TRUE(writer);
  ASSERT_TRUE(writer->AddVideoStream(f));
  // The fallback input: BGRA, converted by the writer.
  ASSERT_TRUE(writer->SetVideoInput(platform::media::SinkVideoInput::Bgra));
  ASSERT_TRUE(writer->BeginWriting());
  auto rgba = TestFrame(64, 48, 3);
  std::vector<uint8_t> bgra(rgba.size());
  SwapRgbaBgra(rgba.data(), 64 * 48, bgra.data());
  EXPECT_FALSE(writer->WriteVideoSample(bgra.data(), bgra.size() - 1, 0, 333667));
  ASSERT_TRUE(writer->WriteVideoSample(bgra.data(), bgra.size(), 0, 333667));
  EXPECT_FALSE(fs::exists(dir / "t.mp4"));
  const fs::path temp = writer->temporaryPath();
  EXPECT_EQ(temp.parent_path(), dir.path());
  EXPECT_TRUE(fs::exists(temp));
  ASSERT_TRUE(writer->Finalize());
  EXPECT_FALSE(fs::exists(temp));
  std::string raw = RunTool({"ffmpeg", "-v", "error", "-i", dir / "t.mp4", "-frames:v", "1", "-f", "rawvideo", "-pix_fmt",
                         "rgba", "-"});
  EXPECT_LT(MeanAbsDiffRgb(std::vector<uint8_t>(raw.begin(), raw.end()), rgba), 6.0);
}

// The two rows over a route table, as the dispatcher calls them.
TEST_F(ExportTest, Rows) {
  RpcRouteTable routes;
  auto shared = std::make_shared<NativeExportSession>();
  media::RegisterExportRows(routes, shared);
  std::vector<std::string> sent;
  auto outlet = std::make_shared<RpcOutlet>(RpcOutlet::Target{
      [&](const std::string& t) {
        sent.push_back(t);
        return true;
      },
      nullptr, [] { return uint64_t{1}; }});
  auto call = [&](const std::string& type, const json& payload) {
    const json id = 7;
    routes.Find(type)->operator()(RpcRequest{id, type, payload, outlet});
    std::string last = sent.empty() ? "" : sent.back();
    sent.clear();
    return json::parse(last, nullptr, false);
  };
  EXPECT_EQ(call("finishNativeExport", json::object())["error"], "export session not started");
  EXPECT_EQ(call("startNativeExport", {{"outputPath", ""}})["error"], "Output path is required");
  EXPECT_EQ(call("startNativeExport", {{"outputPath", dir / "x.mp4"}, {"width", "1"}})["error"],
            "invalid parameter type: width");
  EXPECT_EQ(call("startNativeExport", {{"outputPath", dir / "no/x.mp4"}})["error"],
            "MFCreateSinkWriterFromURL failed: no such file or folder");

  // Only the path: 1920x1080 without audio.
  const std::string out = dir / "full.mp4";
  EXPECT_EQ(call("startNativeExport", {{"outputPath", out}}),
            (json{{"id", 7}, {"data", {{"status", "started"}, {"outputPath", out}}}}));
  auto rgba = TestFrame(1920, 1080, 0);
  ASSERT_TRUE(shared->WriteVideoFrame(rgba.data(), rgba.size(), 1920, 1080, 0));
  json done = call("finishNativeExport", json::object());
  struct stat st;
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  EXPECT_EQ(done, (json{{"id", 7},
                        {"data",
                         {{"success", true}, {"outputPath", out}, {"fileSize", st.st_size}, {"frames", 1}}}}));
  json probe = Probe(out);
  EXPECT_EQ(StreamOf(probe, "video").value("width", 0), 1920);
  EXPECT_EQ(StreamOf(probe, "video").value("height", 0), 1080);
  EXPECT_TRUE(StreamOf(probe, "audio").empty());
}

}  // namespace
