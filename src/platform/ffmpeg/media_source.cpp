#include "platform/ffmpeg/ffmpeg_engine.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "platform/files.h"

namespace platform::media {

namespace {

constexpr AVRational kHundredNs{1, 10000000};
constexpr int kIoBufferBytes = 64 * 1024;
// A frame within this much of a seek target counts as the one showing at it (100-ns units), so
// the rounding of a target given in seconds does not pick the frame before.
constexpr int64_t kSeekSlack = 5000;
// Containers that hold their media themselves: none of these names another file or a URL.
constexpr const char* kFormatWhitelist =
    "mov,mp4,m4a,3gp,3g2,mj2,matroska,webm,avi,flv,mpegts,mpeg,h264,hevc,m4v,ivf,ogg,asf,mp3,wav,aac,flac,nut,"
    "yuv4mpegpipe";

std::string ErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(code, text, sizeof text);
  return text;
}

}  // namespace

struct ReaderState {
  std::shared_ptr<MediaByteStream> stream;  // null for a path
  OpenOptions options;
  AVFormatContext* format = nullptr;
  AVIOContext* io = nullptr;  // custom input only
  AVCodecContext* codec = nullptr;
  SwsContext* scaler = nullptr;
  // Audio: the converter to interleaved S16 and the decoded layout it was built for.
  SwrContext* resampler = nullptr;
  AVChannelLayout resamplerIn{};
  int resamplerInFormat = -1, resamplerInRate = 0;
  AVChannelLayout audioOut{};
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  int streamIndex = -1;  // the selected stream
  AVRational timeBase{1, 1};
  int64_t startTime = 0;  // stream time base
  VideoInfo info;
  PixelFormat outFormat = PixelFormat::Nv12;
  int outWidth = 0, outHeight = 0;
  bool draining = false;
  bool readAny = false;
  bool inputFailed = false;  // the demuxer stopped on a failure, not at the end
  int64_t dropBefore = -1;  // 100-ns units; frames showing before it are skipped
  int64_t lastTime = 0;
  // The first io_open is the file itself; any further one (a reference inside the file) is
  // refused.
  bool fileOpened = false;
  int (*defaultIoOpen)(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) = nullptr;

