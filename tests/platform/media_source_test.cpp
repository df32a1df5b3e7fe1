#include "platform/media_source.h"

#include "platform/media_engine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "support/media_fixtures.h"
#include "support/temp_folder.h"

namespace pm = platform::media;
using testsupport::MakeVideo;
using testsupport::TestsrcArguments;

namespace {

std::shared_ptr<pm::MemoryByteStream> InMemory(const std::string& bytes) {
  return std::make_shared<pm::MemoryByteStream>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<pm::VideoFrame> ReadAllFrames(pm::SourceReader& reader) {
  std::vector<pm::VideoFrame> frames;
  for (int i = 0; i < 10000; ++i) {
    pm::VideoFrame frame;
    if (reader.ReadFrame(frame) != pm::ReadResult::Frame) break;
    frames.push_back(std::move(frame));
  }
  return frames;
}

class MediaSourceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { pm::StartMediaFacility(); }
  testsupport::TempFolder folder{"qv-media-"};
};

}  // namespace

// Every frame of each fixture comes out at its time and matches ffmpeg's own decode.
TEST_F(MediaSourceTest, FramesMatchTheReferenceDecode) {
  struct Case {
    const char* name;
    int width, height;
    std::string codec;
  } cases[] = {
      {"h264.mp4", 320, 240, "-c:v libx264 -pix_fmt yuv420p"},
      {"mpeg4.avi", 176, 144, "-c:v mpeg4 -q:v 3"},
      {"odd.mkv", 161, 121, "-c:v ffv1 -pix_fmt yuv420p"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = folder / c.name;
    ASSERT_TRUE(MakeVideo(TestsrcArguments(c.width, c.height, 10, 2, c.codec), path));
    const auto reference = testsupport::DecodeRgbaWithFfmpeg(path, c.width, c.height);
    ASSERT_EQ(reference.size(), 20u);

    pm::OpenResult result;
    auto reader = pm::SourceReader::OpenFile(path, &result);
    ASSERT_TRUE(reader) << result.detail;
    EXPECT_EQ(reader->info().width, c.width);
    EXPECT_EQ(reader->info().height, c.height);
    EXPECT_NEAR(reader->info().frameRate, 10.0, 0.01);
    EXPECT_NEAR(reader->info().duration / 1e7, 2.0, 0.15);
    EXPECT_FALSE(reader->info().hasAudio);
    reader->SetOutput(pm::PixelFormat::Rgba);
    const auto frames = ReadAllFrames(*reader);
    ASSERT_EQ(frames.size(), reference.size());
    for (size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(frames[i].time, static_cast<int64_t>(i) * 1000000) << i;
      EXPECT_LE(testsupport::MaxChannelDifference(frames[i].data, reference[i]), 2) << "frame " << i;
    }
  }
}

// NV12 output: even stride, chroma rows for an odd height, nothing read past a plane.
TEST_F(MediaSourceTest, Nv12OfAnOddSizeHoldsEveryPlane) {
  const std::string path = folder / "odd.mkv";
  ASSERT_TRUE(MakeVideo(TestsrcArguments(161, 121, 10, 0.3, "-c:v ffv1 -pix_fmt yuv420p"), path));
  auto reader = pm::SourceReader::OpenFile(path, nullptr);
  ASSERT_TRUE(reader);
  pm::VideoFrame frame;
  ASSERT_EQ(reader->ReadFrame(frame), pm::ReadResult::Frame);
  EXPECT_EQ(frame.format, pm::PixelFormat::Nv12);
  EXPECT_EQ(frame.stride, 162);
  EXPECT_EQ(frame.data.size(), 162u * 121 + 162u * 61);
}

// A seek lands on the frame showing at the target, also between key frames and between frames.
TEST_F(MediaSourceTest, AccurateSeekLandsOnTheFrameAtTheTarget) {
  const std::string path = folder / "seek.mp4";
  ASSERT_TRUE(MakeVideo(TestsrcArguments(160, 120, 10, 4, "-c:v libx264 -pix_fmt yuv420p", 25), path));
  const auto reference = testsupport::DecodeRgbaWithFfmpeg(path, 160, 120);
  ASSERT_EQ(reference.size(), 40u);
  auto reader = pm::SourceReader::OpenFile(path, nullptr);
  ASSERT_TRUE(reader);
  reader->SetOutput(pm::PixelFormat::Rgba);
  struct Case {
    double seconds;
    int frame;
  } cases[] = {{2.3, 23}, {0.0, 0}, {3.9, 39}, {1.25, 12}, {2.5, 25}, {-4, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    ASSERT_TRUE(reader->Seek(static_cast<int64_t>(c.seconds * 1e7)));
    pm::VideoFrame frame;
    ASSERT_EQ(reader->ReadFrame(frame), pm::ReadResult::Frame);
    EXPECT_EQ(frame.time, c.frame * 1000000ll);
    EXPECT_LE(testsupport::MaxChannelDifference(frame.data, reference[c.frame]), 2);
  }
  // Past the end there is nothing to show.
  ASSERT_TRUE(reader->Seek(500 * 10000000ll));
  pm::VideoFrame frame;
  EXPECT_EQ(reader->ReadFrame(frame), pm::ReadResult::EndOfStream);
}

// The same bytes through a byte stream decode to the same frames, at an output size of choice.
TEST_F(MediaSourceTest, ByteStreamAndScaledOutput) {
  const std::string path = folder / "s.mp4";
  ASSERT_TRUE(MakeVideo("-f lavfi -i sine=duration=1 " + TestsrcArguments(320, 240, 10, 1, "-c:v libx264") +
                            " -pix_fmt yuv420p -c:a aac -shortest",
                        path));
  auto file = pm::SourceReader::OpenFile(path, nullptr);
  auto stream = pm::SourceReader::OpenStream(InMemory(ReadAll(path)), nullptr);
  ASSERT_TRUE(file && stream);
  EXPECT_TRUE(stream->info().hasAudio);
  file->SetOutput(pm::PixelFormat::Rgba, 160, 120);
  stream->SetOutput(pm::PixelFormat::Rgba, 160, 120);
  const auto a = ReadAllFrames(*file), b = ReadAllFrames(*stream);
  ASSERT_EQ(a.size(), 10u);
  ASSERT_EQ(b.size(), a.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].width, 160);
    EXPECT_EQ(a[i].height, 120);
    EXPECT_EQ(a[i].data, b[i].data) << i;
  }
}

