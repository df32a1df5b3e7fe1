#include <limits>

#include "build_config.h"

#include "support/token_test_support.h"

using nlohmann::json;

namespace {

std::string SignedPart(const std::string& token) { return token.substr(0, token.rfind('.')); }

}  // namespace

TEST_F(TokenTest, MalformedTokenTextsAreSignatureFailures) {
  EnableTokens();
  const std::string good = Mint(CapPayload());
  ASSERT_EQ(registry->VerifyCapToken(good, Expect()), "");

  qvsign::SigningKey other;
  ASSERT_TRUE(qvsign::SigningKeyFromSeedHex(std::string(64, '1'), other));
  const std::string header = R"({"alg":"EdDSA","kid":"rpc-cap","typ":"qvn-cap+jwt"})";
  const std::string payload = CapPayload().dump();
  std::string tampered = good;
  tampered[tampered.find('.') + 5] ^= 1;

  struct Case {
    const char* what;
    std::string token;
  } cases[] = {
      {"three dots", good + ".AA"},
      {"one dot", SignedPart(good)},
      {"empty", ""},
      {"bad character", "*" + good},
      {"63-byte signature", SignedPart(good) + "." + qvsign::Base64UrlEncode(std::string(63, 'x'))},
      {"65-byte signature", SignedPart(good) + "." + qvsign::Base64UrlEncode(std::string(65, 'x'))},
      {"tampered payload", tampered},
      {"other key", qvsign::MintToken(other, CapPayload())},
      {"fourth header member",
       qvsign::SignTokenText(key, R"({"alg":"EdDSA","kid":"rpc-cap","typ":"qvn-cap+jwt","x":1})", payload)},
      {"wrong alg", qvsign::SignTokenText(key, R"({"alg":"none","kid":"rpc-cap","typ":"qvn-cap+jwt"})", payload)},
      {"numeric kid", qvsign::SignTokenText(key, R"({"alg":"EdDSA","kid":1,"typ":"qvn-cap+jwt"})", payload)},
      {"header array", qvsign::SignTokenText(key, R"(["EdDSA","rpc-cap","qvn-cap+jwt"])", payload)},
      {"payload not JSON", qvsign::SignTokenText(key, header, "{\"iss\":")},
      {"payload array", qvsign::SignTokenText(key, header, "[1]")},
      {"empty payload", qvsign::SignTokenText(key, header, "")},
      {"deep payload", qvsign::SignTokenText(key, header, std::string(100000, '[') + std::string(100000, ']'))},
      {"wrong issuer", Mint(With(CapPayload(), {{"iss", "https://other.invalid"}}))},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(registry->VerifyCapToken(c.token, Expect()), kTokenSignature) << c.what;
  }
  // The signed message is the text before the second dot as written, whitespace included.
  const std::string spaced = qvsign::SignTokenText(key, header, " " + payload);
  EXPECT_EQ(registry->VerifyCapToken(spaced, Expect()), "");
}

