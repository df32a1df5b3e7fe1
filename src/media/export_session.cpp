#include "media/export_session.h"

#include <sys/stat.h>

#include <atomic>
#include <cmath>
#include <cstring>

#include "base/json.h"
#include "base/log.h"
#include "bridge/rpc_routes.h"
#include "platform/files.h"
#include "platform/media_sink.h"

using nlohmann::json;
namespace pm = platform::media;

namespace {

constexpr int64_t kVideoSampleDuration = 333667;  // 100-ns units
constexpr int64_t kAudioBitrate = 20000 * 8;       // 20,000 bytes per second
constexpr int kMaxFrameSide = 16384;
// No hardware device behind the platform layer: the device step fails and the encoder runs in software.
constexpr unsigned long kNoDeviceHr = 0x887A0004UL;  // DXGI_ERROR_UNSUPPORTED
constexpr int kMaxVideoWriteFailureLogs = 8;
std::atomic<int> g_videoWriteFailureLogs{0};

unsigned long HrOf(int avError) { return static_cast<unsigned long>(static_cast<uint32_t>(avError)); }

// A whole number in i32 range, or the reply's error text.
bool ReadInt32(const json& payload, const char* key, int32_t& out, std::string& error) {
  auto it = payload.find(key);
  if (it == payload.end() || it->is_null()) return true;
  if (!it->is_number()) {
    error = std::string("invalid parameter type: ") + key;
    return false;
  }
  const double v = it->get<double>();
  if (!std::isfinite(v) || v != std::floor(v) || v < -2147483648.0 || v > 2147483647.0) {
    error = std::string("invalid parameter value: ") + key;
    return false;
  }
  out = static_cast<int32_t>(v);
  return true;
}

}  // namespace

bool ReadExportOptions(const json& payload, ExportOptions& options, std::string& error) {
  options = ExportOptions{};
  if (!payload.is_object() && !payload.is_null()) {
    error = "Output path is required";
    return false;
  }
  const json& p = payload.is_object() ? payload : json::object();
  PayloadReader reader(p);
  options.outputPath = reader.String("outputPath");
  if (!reader.ok()) {
    error = reader.Error();
    return false;
  }
  if (!ReadInt32(p, "width", options.width, error) || !ReadInt32(p, "height", options.height, error) ||
      !ReadInt32(p, "bitrate", options.bitrate, error) || !ReadInt32(p, "audioChannels", options.audioChannels, error) ||
      !ReadInt32(p, "audioSampleRate", options.audioSampleRate, error)) {
    return false;
  }
  if (options.outputPath.empty()) {
    error = "Output path is required";
    return false;
  }
  return true;
}

void ConvertRgbaToNv12(const uint8_t* rgba, int width, int height, uint8_t* nv12) {
  const size_t w = static_cast<size_t>(width);
  const size_t h = static_cast<size_t>(height);
  uint8_t* yPlane = nv12;
  uint8_t* uvPlane = nv12 + w * h;
  for (size_t y = 0; y < h; ++y) {
    const uint8_t* src = rgba + y * w * 4;
    uint8_t* dst = yPlane + y * w;
    for (size_t x = 0; x < w; ++x) {
      const int r = src[x * 4], g = src[x * 4 + 1], b = src[x * 4 + 2];
      dst[x] = static_cast<uint8_t>(((66 * r + 129 * g + 25 * b) >> 8) + 16);
    }
  }
  for (size_t y = 0; y < h; y += 2) {
    const uint8_t* src = rgba + y * w * 4;
    uint8_t* dst = uvPlane + (y / 2) * w;
    for (size_t x = 0; x < w; x += 2) {
      const int r = src[x * 4], g = src[x * 4 + 1], b = src[x * 4 + 2];
      dst[x] = static_cast<uint8_t>(((-38 * r - 74 * g + 112 * b) >> 8) + 128);
      dst[x + 1] = static_cast<uint8_t>(((112 * r - 94 * g - 18 * b) >> 8) + 128);
    }
  }
}

void SwapRgbaBgra(const uint8_t* rgba, size_t pixels, uint8_t* bgra) {
  for (size_t i = 0; i < pixels; ++i) {
    bgra[i * 4] = rgba[i * 4 + 2];
    bgra[i * 4 + 1] = rgba[i * 4 + 1];
    bgra[i * 4 + 2] = rgba[i * 4];
    bgra[i * 4 + 3] = rgba[i * 4 + 3];
  }
}

