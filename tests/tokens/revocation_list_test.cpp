#include <limits>

#include "support/token_test_support.h"

using nlohmann::json;

namespace {

// Rewrites a compact list with blanks and the members in reverse order.
std::string Reformatted(const json& list) {
  std::vector<std::string> members;
  for (const auto& [k, v] : list.items()) members.insert(members.begin(), json(k).dump() + " : " + v.dump(2));
  std::string text = "{ ";
  for (size_t i = 0; i < members.size(); ++i) text += (i ? " ,\n " : "") + members[i];
  return text + " }";
}

}  // namespace

TEST_F(TokenTest, RevocationListSignatureCoversTheCompactDumpWithoutSig) {
  const json signedList = qvsign::SignRevocationList(key, {{"kid", "rpc-cap"}, {"rev", 1}, {"jtis", {"a"}},
                                                           {"note", "caf\xc3\xa9 \"x\"\n"}});
  EXPECT_EQ(registry->ApplyRevocations(Reformatted(signedList)).code, "");

  json changed = signedList;
  changed["extra"] = 1;
  json noSig = signedList;
  noSig.erase("sig");
  json numericSig = signedList;
  numericSig["sig"] = 5;
  json shortSig = signedList;
  shortSig["sig"] = qvsign::Base64UrlEncode(std::string(63, 's'));
  json numericKid = signedList;
  numericKid["kid"] = 1;
  json list = {{"rev", 2}};
  const std::string prettySig = qvsign::Base64UrlEncode(qvsign::Sign(key, list.dump(1)));
  json signedPretty = list;
  signedPretty["sig"] = prettySig;
  signedPretty["kid"] = "rpc-cap";

  struct Case {
    const char* what;
    std::string text;
  } cases[] = {
      {"member added after signing", changed.dump()},
      {"no sig", noSig.dump()},
      {"numeric sig", numericSig.dump()},
      {"63-byte sig", shortSig.dump()},
      {"numeric kid", numericKid.dump()},
      {"kid missing", qvsign::SignRevocationList(key, {{"rev", 3}}).dump()},
      {"other kid", qvsign::SignRevocationList(key, {{"kid", "other"}}).dump()},
      {"signed over another serialisation", signedPretty.dump()},
      {"not an object", "[1,2]"},
      {"not JSON", "{\"kid\":"},
      {"deep nesting",
       qvsign::SignRevocationList(key, {{"kid", "rpc-cap"}}).dump().insert(1, "\"x\":" + std::string(100000, '[') +
                                                                              std::string(100000, ']') + ",")},
      {"number among jtis", qvsign::SignRevocationList(key, {{"kid", "rpc-cap"}, {"jtis", {"a", 1}}}).dump()},
      {"rev above int64",
       qvsign::SignRevocationList(key, {{"kid", "rpc-cap"}, {"rev", std::numeric_limits<uint64_t>::max()}}).dump()},
      {"clock above int64",
       qvsign::SignRevocationList(key, {{"kid", "rpc-cap"}, {"serverNowMs", std::numeric_limits<uint64_t>::max()}})
           .dump()},
  };
  for (const auto& c : cases) {
    const RevocationResult r = registry->ApplyRevocations(c.text);
    EXPECT_FALSE(r.applied) << c.what;
    EXPECT_EQ(r.code, kTokenSignature) << c.what;
  }
}

TEST_F(TokenTest, RejectedListChangesNothing) {
  const json revoked = CapPayload();
  ASSERT_EQ(ApplyList({{"rev", 3}, {"jtis", {revoked["jti"]}}}), "");
  EXPECT_EQ(ApplyList({{"rev", 4}, {"jtis", {"x", 1}}}), kTokenSignature);
  EXPECT_EQ(registry->VerifyCapToken(Mint(revoked), Expect()), kTokenRevoked);
  // No list at all yet in a fresh registry stays "revoked" after a rejected one.
  CapabilityTokenRegistry fresh(key.publicKey, kIssuer);
  fresh.SetInstallation(kInstall, kSession);
  EXPECT_FALSE(fresh.ApplyRevocations("{}").applied);
  EXPECT_EQ(fresh.VerifyCapToken(Mint(CapPayload()), Expect()), kTokenRevoked);
}

