#include "bridge/tokens/plugin_permissions.h"
#include "support/token_test_support.h"

using nlohmann::json;

namespace {

TokenExpectations Hello(int64_t now, const std::string& role = "source") {
  TokenExpectations e;
  e.role = role;
  e.nowSeconds = now;
  e.consume = true;
  return e;
}

}  // namespace

class ArmedGrantTest : public TokenTest {
 protected:
  void SetUp() override {
    TokenTest::SetUp();
    registry->SetRpcPort(45123);
    EnableTokens();
  }
  // Arms token for p1 and passes the launch check at launchTime.
  void ArmAndLaunch(const std::string& token, int64_t launchTime = kNow) {
    ASSERT_EQ(registry->ArmPluginToken("p1", kPkg, token, kNow), "");
    ASSERT_EQ(registry->CheckLaunchToken("p1", kPkg, "realtime", "linux", launchTime), "");
  }
};

TEST_F(ArmedGrantTest, LifecycleOfAGrantAcrossARestart) {
  const std::string token = Mint(CapPayload());
  ArmAndLaunch(token);
  // The plugin's first hello consumes the token.
  CapabilityClaims claims;
  ASSERT_EQ(registry->VerifyCapToken(token, Hello(kNow), &claims), "");
  EXPECT_EQ(claims.pluginId, "p1");
  EXPECT_EQ(registry->VerifyCapToken(token, Hello(kNow)), kTokenReplay);
  auto grant = registry->FindArmedGrant("p1");
  ASSERT_TRUE(grant);
  EXPECT_TRUE(grant->active && grant->used && grant->consumedBefore && !grant->reuseAllowed);

  // The process restarts: the token may be presented once more.
  registry->ReopenArmedGrant("p1");
  grant = registry->FindArmedGrant("p1");
  EXPECT_TRUE(!grant->used && grant->reuseAllowed);
  ASSERT_EQ(registry->CheckLaunchToken("p1", kPkg, "realtime", "linux", kNow + 5), "");
  EXPECT_EQ(registry->VerifyCapToken(token, Hello(kNow + 5)), "");
  EXPECT_EQ(registry->VerifyCapToken(token, Hello(kNow + 6)), kTokenReplay);

  registry->DisarmPlugin("p1", "");
  EXPECT_FALSE(registry->FindArmedGrant("p1"));
  EXPECT_EQ(registry->CheckLaunchToken("p1", kPkg, "realtime", "linux", kNow), kTokenAudience);
}

TEST_F(ArmedGrantTest, ExpiredTokenHasGraceFromTheFirstLaunchCheck) {
  const int64_t launch = kNow + 100;
  const std::string token = Mint(With(CapPayload(), {{"exp", kNow + 200}}));
  ArmAndLaunch(token, launch);
  const int64_t late = kNow + 500;  // token long expired
  TokenExpectations stdio = Expect(late);
  stdio.role = "source";
  EXPECT_EQ(registry->VerifyCapToken(token, stdio), kTokenExpired);

  stdio.nowSeconds = launch + 899;
  EXPECT_EQ(registry->CheckArmedGrant(token, stdio), "");
  // A later launch check keeps the first launch time.
  stdio.nowSeconds = launch + 900;
  CapabilityClaims claims;
  EXPECT_EQ(registry->CheckArmedGrant(token, stdio, &claims), kTokenExpired);
  EXPECT_EQ(claims.pluginId, "p1");  // handed out with the refusal

  // A hello (consume) gets grace only after a restart, whatever the age, and then once.
  EXPECT_EQ(registry->CheckArmedGrant(token, Hello(launch + 10)), kTokenExpired);
  registry->ReopenArmedGrant("p1");
  EXPECT_EQ(registry->CheckArmedGrant(token, Hello(launch + 100000)), kTokenExpired)
      << "never presented before, so nothing to reuse";
}