int16_t FloatToPcm16(float x) {
  if (std::isnan(x)) return 0;
  const float clamped = x < -1.0f ? -1.0f : (x > 1.0f ? 1.0f : x);
  return static_cast<int16_t>(std::lround(clamped * 32767.0f));
}

bool VideoSampleTime(double timeUs, int64_t& time100ns) {
  if (!std::isfinite(timeUs)) return false;
  const double t = timeUs * 10.0;
  // 2^63 is exactly representable; anything at or past it would not fit a signed 64-bit time.
  if (t >= 9223372036854775808.0 || t < -9223372036854775808.0) return false;
  time100ns = static_cast<int64_t>(t);
  return true;
}

int64_t AudioSampleTime(int64_t frames, uint32_t sampleRate) {
  if (sampleRate == 0 || frames <= 0) return 0;
  return static_cast<int64_t>(static_cast<__int128>(frames) * 10000000 / sampleRate);
}

NativeExportSession::NativeExportSession() = default;
NativeExportSession::~NativeExportSession() = default;  // the writer goes unfinished: its file is removed

bool NativeExportSession::Begin(const ExportOptions& options, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (sinkWriter_) FinalizeLocked();
  if (options.outputPath.empty()) {
    error = "Output path is required";
    return false;
  }
  // The NV12 conversion works on whole 2x2 blocks, so the frame size must be even.
  if (options.width < 2 || options.height < 2 || options.width > kMaxFrameSide || options.height > kMaxFrameSide ||
      (options.width % 2) != 0 || (options.height % 2) != 0) {
    error = "width and height must be even and between 2 and 16384";
    return false;
  }
  if (options.audioChannels > 0 && options.audioSampleRate <= 0) {
    error = "audioSampleRate must be positive when audioChannels is set";
    return false;
  }

  LogPrintf("[export] D3D11CreateDevice failed hr=0x%08lx (encoder will run in software)\n", kNoDeviceHr);
  std::string cause;
  std::unique_ptr<pm::SinkWriter> writer = pm::SinkWriter::CreateForFile(options.outputPath, &cause);
  if (!writer) {
    error = platform::WithCause("MFCreateSinkWriterFromURL failed", cause);
    return false;
  }
  pm::SinkVideoFormat video;
  video.width = options.width;
  video.height = options.height;
  video.bitrate = options.bitrate;
  if (!writer->AddVideoStream(video)) {
    error = "AddStream(video/H264) failed -- codec not available?";
    return false;
  }
  bool nv12 = writer->SetVideoInput(pm::SinkVideoInput::Nv12);
  if (!nv12) {
    LogPrintf("[export] SetInputMediaType(video/NV12) failed hr=0x%08lx -- falling back to RGB32\n",
              HrOf(writer->lastError()));
    if (!writer->SetVideoInput(pm::SinkVideoInput::Bgra)) {
      error = "SetInputMediaType(video/RGB32) failed";
      return false;
    }
  }
  bool audio = options.audioChannels > 0;
  if (audio) {
    pm::SinkAudioFormat format;
    format.sampleRate = options.audioSampleRate;
    format.channels = options.audioChannels;
    format.bitrate = kAudioBitrate;
    audio = writer->AddAudioStream(format);
    if (!audio) {
      LogPrintf("[export] audio stream setup failed hr=0x%08lx -- exporting without audio\n",
                HrOf(writer->lastError()));
    }
  }
  if (!writer->BeginWriting()) {
    error = "BeginWriting failed";
    return false;
  }
  LogPrintf("[export] video encoder MFT: \"%s\" hardware=%d\n", writer->videoEncoderName().c_str(), 0);
  LogPrintf("[export] video input type: %s\n", nv12 ? "NV12" : "RGB32 (fallback)");

  const size_t w = static_cast<size_t>(options.width), h = static_cast<size_t>(options.height);
  videoBuffer_.assign(nv12 ? w * h * 3 / 2 : w * h * 4, 0);
  sinkWriter_ = std::move(writer);
  nv12Input_ = nv12;
  width_ = static_cast<uint32_t>(options.width);
  height_ = static_cast<uint32_t>(options.height);
  outputPath_ = options.outputPath;
  sampleRate_ = audio ? static_cast<uint32_t>(options.audioSampleRate) : 0;
  channels_ = audio ? static_cast<uint32_t>(options.audioChannels) : 0;
  videoFrames_ = 0;
  audioFramesWritten_ = 0;
  return true;
}

