#include "platform/media_engine.h"

#include <algorithm>
#include <cstring>

#include "base/never_destroyed.h"
#include "platform/module_loader.h"

namespace platform::media {
namespace {

ModuleSlot<MediaEngine>& Slot() {
  static base::NeverDestroyed<ModuleSlot<MediaEngine>> slot(kMediaEngineModule, kMediaEngineEntry);
  return *slot;
}

constexpr const char* kUnavailable = "media engine unavailable: ";

}  // namespace

void InstallMediaEngineLoader(MediaEngineLoader loader) { Slot().Install(std::move(loader)); }

const MediaEngine* LoadMediaEngineModule(const std::string& file, std::string* error) {
  return Slot().LoadFile(file, error);
}

const MediaEngine* LoadMediaEngineBesideExecutable(std::string* error) { return Slot().LoadBesideExecutable(error); }

const MediaEngine* GetMediaEngine(std::string* error) { return Slot().Get(error); }

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
