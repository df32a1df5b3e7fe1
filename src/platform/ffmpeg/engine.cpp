// The media engine module's entry point: the one symbol it exports.

extern "C" {
#include <libavutil/log.h>
}

#include "platform/ffmpeg/ffmpeg_engine.h"
#include "platform/media_engine.h"

namespace platform::media {
namespace {

class FfmpegEngine final : public MediaEngine {
 public:
  // FFmpeg's own log goes quiet before anything is decoded: the host logs what matters.
  FfmpegEngine() { av_log_set_level(AV_LOG_QUIET); }
  std::unique_ptr<SourceReader> OpenFile(const std::string& path, OpenResult* result,
                                         OpenOptions options) const override {
    return OpenFfmpegFile(path, result, options);
  }
  std::unique_ptr<SourceReader> OpenStream(std::shared_ptr<MediaByteStream> stream, OpenResult* result,
                                           OpenOptions options) const override {
    return OpenFfmpegStream(std::move(stream), result, options);
  }
  std::unique_ptr<SinkWriter> CreateSinkForFile(const std::string& path, std::string* cause) const override {
    return CreateFfmpegSink(path, cause);
  }
  std::string EngineName() const override { return FfmpegEngineName(); }
};

}  // namespace
}  // namespace platform::media

extern "C" __attribute__((visibility("default"))) const platform::media::MediaEngine* QvMediaEngine() {
  // Made on the first call and never destroyed: the module stays loaded for the process's life.
  static const platform::media::MediaEngine* engine = new platform::media::FfmpegEngine();
  return engine;
}
