// Capability and view tokens: random texts, and random claims that carry a real signature, so
// the checks behind the signature are reached too.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::Bytes in(data, size);
  const uint8_t mode = in.Byte();
  CapabilityTokenRegistry& registry = fuzzsupport::FreshRegistry();
  std::string token = in.Rest();
  if (mode & 1) token = fuzzsupport::MintCapToken(token);  // the rest is the payload text
  TokenExpectations expect;
  expect.role = (mode & 2) ? "plugin" : "source";
  expect.pluginId = "p1";
  expect.pkg = std::string(64, 'a');
  expect.nowSeconds = fuzzsupport::kNow;
  expect.consume = (mode & 4) != 0;
  CapabilityClaims claims;
  registry.VerifyCapToken(token, expect, &claims);
  registry.VerifyViewToken(token, fuzzsupport::kNow, (mode & 8) != 0);
  if (mode & 16) {
    registry.ArmPluginToken("p1", std::string(64, 'a'), token, fuzzsupport::kNow);
    registry.CheckLaunchToken("p1", std::string(64, 'a'), (mode & 32) ? "decode" : "realtime", "linux",
                              fuzzsupport::kNow);
    registry.RecheckSession(claims, fuzzsupport::kNow - 5, fuzzsupport::kNow);
  }
  return 0;
}