TEST_F(TokenTest, EachClaimIsCheckedForTypeAndRange) {
  EnableTokens();
  const json unsignedHuge = std::numeric_limits<uint64_t>::max();
  struct Case {
    const char* what;
    json change;
    std::string code;
  } cases[] = {
      {"offline not boolean", {{"offline", "yes"}}, kTokenSignature},
      {"offline token, online audience", {{"offline", true}}, kTokenAudience},
      {"offline token, offline audience", {{"offline", true}, {"aud", OfflineAudience()}}, ""},
      {"online token, offline audience", {{"aud", OfflineAudience()}}, kTokenAudience},
      {"earlier run's audience", {{"aud", std::string("qvn-install:") + kInstall + "/" + std::string(32, '0')}},
       kTokenAudience},
      {"aud not a string", {{"aud", 1}}, kTokenAudience},
      {"empty plugin id", {{"sub", "user:u1/plugin:"}}, kTokenAudience},
      {"plugin id with slash", {{"sub", "user:u1/plugin:p1/x"}}, kTokenAudience},
      {"no user prefix", {{"sub", "usr:u1/plugin:p1"}}, kTokenAudience},
      {"other plugin", {{"sub", "user:u1/plugin:p2"}}, kTokenAudience},
      {"pkg upper case", {{"pkg", std::string(64, 'A')}}, kTokenAudience},
      {"pkg 63 characters", {{"pkg", std::string(63, 'a')}}, kTokenAudience},
      {"other pkg", {{"pkg", std::string(64, 'b')}}, kTokenAudience},
      {"nbf missing", {{"nbf", nullptr}}, kTokenSignature},
      {"exp float", {{"exp", 1.7e9}}, kTokenSignature},
      {"exp string", {{"exp", "1900000000"}}, kTokenSignature},
      {"exp above int64", {{"exp", unsignedHuge}}, kTokenSignature},
      {"nbf above int64", {{"nbf", unsignedHuge}}, kTokenSignature},
      {"exp int64 max", {{"exp", std::numeric_limits<int64_t>::max()}}, ""},
      {"nbf int64 min", {{"nbf", std::numeric_limits<int64_t>::min()}}, ""},
      {"nbf now + 30", {{"nbf", kNow + 30}}, ""},
      {"nbf now + 31", {{"nbf", kNow + 31}}, kTokenExpired},
      {"exp now - 30", {{"exp", kNow - 30}}, kTokenExpired},
      {"exp now - 29", {{"exp", kNow - 29}}, ""},
      {"jti upper case", {{"jti", std::string(32, 'A')}}, kTokenSignature},
      {"jti 31 characters", {{"jti", std::string(31, 'a')}}, kTokenSignature},
      {"cap view", {{"cap", "view"}}, kTokenSignature},
      {"cap missing", {{"cap", nullptr}}, kTokenSignature},
      {"platform not a string", {{"platform", 5}}, kTokenSignature},
      {"renewOf not a string", {{"renewOf", 5}}, kTokenSignature},
      {"scope not an array", {{"scope", "rt.publish:p1"}}, ""},
  };
  for (const auto& c : cases) {
    const json payload = With(CapPayload(), c.change);
    EXPECT_EQ(registry->VerifyCapToken(Mint(payload), Expect()), c.code) << c.what;
  }
}

TEST_F(TokenTest, ExpectationsOnPlatformRoleAndPackage) {
  EnableTokens();
  const std::string linuxToken = Mint(With(CapPayload(), {{"platform", "linux"}}));
  const std::string decodeToken = Mint(CapPayload("p1", "decode"));
  struct Case {
    const char* what;
    const std::string& token;
    std::string platform, role, pluginId, pkg;
    std::string code;
  } cases[] = {
      {"same platform", linuxToken, "linux", "", "p1", kPkg, ""},
      {"other platform", linuxToken, "windows", "", "p1", kPkg, kPlatformUnsupported},
      {"any platform", linuxToken, "", "", "p1", kPkg, ""},
      {"realtime as source", linuxToken, "", "source", "p1", kPkg, ""},
      {"realtime as plugin", linuxToken, "", "plugin", "p1", kPkg, kRoleDenied},
      {"decode as plugin", decodeToken, "", "plugin", "p1", kPkg, ""},
      {"decode as source", decodeToken, "", "source", "p1", kPkg, kRoleDenied},
      {"pkg alone named", linuxToken, "", "", "", kPkg, kTokenAudience},
      {"neither named, not armed", linuxToken, "", "", "", "", kTokenAudience},
  };
  for (const auto& c : cases) {
    TokenExpectations e = Expect();
    e.platform = c.platform;
    e.role = c.role;
    e.pluginId = c.pluginId;
    e.pkg = c.pkg;
    EXPECT_EQ(registry->VerifyCapToken(c.token, e), c.code) << c.what;
  }
  // Naming neither plugin nor package accepts the pair the page armed.
  ASSERT_EQ(registry->ArmPluginToken("p1", kPkg, linuxToken, kNow), "");
  TokenExpectations any;
  any.nowSeconds = kNow;
  EXPECT_EQ(registry->VerifyCapToken(decodeToken, any), "");
}

