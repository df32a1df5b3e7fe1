#include "platform/ffmpeg/ffmpeg_engine.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "base/strings.h"
#include "platform/crypto.h"
#include "platform/files.h"
#include "platform/unique_fd.h"

namespace platform::media {

namespace {

constexpr AVRational k100ns{1, 10000000};
constexpr int kAvioBufferSize = 1 << 16;

struct CodecCloser {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameCloser {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketCloser {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwrCloser {
  void operator()(SwrContext* s) const { swr_free(&s); }
};
struct SwsCloser {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using CodecPtr = std::unique_ptr<AVCodecContext, CodecCloser>;
using FramePtr = std::unique_ptr<AVFrame, FrameCloser>;
using PacketPtr = std::unique_ptr<AVPacket, PacketCloser>;

// The libraries' progress chatter stays out of the host's output; their errors still show.
void QuietLibraryLog() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}

std::string RandomSuffix() {
  uint8_t bytes[6];
  if (!RandomBytes(bytes, sizeof bytes)) return {};
  return HexLower(bytes, sizeof bytes);
}

}  // namespace

struct SinkState {
  std::string target;
  std::string temp;
  UniqueFd fd;
  bool finalized = false;
  bool writing = false;
  bool failed = false;  // a write or flush failed: the file can no longer be trusted
  int lastError = 0;

  const AVOutputFormat* format = nullptr;
  AVFormatContext* mux = nullptr;
  AVIOContext* io = nullptr;

  SinkVideoFormat videoFormat;
  bool videoAdded = false;
  SinkVideoInput videoInput = SinkVideoInput::Nv12;
  CodecPtr video;
  AVStream* videoStream = nullptr;
  FramePtr videoFrame;
  std::unique_ptr<SwsContext, SwsCloser> sws;
  int64_t lastVideoTime = INT64_MIN;
  bool anyVideo = false;

  SinkAudioFormat audioFormat;
  CodecPtr audio;
  AVStream* audioStream = nullptr;
  FramePtr audioFrame;
  std::unique_ptr<SwrContext, SwrCloser> swr;
  std::vector<int16_t> pendingAudio;  // interleaved samples not yet a whole encoder frame
  int64_t nextAudioPts = 0;           // in samples, of the first pending sample
  bool audioPlaced = false;

  PacketPtr packet{av_packet_alloc()};

  ~SinkState() {
    // Encoders first (they may hold frames), then the muxer and our I/O context.
    video.reset();
    audio.reset();
    if (mux) avformat_free_context(mux);
    if (io) {
      av_freep(&io->buffer);
      avio_context_free(&io);
    }
    fd.Reset();
    if (!finalized && !temp.empty()) ::unlink(temp.c_str());
  }

  bool Fail(int err) {
    lastError = err < 0 ? err : AVERROR_UNKNOWN;
    return false;
  }

  static int WritePacket(void* opaque, uint8_t* buf, int size) {
    auto* self = static_cast<SinkState*>(opaque);
    size_t done = 0;
    while (done < static_cast<size_t>(size)) {
      ssize_t n = ::write(self->fd.get(), buf + done, static_cast<size_t>(size) - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        return AVERROR(errno);
      }
      done += static_cast<size_t>(n);
    }
    return size;
  }

  static int64_t Seek(void* opaque, int64_t offset, int whence) {
    auto* self = static_cast<SinkState*>(opaque);
    if (whence & AVSEEK_SIZE) {
      struct stat st;
      if (fstat(self->fd.get(), &st) != 0) return AVERROR(errno);
      return st.st_size;
    }
    whence &= ~AVSEEK_FORCE;
    off_t r = ::lseek(self->fd.get(), offset, whence);
    return r < 0 ? AVERROR(errno) : r;
  }

  // Sends what the encoder has ready to the muxer.
  bool Drain(AVCodecContext* codec, AVStream* stream, int64_t defaultDuration) {
    for (;;) {
      int r = avcodec_receive_packet(codec, packet.get());
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
      if (r < 0) return Fail(r);
      if (packet->duration == 0) packet->duration = defaultDuration;
      av_packet_rescale_ts(packet.get(), codec->time_base, stream->time_base);
      packet->stream_index = stream->index;
      r = av_interleaved_write_frame(mux, packet.get());  // takes the packet's reference
      if (r < 0) return Fail(r);
    }
  }