bool NativeExportSession::WriteVideoFrame(const uint8_t* rgba, size_t length, uint32_t width, uint32_t height,
                                          double timeUs) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!sinkWriter_ || !rgba) return false;
  // The pixels the frame claims must be in the message (64-bit product, no wrap), and the
  // frame must be the session's size: the conversion reads exactly that many.
  if (width != width_ || height != height_) return false;
  if (static_cast<uint64_t>(width) * height > length / 4) return false;
  int64_t time100ns = 0;
  if (!VideoSampleTime(timeUs, time100ns)) return false;
  if (nv12Input_) {
    ConvertRgbaToNv12(rgba, static_cast<int>(width), static_cast<int>(height), videoBuffer_.data());
  } else {
    SwapRgbaBgra(rgba, static_cast<size_t>(width) * height, videoBuffer_.data());
  }
  if (!sinkWriter_->WriteVideoSample(videoBuffer_.data(), videoBuffer_.size(), time100ns, kVideoSampleDuration)) {
    if (g_videoWriteFailureLogs.fetch_add(1) < kMaxVideoWriteFailureLogs) {
      LogPrintf("[export] WriteSample(video) failed hr=0x%08lx (frame %lld)\n", HrOf(sinkWriter_->lastError()),
                static_cast<long long>(videoFrames_));
    }
    return false;
  }
  ++videoFrames_;
  return true;
}

bool NativeExportSession::WriteAudioFrames(const uint8_t* samples, size_t length, uint32_t frames,
                                           uint32_t channels) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!sinkWriter_ || channels_ == 0 || frames == 0 || !samples) return false;
  // Only the layout the stream was opened with; anything else would be mixed into the wrong channels.
  if (channels != channels_) return false;
  const uint64_t count = static_cast<uint64_t>(frames) * channels;
  if (count > length / 4) return false;
  audioBuffer_.resize(static_cast<size_t>(count));
  for (size_t i = 0; i < count; ++i) {
    float x;
    std::memcpy(&x, samples + i * 4, sizeof x);
    audioBuffer_[i] = FloatToPcm16(x);
  }
  const int64_t time100ns = AudioSampleTime(audioFramesWritten_, sampleRate_);
  if (!sinkWriter_->WriteAudioSample(audioBuffer_.data(), frames, time100ns)) return false;
  audioFramesWritten_ += frames;
  return true;
}

NativeExportResult NativeExportSession::Finalize() {
  std::lock_guard<std::mutex> lock(mutex_);
  return FinalizeLocked();
}

NativeExportResult NativeExportSession::FinalizeLocked() {
  NativeExportResult result;
  if (!sinkWriter_) {
    result.error = "export session not started";
    return result;
  }
  const bool ok = sinkWriter_->Finalize();
  if (!ok) LogPrintf("[export] Finalize failed hr=0x%08lx\n", HrOf(sinkWriter_->lastError()));
  sinkWriter_.reset();  // an unfinished writer removes its temporary file
  videoBuffer_.clear();
  videoBuffer_.shrink_to_fit();
  audioBuffer_.clear();
  audioBuffer_.shrink_to_fit();
  if (!ok) {
    result.error = "Finalize failed";
    return result;
  }
  result.ok = true;
  result.outputPath = outputPath_;
  result.frames = videoFrames_;
  struct stat st;
  if (::stat(outputPath_.c_str(), &st) == 0) result.fileSize = static_cast<uint64_t>(st.st_size);
  return result;
}

bool NativeExportSession::started() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sinkWriter_ != nullptr;
}
int64_t NativeExportSession::videoFrames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return videoFrames_;
}
int64_t NativeExportSession::audioFramesWritten() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return audioFramesWritten_;
}
bool NativeExportSession::audioEnabled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return channels_ != 0;
}

namespace media {

void RegisterExportRows(RpcRouteTable& routes, std::shared_ptr<NativeExportSession> session) {
  routes.Register({"startNativeExport"}, [session](const RpcRequest& r) {
    ExportOptions options;
    std::string error;
    if (!ReadExportOptions(r.payload, options, error)) return r.ReplyError(error);
    if (!session->Begin(options, error)) return r.ReplyError(error);
    r.Reply({{"status", "started"}, {"outputPath", options.outputPath}});
  });
  routes.Register({"finishNativeExport"}, [session](const RpcRequest& r) {
    NativeExportResult result = session->Finalize();
    if (!result.ok) return r.ReplyError(result.error);
    r.Reply({{"success", true}, {"outputPath", result.outputPath}, {"fileSize", result.fileSize},
             {"frames", result.frames}});
  });
}

}  // namespace media