TEST_F(TokenTest, FirstFailingStepDecidesTheCode) {
  struct Case {
    const char* what;
    json change;
    std::string role;
    std::string code;
  } cases[] = {
      {"audience before expiry", {{"aud", "x"}, {"exp", kNow - 100}}, "", kTokenAudience},
      {"audience before malformed nbf", {{"sub", "user:u1"}, {"nbf", 1.5}}, "", kTokenAudience},
      {"expiry before malformed jti", {{"exp", kNow - 100}, {"jti", "x"}}, "", kTokenExpired},
      {"jti before cap", {{"jti", "x"}, {"cap", "x"}}, "", kTokenSignature},
      {"role before revocation", {}, "plugin", kRoleDenied},
      {"revocation last", {}, "source", kTokenRevoked},
  };
  // No list applied yet: every otherwise valid token ends in "revoked".
  for (const auto& c : cases) {
    const json payload = With(CapPayload(), c.change);
    TokenExpectations e = Expect();
    e.role = c.role;
    EXPECT_EQ(registry->VerifyCapToken(Mint(payload), e), c.code) << c.what;
  }
}

TEST_F(TokenTest, RevocationBeforeAndAfterAList) {
  const json payload = CapPayload();
  const std::string token = Mint(payload);
  EXPECT_EQ(registry->VerifyCapToken(token, Expect()), kTokenRevoked);
  ASSERT_EQ(ApplyList({{"jtis", {payload["jti"]}}}), "");
  EXPECT_EQ(registry->VerifyCapToken(token, Expect()), kTokenRevoked);
  EXPECT_EQ(registry->VerifyCapToken(Mint(CapPayload()), Expect()), "");
  ASSERT_EQ(ApplyList({{"jtis", json::array()}}), "");
  EXPECT_EQ(registry->VerifyCapToken(token, Expect()), "");
}

TEST_F(TokenTest, OnlineTokenReplayIsRefusedUntilExpiryPlusSkew) {
  EnableTokens();
  const json payload = CapPayload();
  const std::string token = Mint(payload);
  const int64_t exp = payload["exp"].get<int64_t>();
  EXPECT_EQ(registry->VerifyCapToken(token, Expect(kNow, false)), "");
  EXPECT_EQ(registry->VerifyCapToken(token, Expect(kNow, true)), "");
  EXPECT_EQ(registry->VerifyCapToken(token, Expect(kNow, true)), kTokenReplay);
  EXPECT_EQ(registry->VerifyCapToken(token, Expect(exp + 29, true)), kTokenReplay);
  EXPECT_EQ(registry->VerifyCapToken(token, Expect(exp + 30, true)), kTokenExpired);
  // A check without consume never records the token.
  const std::string fresh = Mint(CapPayload());
  EXPECT_EQ(registry->VerifyCapToken(fresh, Expect(kNow, false)), "");
  EXPECT_EQ(registry->VerifyCapToken(fresh, Expect(kNow, true)), "");
}

TEST_F(TokenTest, RefusedTokenDoesNotBurnItsId) {
  EnableTokens();
  json payload = CapPayload();
  payload["platform"] = 5;
  EXPECT_EQ(registry->VerifyCapToken(Mint(payload), Expect(kNow, true)), kTokenSignature);
  payload["platform"] = "linux";
  EXPECT_EQ(registry->VerifyCapToken(Mint(payload), Expect(kNow, true)), "");
}

TEST_F(TokenTest, HugeExpiryDoesNotOverflowTheReplayWindow) {
  EnableTokens();
  const std::string token = Mint(With(CapPayload(), {{"exp", std::numeric_limits<int64_t>::max()}}));
  EXPECT_EQ(registry->VerifyCapToken(token, Expect(kNow, true)), "");
  EXPECT_EQ(registry->VerifyCapToken(token, Expect(std::numeric_limits<int64_t>::max() - 100, true)), kTokenReplay);
}