  ~ReaderState() {
    swr_free(&resampler);
    av_channel_layout_uninit(&resamplerIn);
    av_channel_layout_uninit(&audioOut);
    sws_freeContext(scaler);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&format);
    if (io) {
      av_freep(&io->buffer);
      avio_context_free(&io);
    }
  }

  static int ReadPacket(void* opaque, uint8_t* buffer, int size) {
    auto* self = static_cast<ReaderState*>(opaque);
    if (size <= 0) return AVERROR_EOF;
    const uint32_t n = self->stream->Read(buffer, static_cast<uint32_t>(size));
    return n == 0 ? AVERROR_EOF : static_cast<int>(n);
  }

  static int64_t SeekStream(void* opaque, int64_t offset, int whence) {
    auto* self = static_cast<ReaderState*>(opaque);
    const uint64_t length = self->stream->Length();
    if (whence & AVSEEK_SIZE) return static_cast<int64_t>(std::min<uint64_t>(length, INT64_MAX));
    whence &= ~AVSEEK_FORCE;
    int64_t base = 0;
    if (whence == SEEK_CUR) {
      base = static_cast<int64_t>(std::min<uint64_t>(self->stream->Position(), INT64_MAX));
    } else if (whence == SEEK_END) {
      base = static_cast<int64_t>(std::min<uint64_t>(length, INT64_MAX));
    } else if (whence != SEEK_SET) {
      return AVERROR(EINVAL);
    }
    int64_t target = offset > 0 && base > INT64_MAX - offset ? INT64_MAX : base + offset;
    if (target < 0) return AVERROR(EINVAL);
    target = static_cast<int64_t>(std::min<uint64_t>(static_cast<uint64_t>(target), length));
    self->stream->SetPosition(static_cast<uint64_t>(target));
    return target;
  }

  static int OpenOnce(AVFormatContext* s, AVIOContext** pb, const char* url, int flags, AVDictionary** options) {
    auto* self = static_cast<ReaderState*>(s->opaque);
    if (self->stream || self->fileOpened || !self->defaultIoOpen) return AVERROR(EPERM);
    self->fileOpened = true;
    return self->defaultIoOpen(s, pb, url, flags, options);
  }

  OpenResult Open(const std::string& path) {
    OpenResult result;
    auto fail = [&result](OpenStep step, int code) {
      result.failed = step;
      result.code = code;
      result.detail = code != 0 ? ErrorText(code) : "";
      if (code < 0) result.cause = FileErrorCause(AVUNERROR(code));
      return result;
    };
    format = avformat_alloc_context();
    packet = av_packet_alloc();
    frame = av_frame_alloc();
    if (!format || !packet || !frame) return fail(OpenStep::Open, AVERROR(ENOMEM));
    format->format_whitelist = av_strdup(kFormatWhitelist);
    format->protocol_whitelist = av_strdup("file");
    format->opaque = this;
    defaultIoOpen = format->io_open;
    format->io_open = &ReaderState::OpenOnce;
    std::string url;
    if (stream) {
      auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferBytes));
      if (!buffer) return fail(OpenStep::Open, AVERROR(ENOMEM));
      io = avio_alloc_context(buffer, kIoBufferBytes, 0, this, &ReaderState::ReadPacket, nullptr, &ReaderState::SeekStream);
      if (!io) {
        av_free(buffer);
        return fail(OpenStep::Open, AVERROR(ENOMEM));
      }
      format->pb = io;
      format->flags |= AVFMT_FLAG_CUSTOM_IO;
    } else {
      if (path.empty()) return fail(OpenStep::Open, AVERROR(ENOENT));
      struct stat st;
      if (::stat(path.c_str(), &st) != 0) return fail(OpenStep::Open, AVERROR(errno));
      if (!S_ISREG(st.st_mode)) return fail(OpenStep::Open, AVERROR(S_ISDIR(st.st_mode) ? EISDIR : EINVAL));
      url = "file:" + path;  // never another protocol, whatever the path looks like
    }
    int code = avformat_open_input(&format, url.c_str(), nullptr, nullptr);
    if (code < 0) return fail(OpenStep::Open, code);  // the context is freed on failure
    if ((code = avformat_find_stream_info(format, nullptr)) < 0) return fail(OpenStep::Open, code);

    const bool audio = options.stream == StreamKind::Audio;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
      AVStream* st = format->streams[i];
      const AVMediaType type = st->codecpar->codec_type;
      if (type == AVMEDIA_TYPE_AUDIO) info.hasAudio = true;
      const bool wanted = audio ? type == AVMEDIA_TYPE_AUDIO
                                : type == AVMEDIA_TYPE_VIDEO && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC);
      if (streamIndex < 0 && wanted) {
        streamIndex = static_cast<int>(i);
      } else {
        st->discard = AVDISCARD_ALL;
      }
    }
    if (streamIndex < 0) return fail(audio ? OpenStep::NoAudio : OpenStep::NoVideo, AVERROR_STREAM_NOT_FOUND);
    AVStream* st = format->streams[streamIndex];
    timeBase = st->time_base;
    if (timeBase.num <= 0 || timeBase.den <= 0) timeBase = AVRational{1, 90000};
    startTime = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;

    const AVCodec* decoder = avcodec_find_decoder(st->codecpar->codec_id);
    if (!decoder) return fail(OpenStep::Decoder, AVERROR_DECODER_NOT_FOUND);
    codec = avcodec_alloc_context3(decoder);
    if (!codec) return fail(OpenStep::Decoder, AVERROR(ENOMEM));
    if ((code = avcodec_parameters_to_context(codec, st->codecpar)) < 0) return fail(OpenStep::Decoder, code);
    // One per core like the command-line tool, but bounded: each frame thread holds pictures.
    codec->thread_count = options.threads > 0 ? options.threads
                          : audio             ? 1
                                              : static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
    codec->max_pixels = std::min(options.maxPixels, kMaxDecodedPixels);
    codec->pkt_timebase = timeBase;
    if ((code = avcodec_open2(codec, decoder, nullptr)) < 0) return fail(OpenStep::Decoder, code);
    info.codec = decoder->name;
    SetDuration(st);
    if (audio) return OpenAudio(st, result, fail);

    const int width = st->codecpar->width, height = st->codecpar->height;
    const auto pixels = static_cast<AVPixelFormat>(st->codecpar->format);
    if (pixels != AV_PIX_FMT_NONE && !sws_isSupportedInput(pixels)) return fail(OpenStep::Format, AVERROR_PATCHWELCOME);
    if (width <= 0 || height <= 0 || static_cast<int64_t>(width) * height > codec->max_pixels) {
      return fail(OpenStep::Dimensions, 0);
    }
    info.width = width;
    info.height = height;
    const AVRational rate = av_guess_frame_rate(format, st, nullptr);
    if (rate.num > 0 && rate.den > 0) info.frameRate = av_q2d(rate);
    return result;
  }

  void SetDuration(const AVStream* st) {
    if (format->duration != AV_NOPTS_VALUE && format->duration > 0) {
      info.duration = av_rescale_q(format->duration, AVRational{1, AV_TIME_BASE}, kHundredNs);
    } else if (st->duration != AV_NOPTS_VALUE && st->duration > 0) {
      info.duration = av_rescale_q(st->duration, timeBase, kHundredNs);
    }
  }

  // The PCM an audio reader hands out: the stream's own rate and channel count, S16 interleaved.
  template <typename Fail>
  OpenResult OpenAudio(const AVStream* st, OpenResult& result, Fail& fail) {
    const int rate = st->codecpar->sample_rate;
    const int channels = st->codecpar->ch_layout.nb_channels;
    if (rate <= 0 || channels <= 0 || channels > kMaxAudioChannels) return fail(OpenStep::Format, 0);
    if (st->codecpar->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC ||
        av_channel_layout_copy(&audioOut, &st->codecpar->ch_layout) < 0) {
      av_channel_layout_uninit(&audioOut);
      av_channel_layout_default(&audioOut, channels);
    }
    info.sampleRate = rate;
    info.channels = channels;
    return result;
  }

  // Decodes the next frame of the selected stream into frame.
  ReadResult Decode() {
    for (;;) {
      int code = avcodec_receive_frame(codec, frame);
      if (code == 0) return ReadResult::Frame;
      if (code == AVERROR_EOF) return ReadResult::EndOfStream;
      if (code != AVERROR(EAGAIN)) return ReadResult::Error;
      if (draining) return ReadResult::EndOfStream;
      code = av_read_frame(format, packet);
      if (code < 0) {
        // The end of the input or a damaged tail: what the decoder holds still comes out.
        if (code != AVERROR_EOF) inputFailed = true;
        avcodec_send_packet(codec, nullptr);
        draining = true;
        continue;
      }
      readAny = true;
      if (packet->stream_index == streamIndex) {
        // A packet the demuxer could read only in part: the file ends early.
        if (packet->flags & AV_PKT_FLAG_CORRUPT) inputFailed = true;
        avcodec_send_packet(codec, packet);  // a bad packet is skipped
      }
      av_packet_unref(packet);
    }
  }

  int64_t FrameDuration() const {
    if (options.stream == StreamKind::Audio) {
      return frame->sample_rate > 0 ? av_rescale(frame->nb_samples, 10000000, frame->sample_rate) : 0;
    }
    int64_t d = frame->pkt_duration > 0 ? av_rescale_q(frame->pkt_duration, timeBase, kHundredNs) : 0;
    if (d <= 0 && info.frameRate > 0) d = static_cast<int64_t>(1e7 / info.frameRate);
    return d;
  }

  bool Convert(VideoFrame& out) {
    const int srcW = frame->width, srcH = frame->height;
    if (srcW <= 0 || srcH <= 0 || static_cast<int64_t>(srcW) * srcH > codec->max_pixels) return false;
    const int dstW = outWidth > 0 ? outWidth : srcW, dstH = outHeight > 0 ? outHeight : srcH;
    const AVPixelFormat dstFormat = outFormat == PixelFormat::Nv12 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_RGBA;
    scaler = sws_getCachedContext(scaler, srcW, srcH, static_cast<AVPixelFormat>(frame->format), dstW, dstH,
                                  dstFormat, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!scaler) return false;
    out.width = dstW;
    out.height = dstH;
    out.format = outFormat;
    uint8_t* planes[4] = {nullptr, nullptr, nullptr, nullptr};
    int strides[4] = {0, 0, 0, 0};
    // A little slack past the last plane: some converters store whole vectors.
    constexpr size_t kSlack = 64;
    if (outFormat == PixelFormat::Nv12) {
      out.stride = (dstW + 1) & ~1;
      const size_t luma = static_cast<size_t>(out.stride) * dstH;
      const size_t chroma = static_cast<size_t>(out.stride) * ((dstH + 1) / 2);
      out.data.resize(luma + chroma + kSlack);
      out.data.resize(luma + chroma);
      planes[0] = out.data.data();
      planes[1] = out.data.data() + luma;
      strides[0] = strides[1] = out.stride;
    } else {
      out.stride = dstW * 4;
      const size_t bytes = static_cast<size_t>(out.stride) * dstH;
      out.data.resize(bytes + kSlack);
      out.data.resize(bytes);
      planes[0] = out.data.data();
      strides[0] = out.stride;
    }
    return sws_scale(scaler, frame->data, frame->linesize, 0, srcH, planes, strides) == dstH;
  }

  // The next decoded frame of the selected stream that is not before a seek target, left in
  // frame, with its time and duration.
  ReadResult NextFrame(int64_t& time, int64_t& duration) {
    for (;;) {
      const ReadResult decoded = Decode();
      if (decoded != ReadResult::Frame) return decoded;
      const int64_t pts = frame->best_effort_timestamp;
      time = pts != AV_NOPTS_VALUE ? av_rescale_q(pts - startTime, timeBase, kHundredNs) : lastTime;
      if (time < 0) time = 0;
      duration = FrameDuration();
      lastTime = time + duration;
      if (dropBefore >= 0) {
        // Audio is before the target only when it ends by it; a picture within the slack of the
        // target's end is before it too (the target was rounded from seconds).
        const int64_t slack = options.stream == StreamKind::Audio ? 0 : kSeekSlack;
        const bool before = duration > 0 ? time + duration <= dropBefore + slack : time + slack < dropBefore;
        if (before) {
          av_frame_unref(frame);
          continue;
        }
        dropBefore = -1;
      }
      return ReadResult::Frame;
    }
  }

  ReadResult Read(VideoFrame& out) {
    if (options.stream != StreamKind::Video) return ReadResult::Error;
    int64_t time = 0, duration = 0;
    const ReadResult result = NextFrame(time, duration);
    if (result != ReadResult::Frame) return result;
    const bool converted = Convert(out);
    av_frame_unref(frame);
    if (!converted) return ReadResult::Error;
    out.time = time;
    out.duration = duration;
    return ReadResult::Frame;
  }

  bool ConvertAudio(AudioChunk& out) {
    const int n = frame->nb_samples;
    if (frame->sample_rate <= 0 || n < 0) return false;
    AVChannelLayout in{};
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || av_channel_layout_copy(&in, &frame->ch_layout) < 0) {
      av_channel_layout_uninit(&in);
      av_channel_layout_default(&in, frame->ch_layout.nb_channels);
    }
    // Built for the first decoded frame and again whenever the decoded layout changes; the
    // output stays what the reader reported.
    if (!resampler || frame->format != resamplerInFormat || frame->sample_rate != resamplerInRate ||
        av_channel_layout_compare(&in, &resamplerIn) != 0) {
      swr_free(&resampler);
      av_channel_layout_uninit(&resamplerIn);
      if (in.nb_channels <= 0 || in.nb_channels > kMaxAudioChannels ||
          swr_alloc_set_opts2(&resampler, &audioOut, AV_SAMPLE_FMT_S16, info.sampleRate, &in,
                              static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr) < 0 ||
          swr_init(resampler) < 0) {
        swr_free(&resampler);
        av_channel_layout_uninit(&in);
        return false;
      }
      resamplerIn = in;  // takes over what in holds
      in = AVChannelLayout{};
      resamplerInFormat = frame->format;
      resamplerInRate = frame->sample_rate;
    }
    av_channel_layout_uninit(&in);
    const int capacity = swr_get_out_samples(resampler, n);
    if (capacity < 0) return false;
    const size_t frameBytes = static_cast<size_t>(info.channels) * 2;
    out.pcm.resize(static_cast<size_t>(capacity) * frameBytes);
    uint8_t* planes[1] = {out.pcm.data()};
    const int got = swr_convert(resampler, planes, capacity, const_cast<const uint8_t**>(frame->extended_data), n);
    if (got < 0) return false;
    out.pcm.resize(static_cast<size_t>(got) * frameBytes);
    out.frames = got;
    return true;
  }

  ReadResult ReadAudio(AudioChunk& out) {
    if (options.stream != StreamKind::Audio) return ReadResult::Error;
    int64_t time = 0, duration = 0;
    const ReadResult result = NextFrame(time, duration);
    if (result == ReadResult::EndOfStream && inputFailed) return ReadResult::Error;
    if (result != ReadResult::Frame) return result;
    const bool converted = ConvertAudio(out);
    av_frame_unref(frame);
    if (!converted) return ReadResult::Error;
    out.time = time;
    out.duration = duration;
    return ReadResult::Frame;
  }

  bool SeekTo(int64_t time) {
    if (time < 0) time = 0;
    if (time == 0 && !readAny) return true;  // nothing read yet: already there
    // A time beyond what the stream's time base holds stays far past the end, not wrapped.
    int64_t target = av_rescale_q(time, kHundredNs, timeBase);
    if (target == INT64_MIN || __builtin_add_overflow(target, startTime, &target)) target = INT64_MAX / 2;
    int code = av_seek_frame(format, streamIndex, target, AVSEEK_FLAG_BACKWARD);
    if (code < 0) code = avformat_seek_file(format, streamIndex, INT64_MIN, target, target, 0);
    if (code < 0) return false;
    avcodec_flush_buffers(codec);
    draining = false;
    inputFailed = false;
    dropBefore = time;
    lastTime = time;
    return true;
  }
};

