#pragma once
// The sink writer: one output file that takes H.264 video (libx264) and, optionally, AAC audio
// (FFmpeg's own "aac" encoder) as timed samples, muxed into the container that the target's
// file extension names.
//
// Files: the writer makes a fresh temporary file beside the target (".<name>.<random>.part",
// created exclusively) and writes only through its own descriptor; no FFmpeg protocol is
// opened, so a name can only ever be a local file. Finalize writes the trailer, syncs the file
// and renames it over the target. A writer destroyed without a successful Finalize removes its
// temporary file, so a failed or abandoned export never leaves a damaged file under the target
// name (a process killed outright leaves only the temporary name behind).
//
// Threads: none of its own beyond the encoder's workers. One thread at a time calls a writer;
// its owner serialises the calls.
//
// Order: CreateForFile -> AddVideoStream -> SetVideoInput (until one is accepted) ->
// AddAudioStream (optional; a refusal leaves the writer usable without audio) -> BeginWriting
// -> WriteVideoSample / WriteAudioSample -> Finalize.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform::media {

struct SinkVideoFormat {
  int width = 0;  // even, 2..16384
  int height = 0;
  int64_t bitrate = 0;  // bits per second, > 0
  int frameRateNum = 30;
  int frameRateDen = 1;
};

struct SinkAudioFormat {
  int sampleRate = 0;  // Hz, one the encoder supports
  int channels = 0;    // 1..8
  int64_t bitrate = 0;
};

// What the caller hands to WriteVideoSample.
enum class SinkVideoInput {
  Nv12,  // width * height luma bytes, then interleaved UV at half size; stride = width
  Bgra,  // width * 4 bytes a row
};

// The x264 settings, shared with the benchmark so it compares like with like.
inline constexpr const char* kSinkX264Preset = "veryfast";
inline constexpr const char* kSinkX264Profile = "high";

class SinkWriter {
 public:
  // Null when the target is a folder, its folder cannot take a new file, no container writes
  // that extension or the media engine cannot be loaded; *cause then says which in words, when it
  // is one the user can fix or the engine's absence (else "").
  static std::unique_ptr<SinkWriter> CreateForFile(const std::string& path, std::string* cause = nullptr);
  virtual ~SinkWriter() = default;
  SinkWriter(const SinkWriter&) = delete;
  SinkWriter& operator=(const SinkWriter&) = delete;

  // False when the container cannot hold H.264, the encoder is missing or the format is out of range.
  virtual bool AddVideoStream(const SinkVideoFormat& format) = 0;
  // Opens the video encoder for that input; false when the encoder does not take it.
  virtual bool SetVideoInput(SinkVideoInput input) = 0;
  // Opens the audio encoder for interleaved signed 16-bit samples; false leaves no audio stream.
  virtual bool AddAudioStream(const SinkAudioFormat& format) = 0;
  virtual bool BeginWriting() = 0;

  // One picture of the configured size and input kind (length checked), times in 100-ns units.
  // Times must increase from one picture to the next.
  virtual bool WriteVideoSample(const uint8_t* data, size_t length, int64_t time100ns, int64_t duration100ns) = 0;
  // frames interleaved samples per channel of the configured count. The first call's time places
  // the audio; later ones follow on without gaps.
  virtual bool WriteAudioSample(const int16_t* pcm, size_t frames, int64_t time100ns) = 0;
  // Drains the encoders, writes the trailer, syncs and renames onto the target.
  virtual bool Finalize() = 0;

  virtual bool hasAudio() const = 0;
  virtual std::string videoEncoderName() const = 0;
  // The FFmpeg error of the last failed call (negative), 0 when none was recorded.
  virtual int lastError() const = 0;
  // The temporary file's path (for tests).
  virtual const std::string& temporaryPath() const = 0;

 protected:
  SinkWriter() = default;
};

}  // namespace platform::media
