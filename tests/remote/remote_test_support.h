#pragma once
// A remote::State on a clock the test moves, with a fixed address list and its own token registry.
#include <atomic>
#include <memory>

#include "bridge/tokens/capability_token_registry.h"
#include "remote/remote_state.h"

struct FakeClock {
  std::atomic<int64_t> wall{1'800'000'000'000};
  std::atomic<int64_t> steady{1'000'000};
  remote::Clock Make() {
    return {[this] { return wall.load(); }, [this] { return steady.load(); }};
  }
  void Advance(int64_t ms) {
    wall += ms;
    steady += ms;
  }
};

inline std::unique_ptr<remote::State> MakeTestState(FakeClock& clock, CapabilityTokenRegistry* registry = nullptr) {
  return std::make_unique<remote::State>(
      clock.Make(), [] { return std::vector<remote::LanAddress>{{"127.0.0.1", "lan"}}; }, registry);
}
