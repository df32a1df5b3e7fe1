#include "remote/remote_control.h"

#include <climits>
#include <initializer_list>
#include <set>
#include <utility>

#include "base/json.h"
#include "base/log.h"
#include "bridge/rpc_routes.h"
#include "remote/out_conn.h"
#include "remote/remote_listener.h"
#include "remote/remote_wire.h"

namespace remote {

namespace {

std::string AccountOf(const std::string& subject) {
  return subject.rfind("user:", 0) == 0 ? subject.substr(5) : subject;
}

// The settings path, computed once (state mutex held).
std::string SettingsPathLocked(State& state) {
  if (state.settingsPath.empty()) state.settingsPath = RemoteSettingsPath();
  return state.settingsPath;
}

}  // namespace

Json BuildViewerList(State& state) {
  Json list = Json::array();
  for (const ViewerPtr& v : state.viewers) {
    Json info = {{"viewerId", v->connId}, {"name", v->name}, {"account", AccountOf(v->subject)},
                 {"shareId", v->shareId}, {"ip", v->ip}, {"sinceMs", v->connectedAtMs}};
    std::lock_guard<std::mutex> lock(v->mutex);
    info["bytes"] = v->bytesSent;
    if (v->windowStarted) info["hz"] = v->sentInWindow;
    list.push_back(std::move(info));
  }
  return list;
}

Json BuildStatus(State& state) {
  Json addresses = Json::array();
  for (const LanAddress& a : state.addresses) addresses.push_back({{"ip", a.ip}, {"kind", a.kind}});
  Json status = {{"enabled", state.enabled},
                 {"port", state.listening && state.boundPort > 0 ? Json(state.boundPort) : Json(nullptr)},
                 {"addresses", std::move(addresses)},
                 {"viewers", BuildViewerList(state)},
                 {"networkCategory", state.networkCategory.empty() ? "unknown" : state.networkCategory}};
  if (!state.lastError.empty()) status["error"] = state.lastError;
  return status;
}

Json HandleStatus(State& state) {
  const std::string category = platform::netinfo::GetNetworkCategory();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.networkCategory = category;
  return BuildStatus(state);
}

void SendListenerStatusEvent(State& state) {
  Json status = HandleStatus(state);
  status["type"] = "remote.listener";
  SendEvent(state, DumpCompact(status));
}

// A page that connects is told the status at once, on or off, so it never shows a stale one.
void OnPageConnected(State& state) { EmitListenerStatus(state); }

void HandleSetEnabled(State& state, bool enabled, int32_t port) {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    path = SettingsPathLocked(state);
    state.port = kRemotePort;
    state.enabled = enabled;
    if (!enabled) state.lastError.clear();
  }
  if (port > 0 && port != kRemotePort) {
    LogPrintf("[remote] ignoring requested port %d; fixed port is %d\n", static_cast<int>(port), kRemotePort);
  }
  SaveRemoteSettings(path, enabled, kRemotePort);
  if (enabled) {
    LogPrintf("[remote] network %s\n", platform::netinfo::GetNetworkCategory().c_str());
    StartListener(state);
  } else {
    StopListener(state);
  }
  EmitListenerStatus(state);
}

namespace {

constexpr const char kShareIdAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-";
constexpr const char kSourceAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-.@#";

bool IsNameOf(const std::string& text, size_t maxBytes, const char* alphabet) {
  return !text.empty() && text.size() <= maxBytes && text.find_first_not_of(alphabet) == std::string::npos;
}

Json ShareError(const char* code) { return {{"ok", false}, {"error", code}}; }

}  // namespace

