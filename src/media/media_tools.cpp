#include "media/media_tools.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

#include "base/base64.h"
#include "base/json.h"
#include "base/thread.h"
#include "platform/files.h"
#include "platform/media_source.h"

using nlohmann::json;
namespace pm = platform::media;

namespace media {

namespace {

constexpr const char* kBlobPrefix = "qvn-blob://";

// Seconds to the reader's 100-ns units; false for a time no reader can seek to.
bool ToHundredNs(double seconds, int64_t* out) {
  if (!std::isfinite(seconds)) return false;
  const double units = std::max(seconds, 0.0) * 1e7;
  // Far past the end of any file, and still clear of overflow in the reader's own time base.
  constexpr double kLimit = 4e18;
  *out = units >= kLimit ? static_cast<int64_t>(kLimit) : static_cast<int64_t>(units);
  return true;
}

// What a row replies when the file cannot be opened: every row has its own words for the one
// step it names and one text for any other step.
struct OpenErrors {
  pm::OpenStep named;
  const char* namedText;
  const char* otherText;
};

// The reader of path's `kind` stream; null with *error set to the row's text for the failed step.
std::unique_ptr<pm::SourceReader> Open(const std::string& path, pm::StreamKind kind, const OpenErrors& texts,
                                       std::string* error) {
  pm::OpenOptions options;
  options.stream = kind;
  pm::OpenResult result;
  std::unique_ptr<pm::SourceReader> reader = pm::SourceReader::OpenFile(path, &result, options);
  if (!reader) {
    if (result.failed == pm::OpenStep::Open) *error = "failed to open source";
    else *error = result.failed == texts.named ? texts.namedText : texts.otherText;
    *error = platform::WithCause(*error, result.cause);
  }
  return reader;
}

// Seeks to seconds; false for a time no reader can seek to or a seek the reader refuses.
bool SeekTo(pm::SourceReader& reader, double seconds) {
  int64_t position = 0;
  return ToHundredNs(seconds, &position) && reader.Seek(position);
}

}  // namespace

VideoMetadata ProbeVideoMetadata(const std::string& path) {
  VideoMetadata m;
  // Any other failure means nothing decodes the file to NV12.
  std::unique_ptr<pm::SourceReader> reader =
      Open(path, pm::StreamKind::Video,
           {pm::OpenStep::Dimensions, "failed to read negotiated video type", "no video track found in file"}, &m.error);
  if (!reader) return m;
  const pm::VideoInfo& info = reader->info();
  m.success = true;
  m.width = info.width;
  m.height = info.height;
  m.fps = info.frameRate;
  m.durationSec = static_cast<double>(info.duration) / 1e7;
  m.hasAudio = info.hasAudio;
  return m;
}

DecodedFrame DecodeFrameNative(const std::string& path, double timestampSec) {
  DecodedFrame f;
  std::unique_ptr<pm::SourceReader> reader = Open(
      path, pm::StreamKind::Video, {pm::OpenStep::NoVideo, "no video track found", "failed to negotiate decode output"},
      &f.error);
  if (!reader) return f;
  reader->SetOutput(pm::PixelFormat::Nv12);
  if (!SeekTo(*reader, timestampSec)) {
    f.error = "seek to timestampSec failed";
    return f;
  }
  pm::VideoFrame frame;
  if (reader->ReadFrame(frame) != pm::ReadResult::Frame) {
    f.error = "frame decoding produced no output";
    return f;
  }
  f.success = true;
  f.width = frame.width;
  f.height = frame.height;
  f.timeSec = static_cast<double>(frame.time) / 1e7;
  f.nv12 = std::move(frame.data);
  return f;
}

ExtractedAudio ExtractAudioNative(const std::string& path, double startTimeSec, double endTimeSec,
                                  size_t maxBytes) {
  ExtractedAudio a;
  if (path.rfind(kBlobPrefix, 0) == 0) {
    a.error =
        "extractAudioNative does not support qvn-blob:// sources (no playerID in this RPC to address a blob "
        "provider) -- pass a real filesystem path";
    return a;
  }
  if (!(startTimeSec < endTimeSec)) {
    a.error = "endTimeSec must be greater than startTimeSec";
    return a;
  }
  std::unique_ptr<pm::SourceReader> reader = Open(
      path, pm::StreamKind::Audio, {pm::OpenStep::NoAudio, "no audio stream", "failed to negotiate PCM output"}, &a.error);
  if (!reader) return a;
  const pm::VideoInfo& info = reader->info();
  a.sampleRate = static_cast<uint32_t>(info.sampleRate);
  a.channels = static_cast<uint32_t>(info.channels);
  if (!SeekTo(*reader, startTimeSec)) {
    a.error = "seek to startTimeSec failed";
    return a;
  }
  // Room for the range as far as the file says it reaches; the header is not trusted with more
  // than a modest first allocation.
  constexpr double kMaxReserve = 64.0 * 1024 * 1024;
  const double from = std::max(startTimeSec, 0.0);
  const double to = info.duration > 0 ? std::min(endTimeSec, static_cast<double>(info.duration) / 1e7) : from;
  const double expected = (to - from) * info.sampleRate * info.channels * 2.0 + 65536.0;
  if (expected > 0) {
    a.pcm.reserve(static_cast<size_t>(std::min({expected, kMaxReserve, static_cast<double>(maxBytes)})));
  }

  pm::AudioChunk chunk;
  for (;;) {
    const pm::ReadResult result = reader->ReadAudio(chunk);
    if (result == pm::ReadResult::Error) {
      if (a.pcm.empty()) {
        a.error = "ReadSample failed";
        return a;
      }
      break;
    }
    if (result == pm::ReadResult::EndOfStream) break;
    if (static_cast<double>(chunk.time) / 1e7 >= endTimeSec) break;
    // The first frame that does not fit ends the extraction: skipping it and going on would
    // leave a hole the reply cannot show.
    if (chunk.pcm.size() > maxBytes - a.pcm.size()) break;
    a.pcm.insert(a.pcm.end(), chunk.pcm.begin(), chunk.pcm.end());
    if (a.pcm.size() >= maxBytes) break;
  }
  a.success = true;
  return a;
}

void RegisterMediaToolRows(RpcRouteTable& routes) {
  // The checks every row makes before its worker starts: types, then a non-empty path.
  auto checked = [](const RpcRequest& r, std::initializer_list<const char*> numbers, std::string* path) {
    PayloadReader reader(r.payload);
    *path = reader.String("filePath");
    std::string error = reader.ok() ? NumberTypeError(r.payload, numbers) : reader.Error();
    if (error.empty() && path->empty()) error = "Invalid parameters";
    if (!error.empty()) r.ReplyError(error);
    return error.empty() && r.outlet;
  };
  auto number = [](const json& payload, const char* key) {
    auto it = payload.find(key);
    return it != payload.end() && it->is_number() ? it->get<double>() : 0.0;
  };
  // Runs work on its own thread; it answers with the reply text work returns.
  auto run = [](const RpcRequest& r, const char* name, std::function<std::string(const json& id)> work) {
    RpcOutletPtr outlet = r.outlet;
    json id = r.id;
    const bool started = base::StartDetachedThread(name, [outlet, id, work = std::move(work)] {
      outlet->SendText(work(id));
    });
    if (!started) r.ReplyError("could not start worker");
  };

  routes.Register({"probeVideoMetadata"}, [=](const RpcRequest& r) {
    std::string path;
    if (!checked(r, {}, &path)) return;
    run(r, "media-probe", [path](const json& id) {
      const VideoMetadata m = ProbeVideoMetadata(path);
      if (!m.success) return MakeRpcReply(id, "error", m.error);
      return MakeRpcReply(id, "data",
                          {{"durationSec", m.durationSec},
                           {"width", m.width},
                           {"height", m.height},
                           {"fps", m.fps},
                           {"hasAudio", m.hasAudio},
                           {"nativeEngine", pm::DecoderEngineName()}});
    });
  });

  routes.Register({"decodeFrameNative"}, [=](const RpcRequest& r) {
    std::string path;
    if (!checked(r, {"timestampSec"}, &path)) return;
    const double timestampSec = number(r.payload, "timestampSec");
    run(r, "media-frame", [path, timestampSec](const json& id) {
      const DecodedFrame f = DecodeFrameNative(path, timestampSec);
      if (!f.success) return MakeRpcReply(id, "error", f.error);
      // The requested time, not the frame's: the page asked about that moment.
      return MakeRpcReply(
          id, "data", {{"width", f.width}, {"height", f.height}, {"timestampSec", timestampSec}, {"format", "NV12"}});
    });
  });

  routes.Register({"extractAudioNative"}, [=](const RpcRequest& r) {
    std::string path;
    if (!checked(r, {"startTimeSec", "endTimeSec"}, &path)) return;
    const double start = number(r.payload, "startTimeSec"), end = number(r.payload, "endTimeSec");
    run(r, "media-audio", [path, start, end](const json& id) {
      ExtractedAudio a = ExtractAudioNative(path, start, end);
      if (!a.success) return MakeRpcReply(id, "error", a.error);
      json data = {{"byteLength", a.pcm.size()}, {"sampleRate", a.sampleRate}, {"channels", a.channels}};
      std::string encoded = Base64Encode(a.pcm.data(), a.pcm.size());
      std::vector<uint8_t>().swap(a.pcm);  // up to 512 MiB less before the reply text is built
      data["pcmBase64"] = std::move(encoded);
      // As MakeRpcReply builds it, with the data moved in rather than copied.
      json reply = json::object();
      reply["id"] = id;
      reply["data"] = std::move(data);
      return DumpCompact(reply);
    });
  });
}

}  // namespace media