  // Encodes `frames` pending samples per channel from `offset` (in samples, all channels).
  bool SendAudioFrame(size_t offset, int frames) {
    int r = av_frame_make_writable(audioFrame.get());
    if (r < 0) return Fail(r);
    audioFrame->nb_samples = frames;
    const uint8_t* in[1] = {reinterpret_cast<const uint8_t*>(pendingAudio.data() + offset)};
    r = swr_convert(swr.get(), audioFrame->data, frames, in, frames);
    if (r != frames) return Fail(r < 0 ? r : AVERROR_BUG);
    audioFrame->pts = nextAudioPts;
    r = avcodec_send_frame(audio.get(), audioFrame.get());
    if (r < 0) return Fail(r);
    nextAudioPts += frames;
    return Drain(audio.get(), audioStream, frames);
  }

  bool OpenEncoder(AVCodecContext* codec) {
    if (format->flags & AVFMT_GLOBALHEADER) codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int r = avcodec_open2(codec, codec->codec, nullptr);
    return r < 0 ? Fail(r) : true;
  }

  AVStream* NewStream(AVCodecContext* codec) {
    AVStream* stream = avformat_new_stream(mux, nullptr);
    if (!stream) return nullptr;
    if (avcodec_parameters_from_context(stream->codecpar, codec) < 0) return nullptr;
    stream->time_base = codec->time_base;
    return stream;
  }
};

// The writer the engine hands out: the encoding state behind the facade's interface.
class FfmpegSinkWriter final : public SinkWriter {
 public:
  explicit FfmpegSinkWriter(std::unique_ptr<SinkState> state) : s_(std::move(state)) {}
  bool AddVideoStream(const SinkVideoFormat& format) override;
  bool SetVideoInput(SinkVideoInput input) override;
  bool AddAudioStream(const SinkAudioFormat& format) override;
  bool BeginWriting() override;
  bool WriteVideoSample(const uint8_t* data, size_t length, int64_t time100ns, int64_t duration100ns) override;
  bool WriteAudioSample(const int16_t* pcm, size_t frames, int64_t time100ns) override;
  bool Finalize() override;
  bool hasAudio() const override;
  std::string videoEncoderName() const override;
  int lastError() const override;
  const std::string& temporaryPath() const override;