TEST_F(ArmedGrantTest, ConsumingGraceAfterARestartIsOneShot) {
  const std::string token = Mint(With(CapPayload(), {{"exp", kNow + 200}}));
  ArmAndLaunch(token);
  ASSERT_EQ(registry->VerifyCapToken(token, Hello(kNow)), "");
  registry->ReopenArmedGrant("p1");
  const int64_t late = kNow + 300;  // token expired, launch 300 s ago
  ASSERT_EQ(registry->VerifyCapToken(token, Hello(late)), kTokenExpired);

  // The hello's grace check can be previewed without consuming the grant.
  CapabilityClaims claims;
  EXPECT_EQ(registry->PreviewArmedGrant(token, Hello(late), &claims), "");
  EXPECT_EQ(claims.pluginId, "p1");
  EXPECT_EQ(registry->PreviewArmedGrant(token, Hello(late)), "");
  EXPECT_EQ(registry->CheckArmedGrant(token, Hello(late)), "");
  EXPECT_EQ(registry->CheckArmedGrant(token, Hello(late)), kTokenReplay);
  EXPECT_EQ(registry->PreviewArmedGrant(token, Hello(late)), kTokenReplay);
  // Past the launch grace, without a reuse left, the token is simply expired.
  EXPECT_EQ(registry->CheckArmedGrant(token, Hello(kNow + 5000)), kTokenExpired);
}

TEST_F(ArmedGrantTest, GraceCheckRefusals) {
  const std::string token = Mint(With(CapPayload(), {{"platform", "linux"}}));
  ASSERT_EQ(registry->ArmPluginToken("p1", kPkg, token, kNow), "");
  TokenExpectations e = Expect();
  EXPECT_EQ(registry->CheckArmedGrant(token, e), kTokenAudience) << "not active before a launch check";
  ASSERT_EQ(registry->CheckLaunchToken("p1", kPkg, "realtime", "linux", kNow), "");

  struct Case {
    const char* what;
    std::string pluginId, pkg, platform, role;
    std::string code;
  } cases[] = {
      {"all good", "p1", kPkg, "linux", "source", ""},
      {"other plugin", "p2", kPkg, "", "", kTokenAudience},
      {"other pkg", "p1", kOtherPkg, "", "", kTokenAudience},
      {"other platform", "p1", kPkg, "windows", "", kPlatformUnsupported},
      {"wrong role", "p1", kPkg, "", "plugin", kRoleDenied},
  };
  for (const auto& c : cases) {
    e.pluginId = c.pluginId;
    e.pkg = c.pkg;
    e.platform = c.platform;
    e.role = c.role;
    EXPECT_EQ(registry->CheckArmedGrant(token, e), c.code) << c.what;
  }
  EXPECT_EQ(registry->CheckArmedGrant(Mint(CapPayload()), Expect()), kTokenAudience) << "another token";

  const std::string jti = registry->FindArmedGrant("p1")->claims.jti;
  ASSERT_EQ(ApplyList({{"jtis", {jti}}}), "");
  EXPECT_EQ(registry->CheckArmedGrant(token, Expect()), kTokenRevoked);
  EXPECT_EQ(registry->CheckLaunchToken("p1", kPkg, "realtime", "linux", kNow), kTokenRevoked);
}

TEST_F(ArmedGrantTest, OfflineGrantIsAlwaysInGraceButConsumedOnce) {
  const std::string token = Mint(With(CapPayload(), {{"offline", true}, {"aud", OfflineAudience()}}));
  EXPECT_EQ(registry->VerifyCapToken(token, Hello(kNow)), kTokenAudience) << "offline hello needs a grant";
  ArmAndLaunch(token);
  EXPECT_TRUE(registry->IsArmedTokenOffline(token));
  EXPECT_FALSE(registry->IsArmedTokenOffline(Mint(CapPayload())));
  EXPECT_EQ(registry->CheckArmedGrant(token, Expect(kNow + 1000000)), "");
  EXPECT_EQ(registry->VerifyCapToken(token, Hello(kNow)), "");
  EXPECT_EQ(registry->VerifyCapToken(token, Hello(kNow)), kTokenReplay);
  registry->ReopenArmedGrant("p1");
  EXPECT_EQ(registry->VerifyCapToken(token, Hello(kNow)), "");
}

