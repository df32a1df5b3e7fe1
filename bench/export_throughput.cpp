// Export throughput: 600 frames of 1920x1080 RGBA with stereo audio through the export session,
// beside the ffmpeg command line encoding the same raw frames (rawvideo rgba from a pipe, libx264
// with the same preset, profile and bitrate, aac) in the same run. Prints frames per second.
//
//   qv_bench_export_throughput [frames]
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "media/export_session.h"
#include "platform/media_sink.h"

namespace {

constexpr int kWidth = 1920, kHeight = 1080, kRate = 48000, kChannels = 2, kBitrate = 8000000;
constexpr int kAudioPerFrame = kRate / 30;
constexpr int kPatterns = 8;

using Clock = std::chrono::steady_clock;

// A scratch folder under $TMPDIR, removed at the end.
class Scratch {
 public:
  Scratch() {
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/qv-bench-export-XXXXXX";
    if (mkdtemp(tmpl.data())) path_ = tmpl;
  }
  ~Scratch() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A few distinct frames (a moving gradient with blocks), cycled, so generating them costs nothing in the timing.
std::vector<std::vector<uint8_t>> MakeFrames() {
  std::vector<std::vector<uint8_t>> frames(kPatterns);
  for (int f = 0; f < kPatterns; ++f) {
    auto& rgba = frames[f];
    rgba.resize(static_cast<size_t>(kWidth) * kHeight * 4);
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        uint8_t* p = &rgba[(static_cast<size_t>(y) * kWidth + x) * 4];
        const int xs = x + f * 24;
        p[0] = static_cast<uint8_t>(xs * 255 / (kWidth + kPatterns * 24));
        p[1] = static_cast<uint8_t>(y * 255 / kHeight);
        p[2] = static_cast<uint8_t>(((xs / 64) ^ (y / 64)) & 1 ? 200 : 40);
        p[3] = 255;
      }
    }
  }
  return frames;
}

std::vector<float> MakeAudio(int frames) {
  std::vector<float> pcm(static_cast<size_t>(frames) * kAudioPerFrame * kChannels);
  for (size_t i = 0; i < pcm.size() / kChannels; ++i) {
    const float v = 0.4f * static_cast<float>(std::sin(2 * M_PI * 440.0 * static_cast<double>(i) / kRate));
    pcm[i * 2] = v;
    pcm[i * 2 + 1] = -v;
  }
  return pcm;
}

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double RunSession(const std::string& path, int frames, const std::vector<std::vector<uint8_t>>& video,
                  const std::vector<float>& audio) {
  NativeExportSession session;
  ExportOptions options;
  options.outputPath = path;
  options.width = kWidth;
  options.height = kHeight;
  options.bitrate = kBitrate;
  options.audioChannels = kChannels;
  options.audioSampleRate = kRate;
  const auto t0 = Clock::now();
  std::string error;
  if (!session.Begin(options, error)) {
    std::fprintf(stderr, "Begin failed: %s\n", error.c_str());
    return -1;
  }
  const size_t audioBytes = static_cast<size_t>(kAudioPerFrame) * kChannels * 4;
  for (int i = 0; i < frames; ++i) {
    const auto& rgba = video[i % kPatterns];
    session.WriteVideoFrame(rgba.data(), rgba.size(), kWidth, kHeight, i * 1e6 / 30);
    session.WriteAudioFrames(reinterpret_cast<const uint8_t*>(audio.data()) + i * audioBytes, audioBytes,
                             kAudioPerFrame, kChannels);
  }
  NativeExportResult r = session.Finalize();
  const auto t1 = Clock::now();
  if (!r.ok || r.frames != frames) {
    std::fprintf(stderr, "export failed: %s (%lld frames)\n", r.error.c_str(), static_cast<long long>(r.frames));
    return -1;
  }
  return frames / Seconds(t0, t1);
}

double RunFfmpeg(const Scratch& dir, int frames, const std::vector<std::vector<uint8_t>>& video,
                 const std::vector<float>& audio) {
  const std::string audioPath = dir / "audio.f32";
  if (FILE* f = std::fopen(audioPath.c_str(), "wb")) {
    std::fwrite(audio.data(), sizeof(float), audio.size(), f);
    std::fclose(f);
  }
  const std::string command =
      "ffmpeg -v error -y -f rawvideo -pix_fmt rgba -s " + std::to_string(kWidth) + "x" + std::to_string(kHeight) +
      " -r 30 -i - -f f32le -ar " + std::to_string(kRate) + " -ac " + std::to_string(kChannels) + " -i '" + audioPath +
      "' -c:v libx264 -pix_fmt yuv420p -preset " + platform::media::kSinkX264Preset + " -profile:v " +
      platform::media::kSinkX264Profile + " -b:v " + std::to_string(kBitrate) + " -c:a aac -b:a 160000 '" +
      (dir / "cli.mp4") + "'";
  const auto t0 = Clock::now();
  FILE* pipe = popen(command.c_str(), "w");
  if (!pipe) return -1;
  for (int i = 0; i < frames; ++i) {
    const auto& rgba = video[i % kPatterns];
    if (std::fwrite(rgba.data(), 1, rgba.size(), pipe) != rgba.size()) break;
  }
  const int status = pclose(pipe);
  const auto t1 = Clock::now();
  if (status != 0) {
    std::fprintf(stderr, "ffmpeg failed (status %d)\n", status);
    return -1;
  }
  return frames / Seconds(t0, t1);
}

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::max(1, std::atoi(argv[1])) : 600;
  Scratch dir;
  const auto video = MakeFrames();
  const auto audio = MakeAudio(frames);
  std::printf("export %d frames %dx%d RGBA + stereo %d Hz audio; libx264 preset %s, profile %s, %d bit/s; aac\n",
              frames, kWidth, kHeight, kRate, platform::media::kSinkX264Preset, platform::media::kSinkX264Profile,
              kBitrate);
  const double cli = RunFfmpeg(dir, frames, video, audio);
  const double ours = RunSession(dir / "session.mp4", frames, video, audio);
  std::printf("ffmpeg command line (rawvideo rgba from a pipe): %8.1f frames/s\n", cli);
  std::printf("export session:                                  %8.1f frames/s\n", ours);
  if (cli > 0 && ours > 0) std::printf("ratio: %.2fx (goal >= 0.9x)\n", ours / cli);
  return cli > 0 && ours > 0 ? 0 : 1;
}