 private:
  std::unique_ptr<SinkState> s_;
};

std::unique_ptr<SinkWriter> CreateFfmpegSink(const std::string& path, std::string* cause) {
  namespace fs = std::filesystem;
  QuietLibraryLog();
  std::string ignored;
  std::string& why = cause ? *cause : ignored;
  why.clear();
  const fs::path target(path);
  const std::string name = target.filename().string();
  // A NUL inside would name another file than the one asked for.
  if (path.find('\0') != std::string::npos) return nullptr;
  // A folder under the target name would only refuse the rename once everything was encoded.
  struct stat st;
  if (name.empty() || name == "." || name == ".." || (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
    why = FileErrorCause(EISDIR);
    return nullptr;
  }
  const AVOutputFormat* format = av_guess_format(nullptr, name.c_str(), nullptr);
  // A format without a file of its own (image sequences, devices) is not a single output file.
  if (!format || (format->flags & AVFMT_NOFILE)) {
    why = "no container format for the file's extension";
    return nullptr;
  }

  auto state = std::make_unique<SinkState>();
  state->target = path;
  state->format = format;
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  for (int attempt = 0; attempt < 8 && !state->fd; ++attempt) {
    const std::string suffix = RandomSuffix();
    if (suffix.empty()) return nullptr;
    const std::string temp = (folder / ("." + name + "." + suffix + ".part")).string();
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      state->fd.Reset(fd);
      state->temp = temp;
    } else if (errno != EEXIST) {
      why = FileErrorCause(errno);
      return nullptr;
    }
  }
  if (!state->fd) return nullptr;

  if (avformat_alloc_output_context2(&state->mux, format, nullptr, nullptr) < 0 || !state->mux) return nullptr;
  auto* buffer = static_cast<uint8_t*>(av_malloc(kAvioBufferSize));
  if (!buffer) return nullptr;
  state->io = avio_alloc_context(buffer, kAvioBufferSize, 1, state.get(), nullptr, &SinkState::WritePacket, &SinkState::Seek);
  if (!state->io) {
    av_free(buffer);
    return nullptr;
  }
  state->mux->pb = state->io;
  state->mux->flags |= AVFMT_FLAG_CUSTOM_IO;
  return std::make_unique<FfmpegSinkWriter>(std::move(state));
}

bool FfmpegSinkWriter::AddVideoStream(const SinkVideoFormat& f) {
  SinkState& s = *s_;
  if (s.videoAdded || s.writing) return false;
  if (f.width < 2 || f.height < 2 || f.width > 16384 || f.height > 16384 || (f.width % 2) || (f.height % 2) ||
      f.bitrate <= 0 || f.frameRateNum <= 0 || f.frameRateDen <= 0) {
    return s.Fail(AVERROR(EINVAL));
  }
  if (avformat_query_codec(s.format, AV_CODEC_ID_H264, FF_COMPLIANCE_NORMAL) == 0) {
    return s.Fail(AVERROR_MUXER_NOT_FOUND);
  }
  if (!avcodec_find_encoder_by_name("libx264")) return s.Fail(AVERROR_ENCODER_NOT_FOUND);
  s.videoFormat = f;
  s.videoAdded = true;
  return true;
}

bool FfmpegSinkWriter::SetVideoInput(SinkVideoInput input) {
  SinkState& s = *s_;
  if (!s.videoAdded || s.video || s.writing) return false;
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) return s.Fail(AVERROR_ENCODER_NOT_FOUND);
  AVPixelFormat encoderFormat = AV_PIX_FMT_NONE;
  if (input == SinkVideoInput::Nv12) {
    for (const AVPixelFormat* p = codec->pix_fmts; p && *p != AV_PIX_FMT_NONE; ++p) {
      if (*p == AV_PIX_FMT_NV12) encoderFormat = AV_PIX_FMT_NV12;
    }
    if (encoderFormat == AV_PIX_FMT_NONE) return s.Fail(AVERROR(ENOSYS));
  } else {
    encoderFormat = AV_PIX_FMT_YUV420P;
  }
  const SinkVideoFormat& f = s.videoFormat;
  CodecPtr c(avcodec_alloc_context3(codec));
  if (!c) return s.Fail(AVERROR(ENOMEM));
  c->width = f.width;
  c->height = f.height;
  c->pix_fmt = encoderFormat;
  c->time_base = k100ns;
  c->framerate = AVRational{f.frameRateNum, f.frameRateDen};
  c->sample_aspect_ratio = AVRational{1, 1};
  c->bit_rate = f.bitrate;
  c->field_order = AV_FIELD_PROGRESSIVE;
  // The page's pixels are converted with BT.601 studio-range coefficients.
  c->color_range = AVCOL_RANGE_MPEG;
  c->colorspace = AVCOL_SPC_SMPTE170M;
  c->color_primaries = AVCOL_PRI_SMPTE170M;
  c->color_trc = AVCOL_TRC_SMPTE170M;
  av_opt_set(c->priv_data, "preset", kSinkX264Preset, 0);
  av_opt_set(c->priv_data, "profile", kSinkX264Profile, 0);
  if (!s.OpenEncoder(c.get())) return false;