TEST_F(ArmedGrantTest, LaunchCheckRefusals) {
  EXPECT_EQ(registry->CheckLaunchToken("p1", kPkg, "realtime", "linux", kNow), kTokenAudience) << "never armed";

  const std::string realtime = Mint(CapPayload());
  ASSERT_EQ(registry->ArmPluginToken("p1", kPkg, realtime, kNow), "");
  EXPECT_EQ(registry->CheckLaunchToken("p1", kPkg, "decode", "linux", kNow), kRoleDenied);
  EXPECT_EQ(registry->CheckLaunchToken("p1", kOtherPkg, "realtime", "linux", kNow), kTokenAudience);

  const std::string noScope = Mint(With(CapPayload(), {{"scope", {"rt.publish:p2", "decode.job:p1"}}}));
  ASSERT_EQ(registry->ArmPluginToken("p1", kPkg, noScope, kNow), "");
  EXPECT_EQ(registry->CheckLaunchToken("p1", kPkg, "realtime", "linux", kNow), kScopeDenied);

  const std::string decode = Mint(CapPayload("p1", "decode"));
  ASSERT_EQ(registry->ArmPluginToken("p1", kPkg, decode, kNow), "");
  EXPECT_EQ(registry->CheckLaunchToken("p1", kPkg, "decode", "linux", kNow), "");

  // The launch check never uses a time behind the wall clock.
  wallMs = (kNow + 10000) * 1000;
  EXPECT_EQ(registry->CheckLaunchToken("p1", kPkg, "decode", "linux", kNow), kTokenExpired);
  wallMs = kNow * 1000;

  // Without the bridge port the plugin cannot be started.
  registry->SetRpcPort(0);
  EXPECT_EQ(registry->GetPluginLaunchCredentials("p1").port, "");
  EXPECT_EQ(registry->CheckLaunchToken("p1", kPkg, "decode", "linux", kNow), kTokenAudience);
}

TEST_F(ArmedGrantTest, ArmingChecksTheTokenAndItsText) {
  const std::string token = Mint(CapPayload());
  EXPECT_EQ(registry->ArmPluginToken("p2", kPkg, token, kNow), kTokenAudience);
  EXPECT_EQ(registry->ArmPluginToken("p1", kOtherPkg, token, kNow), kTokenAudience);
  EXPECT_EQ(registry->ArmPluginToken("p1", kPkg, token, kNow + 10000), kTokenExpired);
  // "+" and "/" decode as base64url but are not armable token text: re-spell a signature that has "-" or "_".
  std::string respelled;
  for (int i = 0; i < 200 && respelled.empty(); ++i) {
    std::string t = Mint(CapPayload());
    if (t.find_first_of("-_") == std::string::npos) continue;
    for (char& ch : t) ch = ch == '-' ? '+' : ch == '_' ? '/' : ch;
    respelled = t;
  }
  ASSERT_FALSE(respelled.empty());
  EXPECT_EQ(registry->VerifyCapToken(respelled, Expect()), "");
  EXPECT_EQ(registry->ArmPluginToken("p1", kPkg, respelled, kNow), kTokenSignature);
  EXPECT_FALSE(registry->FindArmedGrant("p1"));

  ASSERT_EQ(registry->ArmPluginToken("p1", kPkg, token, kNow), "");
  const PluginLaunchCredentials credentials = registry->GetPluginLaunchCredentials("p1");
  EXPECT_EQ(credentials.port, "45123");
  EXPECT_EQ(credentials.token, token);
  EXPECT_EQ(registry->GetPluginLaunchCredentials("p2").token, "");
}

