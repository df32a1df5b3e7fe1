#pragma once
// Inside the media engine module only: the FFmpeg reader and writer the engine object hands
// out (media_source.cpp, media_sink.cpp) and the engine's name. Same threads and ownership as
// the facade headers say: a reader or writer is used by one thread at a time, its owner's.
#include <memory>
#include <string>

#include "platform/media_sink.h"
#include "platform/media_source.h"

namespace platform::media {

std::unique_ptr<SourceReader> OpenFfmpegFile(const std::string& path, OpenResult* result, OpenOptions options);
std::unique_ptr<SourceReader> OpenFfmpegStream(std::shared_ptr<MediaByteStream> stream, OpenResult* result,
                                               OpenOptions options);
std::unique_ptr<SinkWriter> CreateFfmpegSink(const std::string& path, std::string* cause);
std::string FfmpegEngineName();

}  // namespace platform::media