  FramePtr frame(av_frame_alloc());
  if (!frame) return s.Fail(AVERROR(ENOMEM));
  frame->format = encoderFormat;
  frame->width = f.width;
  frame->height = f.height;
  int r = av_frame_get_buffer(frame.get(), 0);
  if (r < 0) return s.Fail(r);
  if (input == SinkVideoInput::Bgra) {
    s.sws.reset(sws_getContext(f.width, f.height, AV_PIX_FMT_BGRA, f.width, f.height, encoderFormat, SWS_BILINEAR,
                               nullptr, nullptr, nullptr));
    if (!s.sws) return s.Fail(AVERROR(ENOMEM));
  }
  s.videoStream = s.NewStream(c.get());
  if (!s.videoStream) return s.Fail(AVERROR(ENOMEM));
  s.videoStream->avg_frame_rate = c->framerate;
  s.video = std::move(c);
  s.videoFrame = std::move(frame);
  s.videoInput = input;
  return true;
}

bool FfmpegSinkWriter::AddAudioStream(const SinkAudioFormat& f) {
  SinkState& s = *s_;
  if (!s.video || s.audio || s.writing) return false;
  if (f.channels < 1 || f.channels > 8 || f.sampleRate <= 0 || f.bitrate <= 0) return s.Fail(AVERROR(EINVAL));
  if (avformat_query_codec(s.format, AV_CODEC_ID_AAC, FF_COMPLIANCE_NORMAL) == 0) {
    return s.Fail(AVERROR_MUXER_NOT_FOUND);
  }
  const AVCodec* codec = avcodec_find_encoder_by_name("aac");
  if (!codec) return s.Fail(AVERROR_ENCODER_NOT_FOUND);
  if (codec->supported_samplerates) {
    bool known = false;
    for (const int* r = codec->supported_samplerates; *r; ++r) known = known || *r == f.sampleRate;
    if (!known) return s.Fail(AVERROR(EINVAL));
  }
  CodecPtr c(avcodec_alloc_context3(codec));
  if (!c) return s.Fail(AVERROR(ENOMEM));
  c->sample_fmt = AV_SAMPLE_FMT_FLTP;
  c->sample_rate = f.sampleRate;
  av_channel_layout_default(&c->ch_layout, f.channels);
  c->bit_rate = f.bitrate;
  c->time_base = AVRational{1, f.sampleRate};
  if (!s.OpenEncoder(c.get())) return false;

  SwrContext* swr = nullptr;
  int r = swr_alloc_set_opts2(&swr, &c->ch_layout, AV_SAMPLE_FMT_FLTP, f.sampleRate, &c->ch_layout,
                              AV_SAMPLE_FMT_S16, f.sampleRate, 0, nullptr);
  std::unique_ptr<SwrContext, SwrCloser> swrOwner(swr);
  if (r < 0) return s.Fail(r);
  r = swr_init(swr);
  if (r < 0) return s.Fail(r);

  FramePtr frame(av_frame_alloc());
  if (!frame) return s.Fail(AVERROR(ENOMEM));
  frame->format = AV_SAMPLE_FMT_FLTP;
  frame->sample_rate = f.sampleRate;
  frame->nb_samples = c->frame_size > 0 ? c->frame_size : 1024;
  r = av_channel_layout_copy(&frame->ch_layout, &c->ch_layout);
  if (r < 0) return s.Fail(r);
  r = av_frame_get_buffer(frame.get(), 0);
  if (r < 0) return s.Fail(r);

  s.audioStream = s.NewStream(c.get());
  if (!s.audioStream) return s.Fail(AVERROR(ENOMEM));
  s.audioFormat = f;
  s.audio = std::move(c);
  s.audioFrame = std::move(frame);
  s.swr = std::move(swrOwner);
  return true;
}

bool FfmpegSinkWriter::BeginWriting() {
  SinkState& s = *s_;
  if (!s.video || s.writing) return false;
  int r = avformat_write_header(s.mux, nullptr);
  if (r < 0) return s.Fail(r);
  s.writing = true;
  return true;
}

bool FfmpegSinkWriter::WriteVideoSample(const uint8_t* data, size_t length, int64_t time100ns, int64_t duration100ns) {
  SinkState& s = *s_;
  if (!s.writing || s.failed || !data) return false;
  const size_t w = static_cast<size_t>(s.videoFormat.width);
  const size_t h = static_cast<size_t>(s.videoFormat.height);
  const size_t need = s.videoInput == SinkVideoInput::Nv12 ? w * h * 3 / 2 : w * h * 4;
  if (length < need) return s.Fail(AVERROR(EINVAL));
  // The encoder and the muxer need increasing times; a repeat or a step back is refused here
  // rather than breaking the file at the trailer.
  if (s.anyVideo && time100ns <= s.lastVideoTime) return s.Fail(AVERROR(EINVAL));
  AVFrame* frame = s.videoFrame.get();
  int r = av_frame_make_writable(frame);
  if (r < 0) return s.Fail(r);
  if (s.videoInput == SinkVideoInput::Nv12) {
    for (size_t y = 0; y < h; ++y) std::memcpy(frame->data[0] + y * frame->linesize[0], data + y * w, w);
    const uint8_t* uv = data + w * h;
    for (size_t y = 0; y < h / 2; ++y) std::memcpy(frame->data[1] + y * frame->linesize[1], uv + y * w, w);
  } else {
    const uint8_t* src[1] = {data};
    const int srcStride[1] = {static_cast<int>(w * 4)};
    sws_scale(s.sws.get(), src, srcStride, 0, static_cast<int>(h), frame->data, frame->linesize);
  }
  frame->pts = time100ns;
  frame->pkt_duration = duration100ns;
  r = avcodec_send_frame(s.video.get(), frame);
  if (r < 0) {
    s.failed = true;
    return s.Fail(r);
  }
  s.lastVideoTime = time100ns;
  s.anyVideo = true;
  if (!s.Drain(s.video.get(), s.videoStream, duration100ns)) {
    s.failed = true;
    return false;
  }
  return true;
}

bool FfmpegSinkWriter::WriteAudioSample(const int16_t* pcm, size_t frames, int64_t time100ns) {
  SinkState& s = *s_;
  if (!s.writing || s.failed || !s.audio || !pcm || frames == 0) return false;
  const size_t channels = static_cast<size_t>(s.audioFormat.channels);
  // Bounded so that the pending buffer never grows past what one call can hold.
  if (frames > (size_t{1} << 26) / channels) return s.Fail(AVERROR(EINVAL));
  if (!s.audioPlaced) {
    // 100-ns units to samples, in 128 bits so no product can wrap.
    __int128 samples = static_cast<__int128>(time100ns) * s.audioFormat.sampleRate / 10000000;
    s.nextAudioPts = static_cast<int64_t>(samples);
    s.audioPlaced = true;
  }
  s.pendingAudio.insert(s.pendingAudio.end(), pcm, pcm + frames * channels);
  const size_t step = static_cast<size_t>(s.audioFrame->nb_samples) * channels;
  size_t offset = 0;
  for (; s.pendingAudio.size() - offset >= step; offset += step) {
    if (!s.SendAudioFrame(offset, s.audioFrame->nb_samples)) {
      s.failed = true;
      return false;
    }
  }
  // What is left is less than one encoder frame; it waits for the next call.
  s.pendingAudio.erase(s.pendingAudio.begin(), s.pendingAudio.begin() + static_cast<ptrdiff_t>(offset));
  return true;
}

bool FfmpegSinkWriter::Finalize() {
  SinkState& s = *s_;
  if (!s.writing || s.finalized) return false;
  s.writing = false;
  if (s.failed) return false;
  if (s.audio) {
    const size_t channels = static_cast<size_t>(s.audioFormat.channels);
    const int left = static_cast<int>(s.pendingAudio.size() / channels);
    if (left > 0) {
      // The last frame may be short only where the encoder says so; else it is padded with silence.
      int frames = left;
      if (!(s.audio->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME)) {
        frames = s.audioFrame->nb_samples;
        s.pendingAudio.resize(static_cast<size_t>(frames) * channels, 0);
      }
      if (!s.SendAudioFrame(0, frames)) return false;
    }
    int r = avcodec_send_frame(s.audio.get(), nullptr);
    if (r < 0) return s.Fail(r);
    if (!s.Drain(s.audio.get(), s.audioStream, s.audioFrame->nb_samples)) return false;
  }
  int r = avcodec_send_frame(s.video.get(), nullptr);
  if (r < 0) return s.Fail(r);
  const int64_t frameDuration =
      av_rescale_q(1, AVRational{s.videoFormat.frameRateDen, s.videoFormat.frameRateNum}, k100ns);
  if (!s.Drain(s.video.get(), s.videoStream, frameDuration)) return false;
  r = av_write_trailer(s.mux);
  if (r < 0) return s.Fail(r);
  avio_flush(s.io);
  if (s.io->error < 0) return s.Fail(s.io->error);
  if (::fsync(s.fd.get()) != 0) return s.Fail(AVERROR(errno));
  const int fd = s.fd.Release();
  if (::close(fd) != 0) return s.Fail(AVERROR(errno));
  if (::rename(s.temp.c_str(), s.target.c_str()) != 0) return s.Fail(AVERROR(errno));
  s.finalized = true;
  return true;
}

bool FfmpegSinkWriter::hasAudio() const { return s_->audio != nullptr; }

std::string FfmpegSinkWriter::videoEncoderName() const {
  return s_->video && s_->video->codec ? s_->video->codec->name : "?";
}

int FfmpegSinkWriter::lastError() const { return s_->lastError; }

const std::string& FfmpegSinkWriter::temporaryPath() const { return s_->temp; }

}  // namespace platform::media