TEST_F(ArmedGrantTest, ReArmingCarriesFlagsAsTheTokenAllows) {
  const json first = CapPayload();
  const std::string token = Mint(first);
  ArmAndLaunch(token);
  ASSERT_EQ(registry->VerifyCapToken(token, Hello(kNow)), "");

  // The same token again keeps used and reuseAllowed, and stays active.
  ASSERT_EQ(registry->ArmPluginToken("p1", kPkg, token, kNow + 10), "");
  auto grant = registry->FindArmedGrant("p1");
  EXPECT_TRUE(grant->active && grant->used && grant->consumedBefore);
  EXPECT_EQ(grant->armedAt, kNow + 10);

  // A renewal keeps consumedBefore but clears used.
  const std::string renewal = Mint(With(CapPayload(), {{"renewOf", first["jti"]}}));
  ASSERT_EQ(registry->ArmPluginToken("p1", kPkg, renewal, kNow + 20), "");
  grant = registry->FindArmedGrant("p1");
  EXPECT_TRUE(grant->active && !grant->used && grant->consumedBefore);
  EXPECT_EQ(registry->GetPluginLaunchCredentials("p1").token, renewal);

  // An unrelated token of the same plugin starts over, but stays active.
  const std::string unrelated = Mint(CapPayload());
  ASSERT_EQ(registry->ArmPluginToken("p1", kPkg, unrelated, kNow + 30), "");
  grant = registry->FindArmedGrant("p1");
  EXPECT_TRUE(grant->active && !grant->used && !grant->consumedBefore);

  // Another cap is a new grant that must pass a launch check first.
  ASSERT_EQ(registry->ArmPluginToken("p1", kPkg, Mint(CapPayload("p1", "decode")), kNow + 40), "");
  EXPECT_FALSE(registry->FindArmedGrant("p1")->active);
}

TEST_F(ArmedGrantTest, ReArmingTheSameOfflineTokenClearsItsUse) {
  const std::string token = Mint(With(CapPayload(), {{"offline", true}, {"aud", OfflineAudience()}}));
  ArmAndLaunch(token);
  ASSERT_EQ(registry->VerifyCapToken(token, Hello(kNow)), "");
  ASSERT_EQ(registry->ArmPluginToken("p1", kPkg, token, kNow), "");
  const auto grant = registry->FindArmedGrant("p1");
  EXPECT_TRUE(!grant->used && grant->consumedBefore);
}

TEST_F(ArmedGrantTest, DisarmNeedsTheArmedTokenOrNone) {
  const std::string token = Mint(CapPayload());
  ASSERT_EQ(registry->ArmPluginToken("p1", kPkg, token, kNow), "");
  ASSERT_EQ(registry->ArmPluginToken("p2", kPkg, Mint(CapPayload("p2")), kNow), "");
  registry->DisarmPlugin("p1", Mint(CapPayload()));
  EXPECT_TRUE(registry->FindArmedGrant("p1"));
  EXPECT_EQ(registry->GetPluginLaunchCredentials("p1").token, token);
  registry->DisarmPlugin("p1", token);
  EXPECT_FALSE(registry->FindArmedGrant("p1"));
  EXPECT_EQ(registry->GetPluginLaunchCredentials("p1").token, "");
  TokenExpectations any;
  any.nowSeconds = kNow;
  EXPECT_EQ(registry->VerifyCapToken(token, any), kTokenAudience) << "its package is no longer allowed";
  EXPECT_TRUE(registry->FindArmedGrant("p2"));
  registry->DisarmAllPlugins();
  EXPECT_FALSE(registry->FindArmedGrant("p2"));
  EXPECT_EQ(registry->GetPluginLaunchCredentials("p2").token, "");
}

TEST_F(ArmedGrantTest, SessionLivesNineHundredSecondsFromItsAuthentication) {
  CapabilityClaims claims;
  claims.jti = std::string(32, 'd');
  EXPECT_EQ(registry->RecheckSession(claims, kNow, kNow + 899), "");
  EXPECT_EQ(registry->RecheckSession(claims, kNow, kNow + 900), kTokenExpired);
  EXPECT_EQ(registry->RecheckSession(claims, std::numeric_limits<int64_t>::max(), kNow), "");
  claims.offline = true;
  EXPECT_EQ(registry->RecheckSession(claims, kNow, kNow + 100000), "");
  ASSERT_EQ(ApplyList({{"jtis", {claims.jti}}}), "");
  EXPECT_EQ(registry->RecheckSession(claims, kNow, kNow), kTokenRevoked);

  CapabilityTokenRegistry fresh(key.publicKey, kIssuer);
  claims.offline = false;
  EXPECT_EQ(fresh.RecheckSession(claims, kNow, kNow), kTokenRevoked) << "no list applied";
}