Json HandleShareSources(State& state, const Json& payload) {
  if (!payload.is_object()) return ShareError("E_SHARE_SOURCES_INVALID");
  auto id = payload.find("shareId");
  auto sources = payload.find("sources");
  if (id == payload.end() || !id->is_string() || sources == payload.end() || !sources->is_array()) {
    return ShareError("E_SHARE_SOURCES_INVALID");
  }
  const std::string shareId = id->get<std::string>();
  if (!IsNameOf(shareId, 64, kShareIdAlphabet)) return ShareError("E_SHARE_SOURCES_INVALID");
  if (sources->empty() || sources->size() > kMaxShareSources) return ShareError("E_SHARE_SOURCES_INVALID");
  std::set<std::string> names;
  for (const Json& element : *sources) {
    if (!element.is_string() || !IsNameOf(element.get_ref<const std::string&>(), 256, kSourceAlphabet)) {
      return ShareError("E_SHARE_SOURCES_INVALID");
    }
    names.insert(element.get<std::string>());
  }
  // The revocation list lives under the state mutex and the shares under cacheMutex; the mutexes
  // are taken one after the other, and a share revoked in between is dropped again below.
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (IsShareRevoked(state, shareId)) return ShareError("E_TOKEN_REVOKED");
  }
  {
    std::lock_guard<std::recursive_mutex> cache(state.cacheMutex);
    auto existing = state.shares.find(shareId);
    if (existing != state.shares.end()) {
      std::set<std::string> have;
      for (const Subscription& s : existing->second) have.insert(s.requestedSource);
      if (have != names) return ShareError("E_SHARE_SOURCES_LOCKED");
      // The same share again: each source whose run ended follows a new run, if one is live.
      for (Subscription& s : existing->second) BindShareSource(state, s);
      return Json{{"ok", true}};
    }
    if (state.shares.size() >= kMaxShares) return ShareError("E_SHARE_LIMIT");
    std::vector<Subscription> entries;
    for (const std::string& name : names) {
      Subscription s;
      s.requestedSource = name;
      BindShareSource(state, s);
      entries.push_back(std::move(s));
    }
    state.shares.emplace(shareId, std::move(entries));
  }
  bool revokedMeanwhile;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    revokedMeanwhile = IsShareRevoked(state, shareId);
  }
  if (revokedMeanwhile) {
    std::lock_guard<std::recursive_mutex> cache(state.cacheMutex);
    state.shares.erase(shareId);
    return ShareError("E_TOKEN_REVOKED");
  }
  return {{"ok", true}};
}

Json HandleRevoke(State& state, const Json& payload) {
  const bool all = payload.value("all", false);
  const int64_t revokedAtMs = payload.contains("revokedAtMs") ? payload["revokedAtMs"].get<int64_t>() : 0;
  std::vector<std::string> shareIds;
  if (auto it = payload.find("shareIds"); it != payload.end() && it->is_array()) {
    for (const Json& e : *it) {
      if (e.is_string() && !e.get_ref<const std::string&>().empty()) shareIds.push_back(e.get<std::string>());
    }
  }
  if (auto it = payload.find("jtis"); it != payload.end() && it->is_array()) {
    std::lock_guard<std::mutex> lock(state.mutex);
    for (const Json& e : *it) {
      if (e.is_string()) state.revokedJtis.push_back(e.get<std::string>());
    }
  }
  std::vector<ViewerPtr> picked;
  {
    const int64_t t = revokedAtMs < 1 ? ServerNowSec(state) : revokedAtMs / 1000;
    std::lock_guard<std::mutex> lock(state.mutex);
    if (all && t > state.revokedBeforeSec) state.revokedBeforeSec = t;
    for (const std::string& id : shareIds) {
      if (!IsShareRevoked(state, id)) state.revokedShareIds.push_back(id);
    }
    for (const ViewerPtr& v : state.viewers) {
      if (all || (!v->shareId.empty() && IsShareRevoked(state, v->shareId))) picked.push_back(v);
    }
  }
  for (const ViewerPtr& v : picked) CloseViewer(*v, kCloseDenied, "revoked");
  {
    std::lock_guard<std::recursive_mutex> cache(state.cacheMutex);
    if (all) {
      state.shares.clear();
    } else {
      for (const std::string& id : shareIds) state.shares.erase(id);
    }
  }
  return {{"ok", true}, {"closed", picked.size()}};
}

void HandleKick(State& state, const std::string& viewerId) {
  ViewerPtr found;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    for (const ViewerPtr& v : state.viewers) {
      if (v->connId == viewerId) found = v;
    }
  }
  if (found) CloseViewer(*found, kCloseDenied, "kicked");
}

