#include "media/player.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/log.h"
#include "media/player_frames.h"
#include "platform/files.h"

namespace media {

namespace {

using Clock = std::chrono::steady_clock;
namespace pm = platform::media;

std::atomic<int> g_smallBufferLogs{0};

const char* OpenStepText(pm::OpenStep step) {
  switch (step) {
    case pm::OpenStep::NoVideo: return "no video track in file";
    case pm::OpenStep::Decoder: return "cannot decode video (install HEVC/codec pack if needed)";
    case pm::OpenStep::Format: return "cannot read video format";
    case pm::OpenStep::Dimensions: return "invalid video dimensions";
    default: return "cannot open video (unsupported format or codec)";
  }
}

}  // namespace

NativePlayer::NativePlayer(RpcOutletPtr outlet, std::shared_ptr<BlobChunkRouter> router, int32_t playerID,
                           NativePlayerOptions options)
    : outlet_(std::move(outlet)), router_(std::move(router)), playerID_(playerID), options_(options) {}

NativePlayer::~NativePlayer() { Close(); }

bool NativePlayer::Fail(const std::string& text) {
  lastError_ = text;
  LogPrintf("[player %d] Create: FAIL %s\n", playerID_, text.c_str());
  return false;
}

bool NativePlayer::Create(const std::string& path, int64_t fileSize, int width, int height, Opened* opened) {
  unsigned long hr = 0;
  if (!pm::CreateHardwareDecodeDevice(&hr)) {
    LogPrintf("[hwdecode] D3D11CreateDevice failed hr=0x%08lx (falling back to software)\n", hr);
  }
  lastError_.clear();
  pm::OpenResult result;
  if (path.rfind(kBlobSourcePrefix, 0) == 0) {
    if (fileSize < 1) return Fail("invalid file size for blob source");
    byteStream_ = std::make_shared<BlobByteStream>(outlet_, router_, playerID_, static_cast<uint64_t>(fileSize),
                                                   options_.blob);
    byteStream_->SetOpening(true);
    reader_ = pm::SourceReader::OpenStream(byteStream_, &result);
    byteStream_->SetOpening(false);
  } else {
    reader_ = pm::SourceReader::OpenFile(path, &result);
  }
  if (!reader_) {
    byteStream_.reset();
    const char* text = OpenStepText(result.failed);
    if (result.code == 0) return Fail(platform::WithCause(text, result.cause));
    char formatted[192];
    std::snprintf(formatted, sizeof formatted, "%s (hr=0x%08lx)", text,
                  static_cast<unsigned long>(static_cast<uint32_t>(result.code)));
    return Fail(platform::WithCause(formatted, result.cause));
  }
  const pm::VideoInfo& info = reader_->info();
  reader_->SetOutput(pm::PixelFormat::Nv12);
  nativeWidth_ = info.width;
  nativeHeight_ = info.height;
  stride_ = (info.width + 1) & ~1;
  duration_ = info.duration > 0 ? static_cast<double>(info.duration) / 1e7 : 0;
  outputWidth_.store(width >= 1 ? width : nativeWidth_);
  outputHeight_.store(height >= 1 ? height : nativeHeight_);
  LogPrintf("[player %d] Create: SUCCESS duration=%.2f size=%dx%d stride=%d\n", playerID_, duration_, nativeWidth_,
            nativeHeight_, stride_);
  if (opened) {
    opened->duration = duration_;
    opened->videoWidth = nativeWidth_;
    opened->videoHeight = nativeHeight_;
  }
  seekTarget_.store(0);
  seekPending_.store(true);
  {
    std::lock_guard<std::mutex> lock(clockMutex_);
    anchor_ = Clock::now();
  }
  try {
    pump_ = std::thread([this] { Pump(); });
  } catch (const std::exception&) {
    reader_.reset();
    byteStream_.reset();
    return Fail("cannot start the player thread");
  }
  return true;
}

void NativePlayer::WakePump() {
  { std::lock_guard<std::mutex> lock(pumpMutex_); }
  pumpCondition_.notify_all();
}

void NativePlayer::Play() {
  {
    std::lock_guard<std::mutex> lock(clockMutex_);
    // Already playing: the clock runs on, re-anchoring it would jump.
    if (playing_.load()) return;
    anchor_ = Clock::now();
    playing_.store(true);
  }
  WakePump();
}

void NativePlayer::Pause() {
  {
    std::lock_guard<std::mutex> lock(clockMutex_);
    if (playing_.load()) basePosition_ = CurrentTimeLocked(Clock::now());
    playing_.store(false);
  }
  WakePump();
}

void NativePlayer::Seek(double t) {
  // Clamped before anything converts it to an integer.
  if (std::isnan(t) || t < 0) t = 0;
  if (t > kMaxSeekSeconds) t = kMaxSeekSeconds;
  seekGeneration_.fetch_add(1);
  {
    std::lock_guard<std::mutex> lock(clockMutex_);
    if (duration_ > 0 && duration_ < t) t = duration_;
    basePosition_ = t;
    anchor_ = Clock::now();
  }
  seekTarget_.store(t);
  seekPending_.store(true);
  WakePump();
}

void NativePlayer::SetRate(double r) {
  std::lock_guard<std::mutex> lock(clockMutex_);
  const Clock::time_point now = Clock::now();
  basePosition_ = CurrentTimeLocked(now);
  anchor_ = now;
  rate_.store(std::isnan(r) || r <= kMinRate ? kMinRate : std::min(r, kMaxRate));
}

void NativePlayer::SetOutputSize(int width, int height) {
  if (width > 0) outputWidth_.store(width);
  if (height > 0) outputHeight_.store(height);
}

double NativePlayer::CurrentTimeLocked(Clock::time_point now) const {
  if (!playing_.load()) return basePosition_;
  return basePosition_ + std::chrono::duration<double>(now - anchor_).count() * rate_.load();
}

double NativePlayer::CurrentTime() {
  std::lock_guard<std::mutex> lock(clockMutex_);
  return CurrentTimeLocked(Clock::now());
}

void NativePlayer::Close() {
  std::lock_guard<std::mutex> closing(closeMutex_);
  stop_.store(true);
  playing_.store(false);
  if (byteStream_) byteStream_->Abort();  // a read waiting for the page ends now
  WakePump();
  if (pump_.joinable()) pump_.join();
  reader_.reset();
  byteStream_.reset();
}

void NativePlayer::PumpWait(std::chrono::milliseconds duration, bool wakeOnPauseOrSeek) {
  std::unique_lock<std::mutex> lock(pumpMutex_);
  pumpCondition_.wait_for(lock, duration, [&] {
    return stop_.load() || (wakeOnPauseOrSeek && (!playing_.load() || seekPending_.load()));
  });
}

void NativePlayer::Pump() {
  pm::VideoFrame frame;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(pumpMutex_);
      pumpCondition_.wait(lock, [&] { return stop_.load() || playing_.load() || seekPending_.load(); });
    }
    if (stop_.load()) break;
    const bool seeked = seekPending_.exchange(false);
    if (seeked) reader_->Seek(static_cast<int64_t>(seekTarget_.load() * 1e7));
    if (!playing_.load() && !seeked) continue;
    const uint64_t generation = seekGeneration_.load();
    const pm::ReadResult result = reader_->ReadFrame(frame);
    if (seekGeneration_.load() != generation || stop_.load()) continue;
    if (result == pm::ReadResult::Error) {
      PumpWait(std::chrono::milliseconds(50), false);
      continue;
    }
    if (result == pm::ReadResult::EndOfStream) {
      std::lock_guard<std::mutex> lock(clockMutex_);
      basePosition_ = duration_ > 0 ? duration_ : CurrentTimeLocked(Clock::now());
      playing_.store(false);
      continue;
    }
    const double ts = static_cast<double>(frame.time) / 1e7;
    if (playing_.load()) {
      const double ahead = ts - CurrentTime();
      if (ahead > 0.001) {
        const double ms = std::min(ahead / std::max(rate_.load(), kMinRate) * 1000.0, 500.0);
        const auto wait = std::chrono::milliseconds(static_cast<int64_t>(ms));
        if (wait.count() > 0) PumpWait(wait, true);
      }
    }
    if (seekGeneration_.load() != generation || stop_.load() || (!playing_.load() && !seeked)) continue;
    SendFrame(frame, ts, static_cast<uint32_t>(generation));
  }
  reader_.reset();  // the byte stream is released by Close, which may be aborting it right now
}

