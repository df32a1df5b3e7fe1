#include "platform/media_engine.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "base/never_destroyed.h"
#include "platform/paths.h"

namespace platform::media {
namespace {

struct EngineSlot {
  std::mutex mutex;
  MediaEngineLoader loader;
  bool tried = false;
  const MediaEngine* engine = nullptr;
  std::string error;
};

EngineSlot& Slot() {
  static base::NeverDestroyed<EngineSlot> slot;
  return *slot;
}

constexpr const char* kUnavailable = "media engine unavailable: ";

}  // namespace

void InstallMediaEngineLoader(MediaEngineLoader loader) {
  EngineSlot& slot = Slot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  slot.loader = std::move(loader);
  // The next use loads through this loader (a module already loaded is found again).
  slot.tried = false;
  slot.engine = nullptr;
  slot.error.clear();
}

const MediaEngine* LoadMediaEngineModule(const std::string& file, std::string* error) {
  // Never closed: readers and writers the engine made point into the module's code.
  void* module = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    if (error) *error = dlerror();
    return nullptr;
  }
  auto entry = reinterpret_cast<MediaEngineEntry>(dlsym(module, kMediaEngineEntry));
  const MediaEngine* engine = entry ? entry() : nullptr;
  if (!engine && error) *error = file + ": no " + kMediaEngineEntry;
  return engine;
}

const MediaEngine* LoadMediaEngineBesideExecutable(std::string* error) {
  return LoadMediaEngineModule(JoinPath(ExecutableDir(), kMediaEngineModule), error);
}

const MediaEngine* GetMediaEngine(std::string* error) {
  EngineSlot& slot = Slot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  if (!slot.tried) {
    slot.tried = true;
    std::string why;
    slot.engine = slot.loader ? slot.loader(&why) : LoadMediaEngineBesideExecutable(&why);
    if (!slot.engine) slot.error = why.empty() ? std::string(kMediaEngineModule) + " did not load" : why;
  }
  if (!slot.engine && error) *error = slot.error;
  return slot.engine;
}

uint32_t MemoryByteStream::Read(uint8_t* destination, uint32_t want) {
  if (!destination || position_ >= bytes_.size()) return 0;
  const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(want, bytes_.size() - position_));
  std::memcpy(destination, bytes_.data() + position_, n);
  position_ += n;
  return n;
}

std::unique_ptr<SourceReader> SourceReader::OpenFile(const std::string& path, OpenResult* result,
                                                     OpenOptions options) {
  std::string error;
  if (const MediaEngine* engine = GetMediaEngine(&error)) return engine->OpenFile(path, result, options);
  if (result) *result = {OpenStep::Open, 0, kUnavailable + error, kUnavailable + error};
  return nullptr;
}

std::unique_ptr<SourceReader> SourceReader::OpenStream(std::shared_ptr<MediaByteStream> stream, OpenResult* result,
                                                       OpenOptions options) {
  std::string error;
  if (const MediaEngine* engine = GetMediaEngine(&error)) return engine->OpenStream(std::move(stream), result, options);
  if (result) *result = {OpenStep::Open, 0, kUnavailable + error, kUnavailable + error};
  return nullptr;
}

std::unique_ptr<SinkWriter> SinkWriter::CreateForFile(const std::string& path, std::string* cause) {
  std::string error;
  if (const MediaEngine* engine = GetMediaEngine(&error)) return engine->CreateSinkForFile(path, cause);
  if (cause) *cause = kUnavailable + error;
  return nullptr;
}

bool CreateHardwareDecodeDevice(unsigned long* failureCode) {
  if (failureCode) *failureCode = 0x80004001UL;  // not implemented: there is no decode device here
  return false;
}

std::string DecoderEngineName() {
  std::string error;
  const MediaEngine* engine = GetMediaEngine(&error);
  return engine ? engine->EngineName() : kUnavailable + error;
}

// The engine quiets FFmpeg's log itself when it loads, before its first reader or writer.
void StartMediaFacility() {}

}  // namespace platform::media
