#pragma once
// A fresh registry over the development issuer key, with a wall clock the test sets.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "bridge/tokens/capability_token_registry.h"
#include "token_minter.h"

class TokenTest : public ::testing::Test {
 protected:
  static constexpr int64_t kNow = 1'800'000'000;
  static constexpr const char* kIssuer = "https://issuer.test.invalid";
  static constexpr const char* kInstall = "0123456789abcdef0123456789abcdef";
  static constexpr const char* kSession = "fedcba9876543210fedcba9876543210";
  const std::string kPkg = std::string(64, 'a');
  const std::string kOtherPkg = std::string(64, 'b');

  void SetUp() override {
    std::string error;
    ASSERT_TRUE(qvsign::LoadSigningKey(QV_TEST_FIXTURES "/keys/issuer-dev.seed", key, error)) << error;
    wallMs = kNow * 1000;
    registry = std::make_unique<CapabilityTokenRegistry>(key.publicKey, kIssuer, [this] { return wallMs.load(); });
    registry->SetInstallation(kInstall, kSession);
  }

  std::string OnlineAudience() const { return std::string("qvn-install:") + kInstall + "/" + kSession; }
  std::string OfflineAudience() const { return std::string("qvn-install:") + kInstall; }

  // A valid realtime token of plugin "p1" for the online audience, current at kNow.
  nlohmann::json CapPayload(const std::string& pluginId = "p1", const std::string& cap = "realtime") const {
    return {{"iss", kIssuer},
            {"aud", OnlineAudience()},
            {"sub", "user:u1/plugin:" + pluginId},
            {"pkg", kPkg},
            {"nbf", kNow - 10},
            {"exp", kNow + 600},
            {"jti", qvsign::RandomJti()},
            {"cap", cap},
            {"scope", nlohmann::json::array(
                          {(cap == "decode" ? "decode.job:" : "rt.publish:") + pluginId})}};
  }

  nlohmann::json ViewPayload() const {
    return {{"iss", kIssuer},          {"aud", OnlineAudience()}, {"sub", "user:viewer@example.org"},
            {"cap", "view"},           {"nbf", kNow - 10},        {"exp", kNow + 600},
            {"iat", kNow - 10},        {"jti", qvsign::RandomJti()},
            {"scope", nlohmann::json::array({"live.subscribe"})}};
  }

  // base with the members of change set; a null member is removed instead.
  static nlohmann::json With(nlohmann::json base, const nlohmann::json& change) {
    for (const auto& [k, v] : change.items()) {
      if (v.is_null()) {
        base.erase(k);
      } else {
        base[k] = v;
      }
    }
    return base;
  }

  std::string Mint(const nlohmann::json& payload) const { return qvsign::MintToken(key, payload); }

  std::string ApplyList(nlohmann::json list) {
    if (!list.contains("kid")) list["kid"] = "rpc-cap";
    return registry->ApplyRevocations(qvsign::SignRevocationList(key, list).dump()).code;
  }
  void EnableTokens() { ASSERT_EQ(ApplyList(nlohmann::json::object()), ""); }

  TokenExpectations Expect(int64_t now = kNow, bool consume = false) const {
    TokenExpectations e;
    e.pluginId = "p1";
    e.pkg = kPkg;
    e.nowSeconds = now;
    e.consume = consume;
    return e;
  }

  qvsign::SigningKey key;
  std::atomic<int64_t> wallMs{0};
  std::unique_ptr<CapabilityTokenRegistry> registry;
};
