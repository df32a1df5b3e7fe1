#pragma once
// A native player: decodes the first video stream of a local file or of a video held by the
// page ("qvn-blob://", through a BlobByteStream), converts each frame to RGBA at the size the
// page asked for and streams it to the page as an "RNVQ" message, paced by its own clock.
//
// Threads: Create runs on a worker thread; Play, Pause, Seek, SetRate, SetOutputSize and the
// readers of the clock run on the bridge's connection thread; the pump is the player's own
// thread, started by Create and joined by Close. Close must not run on the bridge's connection
// thread while the pump may wait for a blob chunk (the answer arrives on that thread); the
// player table closes players on worker threads.
// Ownership: the player is held by shared ownership (the table and any request using it), so it
// is never deleted while a request is using it; it owns its reader and byte stream, and shares
// the outlet and the router. Invariant: after Close nothing is sent and no thread runs.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bridge/blob_chunk_router.h"
#include "bridge/rpc_outlet.h"
#include "media/blob_byte_stream.h"
#include "platform/media_source.h"

namespace media {

// The path prefix of a video held by the page.
constexpr const char* kBlobSourcePrefix = "qvn-blob://";

struct NativePlayerOptions {
  BlobByteStream::Options blob;
};

class NativePlayer {
 public:
  NativePlayer(RpcOutletPtr outlet, std::shared_ptr<BlobChunkRouter> router, int32_t playerID,
               NativePlayerOptions options = {});
  ~NativePlayer();
  NativePlayer(const NativePlayer&) = delete;
  NativePlayer& operator=(const NativePlayer&) = delete;

  struct Opened {
    double duration = 0;  // seconds, 0 when unknown
    int videoWidth = 0, videoHeight = 0;
  };
  // Opens the source and starts the pump, which sends the first frame while paused. False
  // with lastError set on failure. Called once.
  bool Create(const std::string& path, int64_t fileSize, int width, int height, Opened* opened);
  const std::string& lastError() const { return lastError_; }

  void Play();
  void Pause();
  void Seek(double seconds);
  void SetRate(double rate);
  void SetOutputSize(int width, int height);
  double CurrentTime();
  double duration() const { return duration_; }
  bool playing() const { return playing_.load(); }
  double rate() const { return rate_.load(); }
  // Stops and joins the pump and releases the decoder. Idempotent.
  void Close();

  // Bounds of what the page may ask for.
  static constexpr double kMinRate = 0.05;
  static constexpr double kMaxRate = 1024.0;
  static constexpr double kMaxSeekSeconds = 1e9;

 private:
  void Pump();
  void SendFrame(const platform::media::VideoFrame& frame, double time, uint32_t generation);
  double CurrentTimeLocked(std::chrono::steady_clock::time_point now) const;
  // Waits up to the duration or until the pump is told something.
  void PumpWait(std::chrono::milliseconds duration, bool wakeOnPauseOrSeek);
  void WakePump();
  bool Fail(const std::string& text);

  RpcOutletPtr outlet_;
  std::shared_ptr<BlobChunkRouter> router_;
  const int32_t playerID_;
  const NativePlayerOptions options_;
  std::string lastError_;
  std::unique_ptr<platform::media::SourceReader> reader_;  // the pump's once it runs
  std::shared_ptr<BlobByteStream> byteStream_;
  bool firstFrameLogged_ = false;
  double duration_ = 0;
  int nativeWidth_ = 0, nativeHeight_ = 0, stride_ = 0;
  std::atomic<int> outputWidth_{0}, outputHeight_{0};
  std::atomic<bool> playing_{false}, stop_{false};
  std::atomic<double> rate_{1.0};
  std::atomic<uint64_t> seekGeneration_{0};
  std::atomic<bool> seekPending_{false};
  std::atomic<double> seekTarget_{0};
  std::mutex clockMutex_;
  double basePosition_ = 0;
  std::chrono::steady_clock::time_point anchor_;
  std::mutex closeMutex_;  // one Close at a time
  std::thread pump_;
  std::mutex pumpMutex_;
  std::condition_variable pumpCondition_;
  std::vector<uint8_t> message_;  // the pump's reusable frame message
};

}  // namespace media