TEST_F(TokenTest, RevisionsOrderTheLists) {
  const json a = CapPayload(), b = CapPayload();
  const std::string tokenA = Mint(a), tokenB = Mint(b);
  auto revoked = [&](const std::string& token) { return registry->VerifyCapToken(token, Expect()) == kTokenRevoked; };

  ASSERT_EQ(ApplyList({{"rev", 7}, {"jtis", {a["jti"]}}}), "");
  EXPECT_TRUE(revoked(tokenA));
  // An older revision is acknowledged and ignored, its clock too.
  ASSERT_EQ(ApplyList({{"rev", 5}, {"jtis", {b["jti"]}}, {"serverNowMs", (kNow + 3600) * 1000}}), "");
  EXPECT_TRUE(revoked(tokenA));
  EXPECT_FALSE(revoked(tokenB));
  EXPECT_EQ(registry->ServerNowSeconds(kNow * 1000), kNow);
  // The same revision is applied again.
  ASSERT_EQ(ApplyList({{"rev", 7}, {"jtis", {b["jti"]}}}), "");
  EXPECT_FALSE(revoked(tokenA));
  EXPECT_TRUE(revoked(tokenB));
  // A list without a revision (or with a float one) is applied and keeps revision 7.
  ASSERT_EQ(ApplyList({{"jtis", {a["jti"]}}}), "");
  EXPECT_TRUE(revoked(tokenA));
  ASSERT_EQ(ApplyList({{"rev", 9.5}}), "");
  EXPECT_FALSE(revoked(tokenA));
  ASSERT_EQ(ApplyList({{"rev", 6}, {"jtis", {a["jti"]}}}), "");
  EXPECT_FALSE(revoked(tokenA));
  // A list without "jtis" lifts every revocation.
  ASSERT_EQ(ApplyList({{"rev", 8}, {"jtis", {a["jti"], b["jti"]}}}), "");
  ASSERT_EQ(ApplyList({{"rev", 8}}), "");
  EXPECT_FALSE(revoked(tokenA));
  EXPECT_FALSE(revoked(tokenB));
}

TEST_F(TokenTest, ServerClockFollowsTheLastListThatCarriedIt) {
  EXPECT_EQ(registry->ServerNowSeconds(kNow * 1000 + 999), kNow);
  ASSERT_EQ(ApplyList({{"serverNowMs", (kNow + 3600) * 1000}}), "");
  EXPECT_EQ(registry->ServerNowSeconds(kNow * 1000), kNow + 3600);
  EXPECT_EQ(registry->ServerNowSeconds((kNow + 10) * 1000), kNow + 3610);
  for (const json& noClock : {json(1.8e12), json(0), json(-5), json("1800000000000")}) {
    ASSERT_EQ(ApplyList({{"serverNowMs", noClock}}), "") << noClock.dump();
    EXPECT_EQ(registry->ServerNowSeconds(kNow * 1000), kNow + 3600) << noClock.dump();
  }
  ASSERT_EQ(ApplyList(json::object()), "");
  EXPECT_EQ(registry->ServerNowSeconds(kNow * 1000), kNow + 3600);
  // A clock far ahead saturates instead of overflowing.
  ASSERT_EQ(ApplyList({{"serverNowMs", std::numeric_limits<int64_t>::max()}}), "");
  EXPECT_EQ(registry->ServerNowSeconds(std::numeric_limits<int64_t>::max()),
            std::numeric_limits<int64_t>::max() / 1000);

  // The synced clock decides the token window: a token current only on the issuer's clock passes.
  wallMs = kNow * 1000;
  ASSERT_EQ(ApplyList({{"serverNowMs", (kNow + 1000) * 1000}}), "");
  const int64_t now = registry->ServerNowSeconds(kNow * 1000);
  EXPECT_EQ(registry->VerifyCapToken(Mint(With(CapPayload(), {{"nbf", kNow + 900}, {"exp", kNow + 2000}})), Expect(now)), "");
}
