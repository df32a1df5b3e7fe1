#include "support/token_test_support.h"

using nlohmann::json;

TEST_F(TokenTest, ViewTokenClaimsAreChecked) {
  EnableTokens();
  struct Case {
    const char* what;
    json change;
    std::string code;
  } cases[] = {
      {"valid", json::object(), ""},
      {"cap realtime", {{"cap", "realtime"}}, kTokenSignature},
      {"offline audience", {{"aud", OfflineAudience()}}, kTokenAudience},
      {"subject too short", {{"sub", "user:"}}, kTokenAudience},
      {"one-character account", {{"sub", "user:a"}}, ""},
      {"128-character account", {{"sub", "user:" + std::string(128, 'a')}}, ""},
      {"129-character account", {{"sub", "user:" + std::string(129, 'a')}}, kTokenAudience},
      {"slash in subject", {{"sub", "user:a/plugin:p1"}}, kTokenAudience},
      {"blank in account", {{"sub", "user:a b"}}, kTokenAudience},
      {"account punctuation", {{"sub", "user:A.b-c_d+e@f"}}, ""},
      {"share empty", {{"share", ""}}, kTokenSignature},
      {"share 64", {{"share", std::string(64, 'S')}}, ""},
      {"share 65", {{"share", std::string(65, 'S')}}, kTokenSignature},
      {"share dot", {{"share", "a.b"}}, kTokenSignature},
      {"share number", {{"share", 5}}, kTokenSignature},
      {"iat missing", {{"iat", nullptr}}, kTokenSignature},
      {"exp float", {{"exp", 1.7e9}}, kTokenSignature},
      {"nbf now + 31", {{"nbf", kNow + 31}}, kTokenExpired},
      {"exp now - 29", {{"exp", kNow - 29}}, ""},
      {"jti short", {{"jti", "abc"}}, kTokenSignature},
      {"scope missing", {{"scope", nullptr}}, kScopeDenied},
      {"scope string", {{"scope", "live.subscribe"}}, kScopeDenied},
      {"scope without live", {{"scope", {"rt.publish:p1"}}}, kScopeDenied},
      {"scope with other items", {{"scope", {7, "live.subscribe"}}}, ""},
      {"name number is ignored", {{"name", 7}}, ""},
  };
  for (const auto& c : cases) {
    const json payload = With(ViewPayload(), c.change);
    EXPECT_EQ(registry->VerifyViewToken(Mint(payload), kNow, false), c.code) << c.what;
  }
}

TEST_F(TokenTest, ViewTokenRecordsItsIdOnlyWhenAsked) {
  const std::string token = Mint(ViewPayload());
  EXPECT_EQ(registry->VerifyViewToken(token, kNow, true), kTokenRevoked);
  EnableTokens();
  EXPECT_EQ(registry->VerifyViewToken(token, kNow, false), "");
  EXPECT_EQ(registry->VerifyViewToken(token, kNow, false), "");
  EXPECT_EQ(registry->VerifyViewToken(token, kNow, true), "");
  EXPECT_EQ(registry->VerifyViewToken(token, kNow, false), kTokenReplay);
}

TEST_F(TokenTest, ViewTokenClaimsAreFilled) {
  EnableTokens();
  // 127 ASCII bytes and a two-byte character: cutting at 128 bytes must not split the character.
  const std::string longName = std::string(127, 'n') + "\xc3\xa9" + "tail";
  json payload = ViewPayload();
  payload.update({{"name", longName}, {"share", "share-1"}, {"addr", {"10.0.0.2", 5, "10.0.0.3"}}});
  ViewTokenClaims claims;
  ASSERT_EQ(registry->VerifyViewToken(Mint(payload), kNow, false, &claims), "");
  EXPECT_EQ(claims.sub, "user:viewer@example.org");
  EXPECT_EQ(claims.name, std::string(127, 'n'));
  EXPECT_EQ(claims.share, "share-1");
  EXPECT_EQ(claims.jti, payload["jti"].get<std::string>());
  EXPECT_EQ(claims.scopes, std::vector<std::string>{"live.subscribe"});
  EXPECT_EQ(claims.addr, (std::vector<std::string>{"10.0.0.2", "10.0.0.3"}));
  EXPECT_EQ(claims.iat, kNow - 10);
  EXPECT_EQ(claims.exp, kNow + 600);

  payload["name"] = std::string(200, 'x');
  ASSERT_EQ(registry->VerifyViewToken(Mint(payload), kNow, false, &claims), "");
  EXPECT_EQ(claims.name, std::string(128, 'x'));
}

TEST_F(TokenTest, RevokedViewTokenIsRefused) {
  const json payload = ViewPayload();
  ASSERT_EQ(ApplyList({{"jtis", {payload["jti"]}}}), "");
  EXPECT_EQ(registry->VerifyViewToken(Mint(payload), kNow, true), kTokenRevoked);
}
