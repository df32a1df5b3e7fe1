#include "remote/remote_state.h"

#include <chrono>

#include "base/log.h"
#include "bridge/tokens/capability_token_registry.h"
#include "remote/out_conn.h"
#include "remote/remote_listener.h"

namespace remote {

namespace {

constexpr int64_t kFailureWindowMs = 60000;
constexpr int64_t kIpLockMs = 600000;
constexpr int64_t kPauseMs = 60000;
constexpr size_t kIpLockFailures = 5;
constexpr size_t kPauseFailures = 20;

}  // namespace

Clock Clock::System() {
  return {[] { return SystemWallClockMs(); },
          [] {
            return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now().time_since_epoch())
                                            .count());
          }};
}

State::State(Clock clockIn, AddressProvider addresses, CapabilityTokenRegistry* registryIn)
    : clock(std::move(clockIn)),
      addressProvider(std::move(addresses)),
      registry(registryIn ? *registryIn : CapabilityTokenRegistry::Instance()) {}

State::~State() {
  CloseAllOutConns(*this);
  StopListener(*this);
}

State& GetState() {
  static State state;
  return state;
}

void PruneFailureWindow(std::deque<int64_t>& times, int64_t nowMs) {
  while (!times.empty() && nowMs - times.front() > kFailureWindowMs) times.pop_front();
}

bool IsAdmitted(State& state, const std::string& ip, int64_t nowMs) {
  if (nowMs < state.guard.pauseUntilMs) return false;
  for (const AuthGuard::IpLock& lock : state.guard.lockedIps) {
    if (lock.ip == ip && lock.untilMs > nowMs) return false;
  }
  return true;
}

void RecordAuthFailure(State& state, const std::string& ip, int64_t nowMs, FailureScope scope) {
  bool locked = false, paused = false;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    AuthGuard& guard = state.guard;
    if (scope == FailureScope::AddressAndGlobal) {
      PruneFailureWindow(guard.recentFailures, nowMs);
      guard.recentFailures.push_back(nowMs);
    }
    AuthGuard::IpFailures* record = nullptr;
    for (auto& r : guard.failuresByIp) {
      if (r.ip == ip) record = &r;
    }
    if (record == nullptr) {
      guard.failuresByIp.push_back({ip, {}});
      record = &guard.failuresByIp.back();
    }
    PruneFailureWindow(record->times, nowMs);
    record->times.push_back(nowMs);
    if (record->times.size() >= kIpLockFailures) {
      bool found = false;
      for (auto& l : guard.lockedIps) {
        if (l.ip == ip) {
          l.untilMs = nowMs + kIpLockMs;
          found = true;
        }
      }
      if (!found) guard.lockedIps.push_back({ip, nowMs + kIpLockMs});
      locked = true;
    }
    if (scope == FailureScope::AddressAndGlobal && guard.recentFailures.size() >= kPauseFailures) {
      guard.pauseUntilMs = nowMs + kPauseMs;
      paused = true;
    }
  }
  if (locked) LogPrintf("[remote] auth lock ip=%s 10min\n", ip.c_str());
  if (paused) LogPrintf("[remote] auth pause 60s\n");
}

bool IsShareRevoked(const State& state, const std::string& shareId) {
  for (const auto& s : state.revokedShareIds) {
    if (s == shareId) return true;
  }
  return false;
}

bool IsJtiRevoked(const State& state, const std::string& jti) {
  for (const auto& j : state.revokedJtis) {
    if (j == jti) return true;
  }
  return false;
}

int CountViewersOfSubject(const State& state, const std::string& subject) {
  int n = 0;
  for (const auto& v : state.viewers) {
    if (v->subject == subject) ++n;
  }
  return n;
}

void SendEvent(State& state, const std::string& text) {
  UiTextSink sink;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    sink = state.eventSink;
  }
  if (sink) sink(text);
}

void EmitListenerStatus(State& state) {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    hook = state.listenerStatusHook;
  }
  if (hook) hook();
}

int64_t ServerNowSec(State& state) { return state.registry.ServerNowSeconds(state.clock.wallMs()); }

}  // namespace remote