TEST_F(TokenTest, ClaimsAreFilledFromThePayload) {
  EnableTokens();
  json payload = CapPayload("p1", "decode");
  payload.update({{"aud", OfflineAudience()},
                  {"offline", true},
                  {"platform", "linux"},
                  {"renewOf", std::string(32, 'c')},
                  {"scope", {"decode.job:p1", 7, "rt.publish:p1"}}});
  CapabilityClaims claims;
  claims.scopes = {"stale"};
  ASSERT_EQ(registry->VerifyCapToken(Mint(payload), Expect(), &claims), "");
  EXPECT_EQ(claims.pluginId, "p1");
  EXPECT_EQ(claims.pkg, kPkg);
  EXPECT_EQ(claims.cap, "decode");
  EXPECT_EQ(claims.jti, payload["jti"].get<std::string>());
  EXPECT_EQ(claims.renewOf, std::string(32, 'c'));
  EXPECT_EQ(claims.scopes, (std::vector<std::string>{"decode.job:p1", "rt.publish:p1"}));
  EXPECT_EQ(claims.exp, kNow + 600);
  EXPECT_EQ(claims.platform, "linux");
  EXPECT_TRUE(claims.offline);
}

TEST_F(TokenTest, EmptyAudienceRefusesOnlineTokens) {
  CapabilityTokenRegistry fresh(key.publicKey, kIssuer);
  ASSERT_TRUE(fresh.ApplyRevocations(qvsign::SignRevocationList(key, {{"kid", "rpc-cap"}}).dump()).applied);
  EXPECT_EQ(fresh.VerifyCapToken(Mint(CapPayload()), Expect()), kTokenAudience);
  fresh.SetInstallation(kInstall, "");
  EXPECT_EQ(fresh.Audience(), "");
  EXPECT_EQ(fresh.VerifyCapToken(Mint(CapPayload()), Expect()), kTokenAudience);
  EXPECT_EQ(fresh.VerifyCapToken(Mint(With(CapPayload(), {{"offline", true}, {"aud", OfflineAudience()}})),
                                 Expect()),
            "");
}

TEST(TokenRegistryInstance, TrustsTheBuildIssuerKey) {
  qvsign::SigningKey dev;
  std::string error;
  ASSERT_TRUE(qvsign::LoadSigningKey(QV_TEST_FIXTURES "/keys/issuer-dev.seed", dev, error)) << error;
  json payload = {{"iss", QV_TOKEN_ISSUER}, {"aud", "nobody"}};
  auto& instance = CapabilityTokenRegistry::Instance();
  TokenExpectations e;
  // Signed by the development issuer, the token passes the signature and fails on its audience.
  EXPECT_EQ(instance.VerifyCapToken(qvsign::MintToken(dev, payload), e), kTokenAudience);
  qvsign::SigningKey other;
  ASSERT_TRUE(qvsign::SigningKeyFromSeedHex(std::string(64, '2'), other));
  EXPECT_EQ(instance.VerifyCapToken(qvsign::MintToken(other, payload), e), kTokenSignature);
}

TEST(ParsePluginSubject, TakesEverythingAfterTheFirstPluginMarker) {
  struct Case {
    const char* sub;
    const char* pluginId;
  } cases[] = {
      {"user:u1/plugin:p1", "p1"},
      {"user:/plugin:p1", "p1"},
      {"user:u1/plugin:p1/plugin:p2", ""},  // the id would hold a "/"
      {"user:u1/plugin:a:b", "a:b"},
      {"user:u1/plugin:", ""},
      {"user:u1", ""},
      {"User:u1/plugin:p1", ""},
      {"/plugin:p1", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ParsePluginSubject(c.sub), c.pluginId) << c.sub;
}
