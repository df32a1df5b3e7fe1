#pragma once
// The page's video export: the page renders frames (RGBA) and audio (float samples) itself and
// streams them as "FNVQ" and "ANVQ" binary messages between "startNativeExport" and
// "finishNativeExport"; the session encodes them into one file (H.264, optional AAC) through the
// platform sink writer. One session per page dispatcher, so one export at a time.
//
// Threads: Begin and Finalize run on the bridge's connection thread, the frame writes on the
// thread that receives the page's binary messages (today the same one, under the server's UI
// dispatch lock). The session still takes its own mutex, so no caller order can race it.
// Ownership: the session owns its writer; destroying a started session drops the export without
// finalising it, and the writer then removes its temporary file.
//
// Invariants: every size the page states is checked against the bytes that came with it, and
// frames must have the session's size; audio goes only to a session with audio, in the
// session's channel count; times from the page are finite and in range before they are used.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace platform::media {
class SinkWriter;
}

struct ExportOptions {
  std::string outputPath;
  int32_t width = 1920;
  int32_t height = 1080;
  int32_t bitrate = 8000000;
  int32_t audioChannels = 0;  // 0: no audio
  int32_t audioSampleRate = 48000;
};

struct NativeExportResult {
  bool ok = false;
  std::string error;
  std::string outputPath;
  uint64_t fileSize = 0;
  int64_t frames = 0;
};

// The options of a "startNativeExport" payload; false with the reply's error text when a
// member has the wrong type or is not a whole 32-bit number, or the path is empty.
bool ReadExportOptions(const nlohmann::json& payload, ExportOptions& options, std::string& error);

// RGBA rows (width * 4 bytes each) to NV12 (width * height luma bytes, then interleaved UV rows
// of width bytes); width and height even. Chroma is taken from each 2x2 block's top-left pixel.
void ConvertRgbaToNv12(const uint8_t* rgba, int width, int height, uint8_t* nv12);
// Exchanges the first and third byte of every 4-byte pixel.
void SwapRgbaBgra(const uint8_t* rgba, size_t pixels, uint8_t* bgra);
// clamp(x, -1, 1) * 32767, rounded half away from zero; NaN is silence.
int16_t FloatToPcm16(float x);
// The page's microseconds as 100-ns units; false for a time that is not finite or does not fit.
bool VideoSampleTime(double timeUs, int64_t& time100ns);
// The time of the sample after `frames` samples at rate, in 100-ns units, from the count alone,
// so it never drifts and never steps back.
int64_t AudioSampleTime(int64_t frames, uint32_t sampleRate);

class NativeExportSession {
 public:
  NativeExportSession();
  ~NativeExportSession();
  NativeExportSession(const NativeExportSession&) = delete;
  NativeExportSession& operator=(const NativeExportSession&) = delete;

  // Opens the writer for options (a started export is finalised first); false with the text.
  bool Begin(const ExportOptions& options, std::string& error);
  // One RGBA frame of `length` bytes stating width x height; false when ignored or not written.
  bool WriteVideoFrame(const uint8_t* rgba, size_t length, uint32_t width, uint32_t height, double timeUs);
  // `frames` interleaved little-endian float32 samples per channel in `length` bytes.
  bool WriteAudioFrames(const uint8_t* samples, size_t length, uint32_t frames, uint32_t channels);
  NativeExportResult Finalize();

  bool started() const;
  int64_t videoFrames() const;
  int64_t audioFramesWritten() const;
  bool audioEnabled() const;

 private:
  NativeExportResult FinalizeLocked();

  mutable std::mutex mutex_;
  std::unique_ptr<platform::media::SinkWriter> sinkWriter_;  // set exactly while an export is started
  bool nv12Input_ = false;
  int64_t videoFrames_ = 0;
  int64_t audioFramesWritten_ = 0;
  uint32_t width_ = 0, height_ = 0;
  uint32_t sampleRate_ = 0, channels_ = 0;  // channels_ 0: the export has no audio
  std::string outputPath_;
  std::vector<uint8_t> videoBuffer_;
  std::vector<int16_t> audioBuffer_;
};

class RpcRouteTable;

namespace media {
// "startNativeExport" and "finishNativeExport", answered inline on the connection thread.
void RegisterExportRows(RpcRouteTable& routes, std::shared_ptr<NativeExportSession> session);
}  // namespace media
