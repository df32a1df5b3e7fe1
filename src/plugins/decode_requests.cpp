#include "plugins/decode_requests.h"

#include <sys/random.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <unordered_map>

#include "base/base64.h"
#include "base/json.h"
#include "base/log.h"
#include "base/never_destroyed.h"
#include "base/strings.h"
#include "base/thread.h"
#include "bridge/blob_chunk_router.h"
#include "bridge/rpc_routes.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "plugins/launch_command.h"
#include "plugins/launch_spec.h"
#include "plugins/native_packs.h"

using nlohmann::json;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace plugins {

namespace {

constexpr const char* kPdsClass = "{C56F2FAA-CC2A-11D4-891A-00508B60DCA6}";
constexpr const char* kBmsClass = "{ADA4F637-C3BC-4081-90C4-BE034E679C99}";

using CancelFlag = std::shared_ptr<std::atomic<bool>>;

struct DecodeTables {
  std::unordered_map<std::string, CancelFlag> inFlight;
  std::map<std::string, Clock::time_point> earlyCancels;
  std::mutex clockMutex;
  DecodeClock clock;
};

DecodeTables& Tables() {
  static base::NeverDestroyed<DecodeTables> tables;
  return *tables;
}

Clock::time_point Now() {
  DecodeTables& tables = Tables();
  std::lock_guard<std::mutex> lock(tables.clockMutex);
  return tables.clock ? tables.clock() : Clock::now();
}

json Failure(const std::string& message, const std::string& code = "") {
  json reply = {{"ok", false}, {"fallback", true}, {"error", ToValidUtf8(message)}};
  if (!code.empty()) reply["code"] = code;
  return reply;
}

json Classified(const std::string& text) {
  const LaunchFailure failure = ClassifyLaunchFailure(text);
  return Failure(failure.message, failure.code);
}

bool ValidDecodeId(const std::string& id) { return !id.empty() && id.size() <= kMaxDecodeIdChars; }

void RemoveFolder(const std::string& folder) {
  std::error_code ec;
  fs::remove_all(folder, ec);
}

std::string NewPackId() {
  uint8_t bytes[16];
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return "";
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // a version 4 GUID
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
  return HexLower(bytes, sizeof bytes);
}

const char* LaunchTypeName(const json& payload) {
  auto it = payload.find("launch");
  return it == payload.end() ? "missing" : it->type_name();
}

const char* Presence(const json& payload, const char* key) {
  auto it = payload.find(key);
  return it != payload.end() && it->is_string() && !it->get_ref<const std::string&>().empty() ? "present" : "missing";
}

// The SDK folder a converter decodes with: the one registered for the converter's class, else
// the first one discovery finds for its kind.
std::string RegisteredSdkFolder(const std::string& kind, const SdkSearchPlaces& places) {
  std::string folder = FindComServerFolder(kind == "pds" ? kPdsClass : kBmsClass, places);
  if (!folder.empty()) return folder;
  for (const SdkRecord& record : DiscoverLocalLibraries("", places)) {
    if (record.kind == kind || record.kind == "both") return record.folder;
  }
  return "";
}

json ConverterRoad(const json& payload, PluginLaunchContext& context, const std::string& fileName,
                   const DecodeProgressFn& progress, const PluginInputReader& reader, const DecodeOptions& options,
                   const SdkSearchPlaces& places) {
  const bool pds = context.pluginId == kPdsConverterId;
  const std::string kind = pds ? "pds" : "bmsapi";
  const std::string comFolder = RegisteredSdkFolder(kind, places);
  const SdkRecord probe = comFolder.empty() ? SdkRecord() : ProbeSdkFolder(comFolder);
  if (probe.kind.empty()) {
    return pds ? Failure("Pi Data Access Objects is not installed or x64 DAE COM registration is missing",
                         "pi_dao_not_installed")
               : Failure("Bosch BMS2API is not installed or x64 COM registration is missing",
                         "local_library_not_configured");
  }
  const std::string configured = PayloadReader(payload).String("localLibraryRoot");
  if (!configured.empty()) {
    std::error_code ec;
    if (!fs::equivalent(configured, comFolder, ec) || ec) {
      return Failure(
          "SDK folder differs from the registered vendor COM installation; the folder setting is validation only",
          "local_library_not_configured");
    }
  }
  context.inputs.localLibraryRoot = comFolder;
  context.inputs.localLibraryKind = kind;
  context.inputs.localLibraryVersion = probe.version;
  LogPrintf("[plugin] registered vendor COM: %s\n", comFolder.c_str());

  const std::string packId = NewPackId();
  if (packId.empty()) return Failure("temporary pack ID failed");
  const std::string folder = NativePackFolder(packId);
  std::error_code ec;
  // The user's alone, like the pack inside it (0600).
  if (platform::TempDir().size() > 260 || mkdir(folder.c_str(), 0700) != 0) {
    return Failure("temporary pack directory failed");
  }
  const std::string packPath = platform::JoinPath(folder, "session.pack.bin");

  const std::string decodeId = PayloadReader(payload).String("decodeId");
  CancelFlag flag = std::make_shared<std::atomic<bool>>(false);
  {
    std::lock_guard<std::mutex> lock(NativeDecodeMutex());
    DecodeTables& tables = Tables();
    if (tables.inFlight.size() >= kMaxDecodesInFlight || !ValidDecodeId(decodeId) ||
        tables.inFlight.count(decodeId)) {
      RemoveFolder(folder);
      return Failure("decode request ID rejected");
    }
    tables.inFlight.emplace(decodeId, flag);
    if (auto it = tables.earlyCancels.find(decodeId); it != tables.earlyCancels.end()) {
      if (Now() - it->second < kEarlyCancelLife) flag->store(true);
      tables.earlyCancels.erase(it);
    }
  }
  const std::function<bool()> cancelled = [flag] { return flag->load(); };

  const std::string spool = platform::JoinPath(folder, pds ? "input.pds" : "input.bmsbin");
  std::string inputPath;
  std::string error;
  const bool fromBlob = payload.contains("inputBlob");
  const std::string path = PayloadReader(payload).String("path");
  if (fromBlob) {
    inputPath = spool;
    error = reader ? reader(payload, spool, cancelled, progress) : "input stream unsupported";
  } else if (path.empty()) {
    const std::vector<uint8_t> bytes = Base64Decode(PayloadReader(payload).String("b64"));
    if (bytes.empty() || bytes.size() > kMaxSpooledInputBytes) {
      error = "missing or oversized selected input";
    } else if (!platform::WriteFileAtomic(spool, std::string(bytes.begin(), bytes.end()), 0600)) {
      error = "could not spool selected input";
    } else {
      inputPath = spool;
    }
  } else {
    inputPath = path;
  }

  if (error.empty()) {
    // A page-held input has reported its transfer as 0 to 0.3; the conversion fills the rest.
    const DecodeProgressFn remapped = [&progress, fromBlob](const json& value) {
      if (!progress) return;
      auto it = value.find("ratio");
      if (!fromBlob || it == value.end() || !it->is_number()) return progress(value);
      json copy = value;
      copy["ratio"] = 0.3 + 0.7 * it->get<double>();
      progress(copy);
    };
    error = RunPackConverter(context, inputPath, packPath, fileName, cancelled, remapped, options.limits);
  }

  {
    std::lock_guard<std::mutex> lock(NativeDecodeMutex());
    Tables().inFlight.erase(decodeId);
  }
  std::error_code ignored;
  fs::remove(spool, ignored);

  if (!error.empty()) {
    RemoveFolder(folder);
    return Classified(error);
  }
  const uint64_t size = fs::file_size(packPath, ec);
  if (ec || size < kMinNativePackBytes) {
    RemoveFolder(folder);
    return Failure("converter returned a truncated pack");
  }
  if (size > kMaxNativePackBytes) {
    RemoveFolder(folder);
    return Failure("decoded pack exceeds 2 GiB limit");
  }
  {
    std::lock_guard<std::mutex> lock(NativeDecodeMutex());
    if (!RegisterNativePack(packId, folder, context.pluginId, size)) {
      RemoveFolder(folder);
      return Failure("too many local packs open; close an imported session first");
    }
  }
  return {{"ok", true},
          {"provenance", "verified"},
          {"libraryId", ToValidUtf8(comFolder)},
          {"version", ToValidUtf8(probe.version)},
          {"result", {{"format", "qvn-pack-v1"}, {"packId", packId}, {"size", size}}}};
}

json JsonRoad(const json& payload, bool developerMode, PluginLaunchContext& context, const std::string& fileName,
              const DecodeOptions& options, const SdkSearchPlaces& places) {
  const std::optional<SdkRecord> library = SelectLocalLibrary(payload, developerMode, fileName, places);
  if (!library) return Failure("local library directory is not configured", "local_library_not_configured");
  context.inputs.localLibraryRoot = library->folder;
  context.inputs.localLibraryKind = library->kind;
  context.inputs.localLibraryVersion = library->version;

  json request = {{"op", "decode"}, {"fileName", fileName}};
  if (auto it = payload.find("path"); it != payload.end()) {
    request["path"] = *it;
  } else if (auto b64 = payload.find("b64"); b64 != payload.end()) {
    request["b64"] = *b64;
  } else {
    return Failure("missing path");
  }
  std::string out;
  const std::string error = RunJsonDecoder(context, request.dump(), &out, options.limits);
  if (!error.empty()) return Classified(error);
  json result = json::parse(out, nullptr, false);
  if (result.is_discarded()) return Failure("decoder returned invalid JSON");
  return {{"ok", true},
          {"result", std::move(result)},
          {"provenance", "verified"},
          {"libraryId", ToValidUtf8(context.inputs.localLibraryRoot)},
          {"version", ToValidUtf8(context.inputs.localLibraryVersion)}};
}

}  // namespace

json DecodeTelemetryPlugin(const json& payloadIn, bool developerMode, const DecodeProgressFn& progress,
                           const PluginInputReader& reader, const DecodeOptions& options) {
  static const json kEmpty = json::object();
  const json& payload = payloadIn.is_object() ? payloadIn : kEmpty;
  LogPrintf("[plugin] decode request: pluginId=%s packageSha256=%s launchType=%s settings=%s\n",
            Presence(payload, "pluginId"), Presence(payload, "packageSha256"), LaunchTypeName(payload),
            payload.contains("pluginSettings") ? "present" : "missing");

  if (!developerMode) {
    if (payload.contains("entryFiles") || payload.contains("entryName")) {
      return Failure("caller-supplied plugin code requires plugin developer mode", "E_DEVELOPER_MODE_REQUIRED");
    }
    auto extra = payload.find("extraDir");
    if (extra != payload.end() && extra->is_string() && !extra->get_ref<const std::string&>().empty()) {
      return Failure("extraDir requires plugin developer mode", "E_DEVELOPER_MODE_REQUIRED");
    }
  }
  auto launch = payload.find("launch");
  if (launch == payload.end() || !launch->is_object()) {
    return Classified("launch missing: decode payload has no launch object");
  }
  // Members read as text must be text: anything else is answered, never guessed at.
  PayloadReader strings(payload);
  for (const char* key : {"pluginId", "packageSha256", "fileName", "decodeId", "path", "b64", "localLibraryRoot"}) {
    strings.String(key);
  }
  if (!strings.ok()) return Failure(strings.Error());

  PluginLaunchContext context;
  context.pluginId = PayloadReader(payload).String("pluginId");
  context.packageSha256 = PayloadReader(payload).String("packageSha256");
  context.capability = "decode";
  if (auto settings = payload.find("pluginSettings"); settings != payload.end() && settings->is_object()) {
    context.inputs.pluginSettings = DumpCompact(*settings);
  }
  // The hint's text holds only the members it reads, so a page's "b64" input is not written out
  // and parsed once more.
  json hint = json::object();
  for (const char* key : {"launch", "executable", "platform"}) {
    if (auto it = payload.find(key); it != payload.end()) hint[key] = *it;
  }
  std::string error;
  context.launch = ParseLaunchHint(DumpCompact(hint), &error);
  if (!error.empty()) return Classified(error);

  const std::string fileName = PayloadReader(payload).String("fileName");
  if (context.pluginId == kPdsConverterId && context.launch.executable.empty()) {
    return Failure(
        "update the PDS plugin to the native Pi DAE converter package; the legacy Python adapter does not implement "
        "this SDK",
        "plugin_update_required");
  }
  SdkSearchPlaces defaults;
  if (!options.places) defaults = DefaultSdkSearchPlaces();
  const SdkSearchPlaces& places = options.places ? *options.places : defaults;
  if (IsNativeConverterId(context.pluginId) && !context.launch.executable.empty()) {
    return ConverterRoad(payload, context, fileName, progress, reader, options, places);
  }
  return JsonRoad(payload, developerMode, context, fileName, options, places);
}

json CancelNativePluginDecode(const json& payload) {
  const std::string decodeId = payload.is_object() ? PayloadReader(payload).String("decodeId") : std::string();
  std::lock_guard<std::mutex> lock(NativeDecodeMutex());
  DecodeTables& tables = Tables();
  if (auto it = tables.inFlight.find(decodeId); it != tables.inFlight.end()) {
    it->second->store(true);
  } else if (ValidDecodeId(decodeId)) {
    const Clock::time_point now = Now();
    for (auto early = tables.earlyCancels.begin(); early != tables.earlyCancels.end();) {
      early = now - early->second >= kEarlyCancelLife ? tables.earlyCancels.erase(early) : std::next(early);
    }
    if (!tables.earlyCancels.count(decodeId) && tables.earlyCancels.size() >= kMaxEarlyCancels) {
      tables.earlyCancels.erase(tables.earlyCancels.begin());
    }
    tables.earlyCancels[decodeId] = now;
  }
  return {{"ok", true}};
}

json MakeDecodeProgressEvent(const json& progress, const json& payload) {
  json event = progress.is_object() ? progress : json::object();
  event["type"] = "plugin.decodeProgress";
  for (const char* key : {"pluginId", "fileName", "decodeId"}) {
    auto it = payload.is_object() ? payload.find(key) : payload.end();
    event[key] = payload.is_object() && it != payload.end() ? *it : json(nullptr);
  }
  return event;
}

void SetDecodeClockForTesting(DecodeClock clock) {
  DecodeTables& tables = Tables();
  std::lock_guard<std::mutex> lock(tables.clockMutex);
  tables.clock = std::move(clock);
}

void ResetDecodeTablesForTesting() {
  std::lock_guard<std::mutex> lock(NativeDecodeMutex());
  Tables().inFlight.clear();
  Tables().earlyCancels.clear();
}

namespace {

// The thread body of one decode request.
void DecodePluginWorker(RpcOutletPtr outlet, std::shared_ptr<BlobChunkRouter> router, json id, json payload,
                        bool developerMode, uint64_t generation) {
  const DecodeProgressFn sink = [&outlet, &payload](const json& progress) {
    if (outlet) outlet->SendText(DumpCompact(MakeDecodeProgressEvent(progress, payload)));
  };
  const PluginInputReader reader = MakePluginInputReader(outlet, router, generation);
  json result;
  try {
    result = DecodeTelemetryPlugin(payload, developerMode, sink, reader);
  } catch (const std::exception& e) {
    LogPrintf("[plugin] decode failed: %s\n", e.what());
    result = Failure(std::string("decode failed: ") + e.what());
  }
  if (outlet) outlet->SendText(MakeRpcReply(id, "data", result));
}

}  // namespace

void RegisterDecodeRows(RpcRouteTable& routes, std::function<bool()> developerMode,
                        std::shared_ptr<BlobChunkRouter> blobRouter) {
  routes.Register({"decodeTelemetryPlugin", "decodeNativePlugin"}, [developerMode, blobRouter](const RpcRequest& r) {
    const bool dev = developerMode ? developerMode() : false;
    const uint64_t generation = r.outlet ? r.outlet->Generation() : 0;
    bool started = base::StartDetachedThread(
        "decode", [outlet = r.outlet, blobRouter, id = r.id, payload = r.payload, dev, generation] {
          DecodePluginWorker(outlet, blobRouter, id, payload, dev, generation);
        });
    if (!started) r.ReplyError("could not start worker");
  });
  routes.Register({"cancelNativePluginDecode"},
                  [](const RpcRequest& r) { r.Reply(CancelNativePluginDecode(r.payload)); });
}

}  // namespace plugins
