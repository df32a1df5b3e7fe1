#pragma once
// The decoding side of the media facility: a source reader over FFmpeg (libavformat,
// libavcodec, libswscale, libswresample) that opens a local file or a byte stream of the
// caller's, decodes its first video stream and hands out frames as NV12 or RGBA, or (when asked
// for audio) decodes its first audio stream and hands out interleaved signed 16-bit PCM; times
// are in 100-ns units counted from the start of the selected stream.
//
// Safety: a path is opened through the "file" protocol only, and only container formats that
// cannot name other files or URLs are accepted (no playlists, concat lists or image sequences),
// so a hostile file cannot make the reader open anything else. Nested opens are refused. Only
// a regular file is opened: a FIFO or a device would block or never end.
//
// Threads: a SourceReader is used by one thread at a time (its owner's). The byte stream it
// reads from is called on that same thread, from inside Open, ReadFrame and Seek.
// Ownership: the reader owns every FFmpeg object; it shares the byte stream with its creator.
// The FFmpeg code itself lives in the media engine module (platform/media_engine.h), loaded when
// the first reader or writer is made; opening fails with a clear detail when it cannot be loaded.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform::media {

// What a source reader pulls its bytes from when it does not open a path.
class MediaByteStream {
 public:
  virtual ~MediaByteStream() = default;
  virtual uint64_t Length() = 0;
  virtual uint64_t Position() = 0;
  virtual void SetPosition(uint64_t position) = 0;
  // Reads up to want bytes at the position and advances it; 0 at the end or on a failure.
  virtual uint32_t Read(uint8_t* destination, uint32_t want) = 0;
};

// Bytes held in memory (a copy of its own).
class MemoryByteStream : public MediaByteStream {
 public:
  MemoryByteStream(const uint8_t* data, size_t size) : bytes_(data, data + size) {}
  explicit MemoryByteStream(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  uint64_t Length() override { return bytes_.size(); }
  uint64_t Position() override { return position_; }
  void SetPosition(uint64_t position) override { position_ = position; }
  uint32_t Read(uint8_t* destination, uint32_t want) override;

 private:
  std::vector<uint8_t> bytes_;
  uint64_t position_ = 0;
};

enum class PixelFormat { Nv12, Rgba };

// Which step of opening failed; the caller words the failure.
enum class OpenStep { None, Open, NoVideo, NoAudio, Decoder, Format, Dimensions };

// Which stream a reader decodes.
enum class StreamKind { Video, Audio };

struct OpenResult {
  OpenStep failed = OpenStep::None;
  int code = 0;        // the FFmpeg error code of the failure, 0 when there is none
  std::string detail;  // FFmpeg's own words, for the log
  std::string cause;   // what the user can fix, when the file itself is why (FileErrorCause), else ""
};

struct VideoInfo {
  int width = 0, height = 0;  // decoded frame size
  int64_t duration = 0;       // 100-ns units, 0 when unknown
  double frameRate = 0;       // frames per second, 0 when unknown
  bool hasAudio = false;
  std::string codec;          // decoder name
  // Audio readers only: the PCM they hand out (the stream's own rate and channel count).
  int sampleRate = 0;
  int channels = 0;
};

// One decoded picture. Nv12: the luma plane (stride bytes a row, height rows) followed by the
// interleaved chroma plane (stride bytes a row, (height + 1) / 2 rows); stride is the width
// rounded up to even. Rgba: stride = width * 4, height rows, alpha 255.
struct VideoFrame {
  int64_t time = 0;      // 100-ns units from the start
  int64_t duration = 0;  // 100-ns units, 0 when unknown
  int width = 0, height = 0, stride = 0;
  PixelFormat format = PixelFormat::Nv12;
  std::vector<uint8_t> data;
};

// Decoded audio: whole decoded frames as interleaved signed 16-bit samples, native byte order.
struct AudioChunk {
  int64_t time = 0;      // 100-ns units from the start of the stream
  int64_t duration = 0;  // 100-ns units
  int frames = 0;        // samples per channel
  std::vector<uint8_t> pcm;  // frames * channels * 2 bytes
};

enum class ReadResult { Frame, EndOfStream, Error };

// The largest picture the decoder accepts (width * height), so that a hostile header cannot
// size an allocation.
constexpr int64_t kMaxDecodedPixels = 8192ll * 8192ll;

// Limits of one reader (tests and fuzzing lower them).
struct OpenOptions {
  int64_t maxPixels = kMaxDecodedPixels;
  int threads = 0;  // decoder threads; 0: one per core, at most 8
  StreamKind stream = StreamKind::Video;
};

// The largest channel count an audio reader accepts (what the converter handles).
constexpr int kMaxAudioChannels = 64;

class SourceReader {
 public:
  // Opens the path (a local file) or the stream and selects the first video stream (the first
  // audio stream for StreamKind::Audio), with a software decoder. Null with *result saying why
  // on failure (OpenStep::Open, with the loader's words as the cause, when the media engine is
  // unavailable).
  static std::unique_ptr<SourceReader> OpenFile(const std::string& path, OpenResult* result,
                                                OpenOptions options = {});
  static std::unique_ptr<SourceReader> OpenStream(std::shared_ptr<MediaByteStream> stream, OpenResult* result,
                                                  OpenOptions options = {});
  virtual ~SourceReader() = default;
  SourceReader(const SourceReader&) = delete;
  SourceReader& operator=(const SourceReader&) = delete;

  virtual const VideoInfo& info() const = 0;

  // The format and size of the frames ReadFrame hands out (0 or less: the decoded size).
  // Scaling, when the size differs, is bilinear.
  virtual void SetOutput(PixelFormat format, int width = 0, int height = 0) = 0;

  // The next frame in presentation order (video readers). At the end of the input, or of the
  // part of it that could be read, what the decoder holds still comes out, then EndOfStream.
  virtual ReadResult ReadFrame(VideoFrame& frame) = 0;

  // The next decoded audio frame (audio readers). EndOfStream at the end of the input; Error when
  // the input could not be read further (a damaged or missing tail) or the audio not converted,
  // after what the decoder held came out.
  virtual ReadResult ReadAudio(AudioChunk& chunk) = 0;

  // Moves to the key frame at or before time (100-ns units, clamped at 0) and arranges that the
  // frames before the one showing at time are decoded but not handed out (for audio: the frames
  // that end at or before time). False when the container cannot seek.
  virtual bool Seek(int64_t time) = 0;

 protected:
  SourceReader() = default;
};

// The hardware decode device: always fails here (no Direct3D), so callers take their software
// path. The code is what they log.
bool CreateHardwareDecodeDevice(unsigned long* failureCode);

// The decoding engine's name and version, as the page is told it (loads the engine; says
// "unavailable" with the loader's words when it cannot be loaded).
std::string DecoderEngineName();

// Process-wide set-up: FFmpeg's own log goes quiet (the host logs what matters), from the moment
// the engine is loaded. Idempotent; loads nothing.
void StartMediaFacility();

}  // namespace platform::media
