#pragma once
// The media engine: the FFmpeg side of the media facility (source readers and sink writers),
// built as a module of its own (kMediaEngineModule) so the host does not map the FFmpeg
// libraries at start-up; it is loaded the first time a reader, a writer or the engine's name is
// asked for, and stays loaded for the life of the process.
//
// Threads: any thread may ask for the engine; the first load runs once, under the slot's mutex,
// and every later call returns the same answer (the engine, or the same load error).
// Ownership: the engine object belongs to the module, which is never unloaded. The loader is
// installed by the composition root before the first use; without one the module is looked for
// beside the running executable too (where the build puts it for tests and benchmarks).
#include <functional>
#include <memory>
#include <string>

#include "platform/media_sink.h"
#include "platform/media_source.h"

namespace platform::media {

class MediaEngine {
 public:
  virtual ~MediaEngine() = default;
  virtual std::unique_ptr<SourceReader> OpenFile(const std::string& path, OpenResult* result,
                                                 OpenOptions options) const = 0;
  virtual std::unique_ptr<SourceReader> OpenStream(std::shared_ptr<MediaByteStream> stream, OpenResult* result,
                                                   OpenOptions options) const = 0;
  virtual std::unique_ptr<SinkWriter> CreateSinkForFile(const std::string& path, std::string* cause) const = 0;
  virtual std::string EngineName() const = 0;
};

// The module's file name and the entry point it exports (platform/module_loader.h).
inline constexpr const char* kMediaEngineModule = "libqv_media_ffmpeg.so";
inline constexpr const char* kMediaEngineEntry = "QvMediaEngine";

// Loads the engine; null with *error saying why (the file, the loader's words). Installing one
// makes the next use load through it.
using MediaEngineLoader = std::function<const MediaEngine*(std::string* error)>;
void InstallMediaEngineLoader(MediaEngineLoader loader);

// dlopen of a module file and its entry point.
const MediaEngine* LoadMediaEngineModule(const std::string& file, std::string* error);
// The module beside the running executable (the installed layout).
const MediaEngine* LoadMediaEngineBesideExecutable(std::string* error);

// The engine, loaded on the first call; null with *error when it cannot be loaded.
const MediaEngine* GetMediaEngine(std::string* error);

}  // namespace platform::media