// Files that are not a playable video, or try to reach beyond themselves, fail to open or end
// early; none crashes.
TEST_F(MediaSourceTest, HostileAndBrokenInputsAreErrors) {
  const std::string good = folder / "good.mp4";
  ASSERT_TRUE(MakeVideo(TestsrcArguments(160, 120, 10, 2, "-c:v libx264 -pix_fmt yuv420p"), good));
  const std::string audio = folder / "audio.m4a";
  ASSERT_TRUE(MakeVideo("-f lavfi -i sine=duration=1 -c:a aac", audio));
  const std::string bytes = ReadAll(good);
  auto write = [&](const std::string& name, const std::string& content) {
    std::ofstream(folder / name, std::ios::binary) << content;
    return folder / name;
  };
  const std::string truncatedHead = write("head.mp4", bytes.substr(0, bytes.size() / 3));
  const std::string concat = write("list.mp4", "ffconcat version 1.0\nfile '" + good + "'\n");
  const std::string playlist = write("list.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\n" + good + "\n");
  const std::string garbage = write("garbage.mp4", std::string(4096, '\x47'));
  const std::string empty = write("empty.mp4", "");

  struct Case {
    std::string path;
    pm::OpenStep step;
  } cases[] = {
      {audio, pm::OpenStep::NoVideo},      {concat, pm::OpenStep::Open}, {playlist, pm::OpenStep::Open},
      {garbage, pm::OpenStep::Open},       {empty, pm::OpenStep::Open},  {folder / "missing.mp4", pm::OpenStep::Open},
      {"concat:" + good, pm::OpenStep::Open}, {"", pm::OpenStep::Open},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    pm::OpenResult result;
    EXPECT_FALSE(pm::SourceReader::OpenFile(c.path, &result));
    EXPECT_EQ(result.failed, c.step);
  }
  // A file cut short opens (or not) and then ends; it never hands out more than it holds.
  pm::OpenResult result;
  if (auto reader = pm::SourceReader::OpenFile(truncatedHead, &result)) {
    EXPECT_LT(ReadAllFrames(*reader).size(), 20u);
  } else {
    EXPECT_EQ(result.failed, pm::OpenStep::Open);
  }
  // Cut at every few bytes through a byte stream, including inside the header.
  for (size_t cut = 0; cut < bytes.size(); cut += bytes.size() / 37 + 1) {
    auto reader = pm::SourceReader::OpenStream(InMemory(bytes.substr(0, cut)), nullptr);
    if (reader) {
      EXPECT_LE(ReadAllFrames(*reader).size(), 20u);
    }
  }
}

namespace {

// Without its engine module the facility says so on every path that would use it, and works
// again once a loader finds the module.
TEST(MediaEngine, AMissingModuleIsAClearErrorEverywhere) {
  pm::InstallMediaEngineLoader(
      [](std::string* error) { return pm::LoadMediaEngineModule("/nonexistent/libqv_media_ffmpeg.so", error); });
  pm::OpenResult result;
  EXPECT_FALSE(pm::SourceReader::OpenFile("/nonexistent.mp4", &result));
  EXPECT_EQ(result.failed, pm::OpenStep::Open);
  EXPECT_EQ(result.cause.rfind("media engine unavailable: /nonexistent/libqv_media_ffmpeg.so", 0), 0u) << result.cause;
  EXPECT_FALSE(pm::SourceReader::OpenStream(InMemory("bytes"), &result));
  EXPECT_EQ(result.detail, result.cause);
  std::string cause;
  EXPECT_FALSE(pm::SinkWriter::CreateForFile("/tmp/out.mp4", &cause));
  EXPECT_EQ(cause, result.cause);
  EXPECT_EQ(pm::DecoderEngineName(), result.cause);

  pm::InstallMediaEngineLoader(pm::LoadMediaEngineBesideExecutable);
  EXPECT_EQ(pm::DecoderEngineName().rfind("FFmpeg ", 0), 0u);
  pm::InstallMediaEngineLoader(nullptr);
}

}  // namespace
