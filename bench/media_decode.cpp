// Decoding speed of the native player's path: a 1080p H.264 file of 30 s (made here with the
// ffmpeg command line) decoded to RGBA frames as fast as the source reader allows, without
// pacing, beside `ffmpeg -i file -f rawvideo -pix_fmt rgba -` to /dev/null in the same run.
// Also the memory one open player holds (decoder, frame and message buffers).
//
// qv_bench_media_decode [seconds=30] [width=1920] [height=1080]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "media/player_frames.h"
#include "platform/media_source.h"

namespace pm = platform::media;
using Clock = std::chrono::steady_clock;

namespace {

long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

struct Run {
  int frames = 0;
  double seconds = 0;
};

// The player's path: NV12 from the reader, converted to RGBA into an "RNVQ" message.
Run DecodeLikeThePlayer(const std::string& path, long* heldKiB) {
  Run run;
  const long before = ResidentKiB();
  const Clock::time_point start = Clock::now();
  auto reader = pm::SourceReader::OpenFile(path, nullptr);
  if (!reader) return run;
  reader->SetOutput(pm::PixelFormat::Nv12);
  pm::VideoFrame frame;
  std::vector<uint8_t> message;
  while (reader->ReadFrame(frame) == pm::ReadResult::Frame) {
    const media::ImageSize size = media::OutputImageSize(frame.width, frame.height, 0, 0);
    uint8_t* pixels = media::PrepareRnvqFrame(message, 1, size.width, size.height, frame.time / 1e7, 0);
    media::Nv12Picture picture{frame.data.data(), frame.data.size(), frame.width, frame.height, frame.stride,
                               frame.height};
    media::ConvertNv12ToRgbaScaled(picture, pixels, size.width, size.height);
    if (++run.frames == 30) *heldKiB = ResidentKiB() - before;
  }
  run.seconds = Seconds(start);
  return run;
}

// The reader alone, RGBA straight out of swscale.
Run DecodeRgba(const std::string& path) {
  Run run;
  const Clock::time_point start = Clock::now();
  auto reader = pm::SourceReader::OpenFile(path, nullptr);
  if (!reader) return run;
  reader->SetOutput(pm::PixelFormat::Rgba);
  pm::VideoFrame frame;
  while (reader->ReadFrame(frame) == pm::ReadResult::Frame) ++run.frames;
  run.seconds = Seconds(start);
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
  const int width = argc > 2 ? std::atoi(argv[2]) : 1920;
  const int height = argc > 3 ? std::atoi(argv[3]) : 1080;
  pm::StartMediaFacility();
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qv-bench-media-XXXXXX";
  if (!mkdtemp(pattern.data())) return 1;
  const std::string path = pattern + "/bench.mp4";
  char make[512];
  std::snprintf(make, sizeof make,
                "ffmpeg -nostdin -y -v error -f lavfi -i testsrc2=size=%dx%d:rate=30:duration=%d -c:v libx264 "
                "-preset veryfast -pix_fmt yuv420p '%s'",
                width, height, seconds, path.c_str());
  std::printf("making a %dx%d H.264 file of %d s ...\n", width, height, seconds);
  if (std::system(make) != 0) return 1;

  const std::string reference = "ffmpeg -nostdin -v error -i '" + path + "' -f rawvideo -pix_fmt rgba - >/dev/null";
  Clock::time_point start = Clock::now();
  if (std::system(reference.c_str()) != 0) return 1;
  const double ffmpegSeconds = Seconds(start);
  const double frames = 30.0 * seconds;

  long heldKiB = 0;
  const Run player = DecodeLikeThePlayer(path, &heldKiB);
  const Run rgba = DecodeRgba(path);
  const double ffmpegFps = frames / ffmpegSeconds;
  std::printf("%-44s %8.1f frames/s\n", "ffmpeg -f rawvideo -pix_fmt rgba (reference)", ffmpegFps);
  std::printf("%-44s %8.1f frames/s  (%.2fx the reference, %d frames)\n", "player path (NV12 + RGBA conversion)",
              player.frames / player.seconds, player.frames / player.seconds / ffmpegFps, player.frames);
  std::printf("%-44s %8.1f frames/s  (%.2fx the reference, %d frames)\n", "source reader RGBA (swscale)",
              rgba.frames / rgba.seconds, rgba.frames / rgba.seconds / ffmpegFps, rgba.frames);
  std::printf("memory held by one player while decoding: %ld KiB resident\n", heldKiB);
  std::remove(path.c_str());
  rmdir(pattern.c_str());
  return 0;
}