// The reader the engine hands out: the decoding state behind the facade's interface.
class FfmpegSourceReader final : public SourceReader {
 public:
  explicit FfmpegSourceReader(std::unique_ptr<ReaderState> impl) : impl_(std::move(impl)) {}
  const VideoInfo& info() const override { return impl_->info; }
  void SetOutput(PixelFormat format, int width, int height) override {
    impl_->outFormat = format;
    const bool fits = width > 0 && height > 0 && static_cast<int64_t>(width) * height <= kMaxDecodedPixels;
    impl_->outWidth = fits ? width : 0;
    impl_->outHeight = fits ? height : 0;
  }
  ReadResult ReadFrame(VideoFrame& frame) override { return impl_->Read(frame); }
  ReadResult ReadAudio(AudioChunk& chunk) override { return impl_->ReadAudio(chunk); }
  bool Seek(int64_t time) override { return impl_->SeekTo(time); }

 private:
  std::unique_ptr<ReaderState> impl_;
};

std::unique_ptr<SourceReader> OpenFfmpegFile(const std::string& path, OpenResult* result, OpenOptions options) {
  auto impl = std::make_unique<ReaderState>();
  impl->options = options;
  OpenResult opened = impl->Open(path);
  if (result) *result = opened;
  if (opened.failed != OpenStep::None) return nullptr;
  return std::make_unique<FfmpegSourceReader>(std::move(impl));
}

std::unique_ptr<SourceReader> OpenFfmpegStream(std::shared_ptr<MediaByteStream> stream, OpenResult* result,
                                               OpenOptions options) {
  auto impl = std::make_unique<ReaderState>();
  impl->options = options;
  OpenResult opened;
  if (!stream) {
    opened.failed = OpenStep::Open;
    opened.code = AVERROR(EINVAL);
  } else {
    impl->stream = std::move(stream);
    opened = impl->Open("");
  }
  if (result) *result = opened;
  if (opened.failed != OpenStep::None) return nullptr;
  return std::make_unique<FfmpegSourceReader>(std::move(impl));
}

std::string FfmpegEngineName() { return std::string("FFmpeg ") + av_version_info() + " (Linux Native)"; }

}  // namespace platform::media