namespace {

// The type error of the first listed member present with the wrong kind, or "".
bool CheckTypes(const RpcRequest& r, std::initializer_list<const char*> strings,
                std::initializer_list<const char*> numbers, std::initializer_list<const char*> booleans = {}) {
  if (!r.payload.is_null() && !r.payload.is_object()) {
    r.ReplyError("invalid parameters");
    return false;
  }
  PayloadReader reader(r.payload);
  for (const char* key : strings) reader.String(key);
  for (const char* key : booleans) reader.Bool(key);
  std::string error = reader.ok() ? NumberTypeError(r.payload, numbers) : reader.Error();
  if (!error.empty()) r.ReplyError(error);
  return error.empty();
}

int32_t Int32Member(const Json& payload, const char* key, int32_t fallback) {
  auto it = payload.find(key);
  if (it == payload.end() || !it->is_number()) return fallback;
  const double d = it->get<double>();
  if (!(d > -2147483648.0)) return INT32_MIN;
  if (!(d < 2147483647.0)) return INT32_MAX;
  return static_cast<int32_t>(d);
}

}  // namespace

void RegisterRemoteRows(RpcRouteTable& routes) { RegisterRemoteRows(routes, GetState()); }

void RegisterRemoteRows(RpcRouteTable& routes, State& state) {
  State* s = &state;
  routes.Register({"remote.status"}, [s](const RpcRequest& r) { r.Reply(HandleStatus(*s)); });
  routes.Register({"remote.setEnabled"}, [s](const RpcRequest& r) {
    if (!CheckTypes(r, {}, {"port"}, {"enabled"})) return;
    HandleSetEnabled(*s, PayloadReader(r.payload).Bool("enabled"), Int32Member(r.payload, "port", 0));
    r.Reply(HandleStatus(*s));
  });
  routes.Register({"remote.shareSources"}, [s](const RpcRequest& r) {
    Json result = HandleShareSources(*s, r.payload);
    if (result.value("ok", false)) return r.Reply(Json{{"ok", true}});
    r.ReplyError(result.value("error", std::string("E_SHARE_SOURCES_INVALID")));
  });
  routes.Register({"remote.revoke"}, [s](const RpcRequest& r) {
    if (!CheckTypes(r, {}, {"revokedAtMs"}, {"all"})) return;
    Json payload = r.payload.is_object() ? r.payload : Json::object();
    if (payload.contains("revokedAtMs")) {
      const double d = payload["revokedAtMs"].get<double>();
      payload["revokedAtMs"] = d < -9.2e18 ? INT64_MIN : d > 9.2e18 ? INT64_MAX : static_cast<int64_t>(d);
    }
    r.Reply(HandleRevoke(*s, payload));
  });
  routes.Register({"remote.kick"}, [s](const RpcRequest& r) {
    if (!CheckTypes(r, {"viewerId"}, {})) return;
    HandleKick(*s, PayloadReader(r.payload).String("viewerId"));
    r.Reply(Json{{"ok", true}});
  });
  routes.Register({"remote.connect"}, [s](const RpcRequest& r) {
    if (!CheckTypes(r, {"token", "connectionId"}, {"maxHz"})) return;
    std::vector<std::string> addresses;
    if (auto it = r.payload.find("addr"); it != r.payload.end() && it->is_array()) {
      for (const Json& a : *it) {
        if (a.is_string()) addresses.push_back(a.get<std::string>());
      }
    }
    auto resume = r.payload.find("resume");
    const Json resumeObject = resume != r.payload.end() && resume->is_object() ? *resume : Json::object();
    PayloadReader reader(r.payload);
    const std::string connectionId = reader.String("connectionId");
    const std::string error = HandleConnect(*s, connectionId, reader.String("token"), addresses, resumeObject,
                                            Int32Member(r.payload, "maxHz", 20));
    if (!error.empty()) return r.ReplyError(error);
    r.Reply(Json{{"ok", true}, {"connectionId", connectionId}});
  });
  routes.Register({"remote.renew"}, [s](const RpcRequest& r) {
    if (!CheckTypes(r, {"token", "connectionId"}, {})) return;
    PayloadReader reader(r.payload);
    const std::string error = HandleRenew(*s, reader.String("connectionId"), reader.String("token"));
    if (!error.empty()) return r.ReplyError(error);
    r.Reply(Json{{"ok", true}});
  });
  routes.Register({"remote.disconnect"}, [s](const RpcRequest& r) {
    if (!CheckTypes(r, {"connectionId"}, {})) return;
    HandleDisconnect(*s, PayloadReader(r.payload).String("connectionId"));
    r.Reply(Json{{"ok", true}});
  });
}

}  // namespace remote
