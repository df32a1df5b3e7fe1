#include "bridge/rpc_dispatch.h"

#include <cmath>
#include <exception>

#include "base/log.h"
#include "bridge/general_requests.h"
#include "base/json.h"
#include "bridge/tokens/token_format.h"
#include "platform/shell.h"

using nlohmann::json;

namespace {

constexpr size_t kMaxNesting = 256;  // deeper texts are refused before the recursive parts see them

// Where a parse stopped, for texts the parser refuses with another error than a syntax one
// (a number too large for a double).
struct ParseStop {
  size_t byte = 0;
  bool null() { return true; }
  bool boolean(bool) { return true; }
  bool number_integer(json::number_integer_t) { return true; }
  bool number_unsigned(json::number_unsigned_t) { return true; }
  bool number_float(json::number_float_t, const std::string&) { return true; }
  bool string(std::string&) { return true; }
  bool binary(json::binary_t&) { return true; }
  bool start_object(size_t) { return true; }
  bool key(std::string&) { return true; }
  bool end_object() { return true; }
  bool start_array(size_t) { return true; }
  bool end_array() { return true; }
  bool parse_error(size_t position, const std::string&, const nlohmann::detail::exception&) {
    byte = position;
    return false;
  }
};

}  // namespace

bool IsOpenableExternalUrl(const std::string& url) {
  if (url.size() < 8 || url.size() > 8192) return false;
  for (unsigned char c : url) {
    if (c <= 0x20 || c == 0x7F || c == '\\') return false;
  }
  auto startsWithNoCase = [&url](const char* prefix) {
    size_t i = 0;
    for (; prefix[i]; ++i) {
      if (i >= url.size()) return false;
      char c = url[i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c != prefix[i]) return false;
    }
    return true;
  };
  size_t start;
  if (startsWithNoCase("https://")) {
    start = 8;
  } else if (startsWithNoCase("http://")) {
    start = 7;
  } else {
    return false;
  }
  size_t end = url.find_first_of("/?#", start);
  if (end == std::string::npos) end = url.size();
  return end > start;
}

RpcDispatch::RpcDispatch(RpcOutletPtr outlet, WindowSidePtr windows, Options options)
    : outlet_(std::move(outlet)), windows_(std::move(windows)), options_(std::move(options)) {
  if (!options_.wallClock) options_.wallClock = SystemWallClockMs;
  if (!options_.openExternal) options_.openExternal = platform::OpenExternal;
  if (!options_.revealInFolder) options_.revealInFolder = RevealInFolder;
  RegisterGeneralRows();
}

// Workers are not waited for: they hold the outlet, which is detached at shutdown.
RpcDispatch::~RpcDispatch() { blobRouter_->Clear(); }

void RpcDispatch::Reply(const json& id, const json& data) {
  if (outlet_) outlet_->SendText(MakeRpcReply(id, "data", data));
}

void RpcDispatch::ReplyError(const json& id, const std::string& error) {
  if (outlet_) outlet_->SendText(MakeRpcReply(id, "error", error));
}

void RpcDispatch::HandleMessage(const std::string& text) {
  if (size_t deep = tokens::NestingExceededAt(text, kMaxNesting)) {
    LogPrintf("[rpc] bad JSON at byte %zu\n", deep);
    return;
  }
  json message;
  try {
    message = json::parse(text);
  } catch (const json::parse_error& e) {
    LogPrintf("[rpc] bad JSON at byte %zu\n", e.byte);
    return;
  } catch (const json::exception&) {
    ParseStop stop;
    json::sax_parse(text, &stop);
    LogPrintf("[rpc] bad JSON at byte %zu\n", stop.byte);
    return;
  }
  if (!message.is_object() || !message.contains("id") || !message.contains("type") ||
      !message["type"].is_string()) {
    LogPrintf("[rpc] malformed message (missing id/type)\n");
    return;
  }
  const json id = message["id"];
  const std::string type = message["type"].get<std::string>();
  json payload = json::object();
  auto member = message.find("payload");
  bool payloadOk = member == message.end() || member->is_object();
  if (member != message.end() && member->is_object()) payload = *member;
  LogPrintf("[rpc] <- type=%s\n", type.c_str());
  if (!payloadOk) {
    ReplyError(id, "invalid parameter type: payload");
    return;
  }
  const RpcRequest request{id, type, payload, outlet_};
  try {
    if (const RpcRouteTable::Row* row = routes_.Find(type)) {
      (*row)(request);
    } else {
      request.ReplyNotImplemented();
    }
  } catch (const std::exception& e) {
    // A row must never take the connection thread down; the page still gets its answer.
    LogPrintf("[rpc] %s failed: %s\n", type.c_str(), e.what());
    ReplyError(id, std::string("request failed: ") + e.what());
  }
}