TEST(PluginPermissions, ScopesWithAndWithoutChannel) {
  struct Case {
    std::vector<std::string> scopes;
    const char* scope;
    bool granted;
  } cases[] = {
      {{"rt.publish:p1"}, "rt.publish", true},
      {{"rt.publish:p1/speed"}, "rt.publish", true},
      {{"rt.publish:p1/"}, "rt.publish", false},
      {{"rt.publish:p10"}, "rt.publish", false},
      {{"rt.publish:p1x/speed"}, "rt.publish", false},
      {{"rt.publish:p2", "x", "rt.publish:p1"}, "rt.publish", true},
      {{"decode.job:p1"}, "decode.job", true},
      {{"decode.job:p1/speed"}, "decode.job", false},
      {{"rt.publish:p1"}, "decode.job", false},
      {{}, "rt.publish", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HasPluginScope(c.scopes, c.scope, "p1"), c.granted) << c.scope << " " << ::testing::PrintToString(c.scopes);
  }
}

TEST(PluginPermissions, MethodTable) {
  CapabilityClaims source;
  source.pluginId = "p1";
  source.scopes = {"rt.publish:p1/lap", "decode.job:p1"};
  struct Case {
    const char* role;
    const char* method;
    std::string code;
  } cases[] = {
      {"source", "rt.publish", ""},
      {"plugin", "rt.publish", kRoleDenied},
      {"plugin", "plugin.job.next", ""},
      {"plugin", "plugin.job.result", ""},
      {"source", "plugin.job.next", kRoleDenied},
      {"source", "setAlwaysOnTop", kScopeDenied},
      {"app", "rt.subscribe", kScopeDenied},
      {"source", "hello", kScopeDenied},
      {"source", "", kScopeDenied},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CheckMethodPermission(source, c.role, c.method), c.code) << c.role << " " << c.method;
  }
  source.scopes = {"rt.publish:p2"};
  EXPECT_EQ(CheckMethodPermission(source, "source", "rt.publish"), kScopeDenied);
  ASSERT_NE(FindMethodPermission("rt.publish"), nullptr);
  EXPECT_EQ(FindMethodPermission("rt.publish")->scope, "rt.publish");
}

TEST(PluginPermissions, RenewalMustNameTheSessionToken) {
  CapabilityClaims session;
  session.pluginId = "p1";
  session.pkg = std::string(64, 'a');
  session.cap = "realtime";
  session.jti = std::string(32, '1');
  CapabilityClaims renewed = session;
  renewed.jti = std::string(32, '2');
  renewed.renewOf = session.jti;
  EXPECT_EQ(CheckRenewal(session, renewed), "");
  struct Case {
    const char* what;
    void (*change)(CapabilityClaims&);
    std::string code;
  } cases[] = {
      {"no renewOf", [](CapabilityClaims& c) { c.renewOf.clear(); }, kTokenSignature},
      {"other renewOf", [](CapabilityClaims& c) { c.renewOf = std::string(32, '3'); }, kTokenSignature},
      {"other plugin", [](CapabilityClaims& c) { c.pluginId = "p2"; }, kTokenAudience},
      {"other pkg", [](CapabilityClaims& c) { c.pkg = std::string(64, 'b'); }, kTokenAudience},
      {"other cap", [](CapabilityClaims& c) { c.cap = "decode"; }, kTokenAudience},
  };
  for (const auto& c : cases) {
    CapabilityClaims r = renewed;
    c.change(r);
    EXPECT_EQ(CheckRenewal(session, r), c.code) << c.what;
  }
}
