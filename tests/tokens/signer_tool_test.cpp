#include <cstdio>
#include <string>

#include "support/token_test_support.h"

using nlohmann::json;

namespace {

// Runs the signer with arguments (each quoted for the shell) and returns its standard output.
std::string RunSigner(const std::vector<std::string>& args, int& status) {
  std::string command = QV_SIGN_TOOL;
  for (const auto& a : args) {
    std::string quoted = "'";
    for (char c : a) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    command += " " + quoted + "'";
  }
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) {
    status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  status = pclose(pipe);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

}  // namespace

TEST_F(TokenTest, SignerToolMintsWhatTheRegistryAccepts) {
  const std::string keyFile = QV_TEST_FIXTURES "/keys/issuer-dev.seed";
  const std::vector<std::string> common = {"--key", keyFile, "--issuer", kIssuer, "--now", std::to_string(kNow)};
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), common.begin(), common.end());
    int status = 0;
    std::string out = RunSigner(args, status);
    EXPECT_EQ(status, 0) << out;
    return out;
  };

  const std::string list = run({"revocations", R"({"rev":1,"jtis":[],"serverNowMs":1})"});
  EXPECT_EQ(registry->ApplyRevocations(list).code, "") << list;

  const std::string cap =
      run({"cap", json{{"aud", OnlineAudience()}, {"sub", "user:u1/plugin:p1"}, {"pkg", kPkg}, {"cap", "realtime"},
                       {"scope", {"rt.publish:p1"}}}
                      .dump()});
  CapabilityClaims claims;
  EXPECT_EQ(registry->VerifyCapToken(cap, Expect(kNow, true), &claims), "") << cap;
  EXPECT_EQ(claims.exp, kNow + 3600);
  EXPECT_EQ(claims.jti.size(), 32u);

  const std::string view = run({"view", json{{"aud", OnlineAudience()}, {"sub", "user:viewer"}}.dump()});
  EXPECT_EQ(registry->VerifyViewToken(view, kNow, true), "") << view;

  EXPECT_EQ(run({"pubkey"}), qvsign::HexOf(key.publicKey.data(), key.publicKey.size()));

  int status = 0;
  RunSigner({"--key", keyFile, "cap", "not json"}, status);
  EXPECT_NE(status, 0);
}