void NativePlayer::SendFrame(const pm::VideoFrame& frame, double time, uint32_t generation) {
  Nv12Picture picture;
  picture.data = frame.data.data();
  picture.size = frame.data.size();
  picture.width = frame.width;
  picture.height = frame.height;
  picture.stride = frame.stride;
  picture.uvRowOffset = frame.height;
  if (!Nv12PictureFits(picture)) {
    if (g_smallBufferLogs.fetch_add(1) < 8) {
      const size_t expected = static_cast<size_t>(frame.stride) * frame.height * 3 / 2;
      LogPrintf("[player %d] frame buffer too small: curLen=%lu expected>=%zu (stride=%u %dx%d)\n", playerID_,
                static_cast<unsigned long>(frame.data.size()), expected, static_cast<unsigned>(frame.stride),
                frame.width, frame.height);
    }
    return;
  }
  const ImageSize size = OutputImageSize(frame.width, frame.height, outputWidth_.load(), outputHeight_.load());
  if (size.width < 1 || size.height < 1) return;
  uint8_t* pixels = PrepareRnvqFrame(message_, playerID_, size.width, size.height, time, generation);
  if (!ConvertNv12ToRgbaScaled(picture, pixels, size.width, size.height)) return;
  if (!firstFrameLogged_) {
    firstFrameLogged_ = true;
    LogPrintf("[player %d] first frame sent: native=%dx%d stride=%u uvRowOffset=%u output=%dx%d hw=%d\n", playerID_,
              frame.width, frame.height, static_cast<unsigned>(frame.stride), static_cast<unsigned>(frame.height),
              size.width, size.height, 0);
  }
  if (outlet_) outlet_->SendBinary(message_.data(), message_.size());  // a failed send is dropped
}

}  // namespace media
