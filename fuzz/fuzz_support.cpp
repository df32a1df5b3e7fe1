#include "fuzz_support.h"

#include <cstdio>
#include <memory>

#include "token_minter.h"

namespace fuzzsupport {

// The seed of tests/fixtures/keys/issuer-dev.seed: the fuzzer signs like the tests do.
constexpr const char kDevSeedHex[] = QV_FUZZ_DEV_SEED;

struct DevIssuer {
  qvsign::SigningKey key;
};

const DevIssuer& Issuer() {
  static const DevIssuer issuer = [] {
    DevIssuer d;
    qvsign::SigningKeyFromSeedHex(kDevSeedHex, d.key);
    return d;
  }();
  return issuer;
}

std::string MintCapToken(const std::string& payloadText) {
  return qvsign::SignTokenText(Issuer().key, R"({"alg":"EdDSA","kid":"rpc-cap","typ":"qvn-cap+jwt"})", payloadText);
}

std::string SignRevocationListText(const std::string& listText) {
  nlohmann::json list = nlohmann::json::parse(listText, nullptr, false);
  if (!list.is_object()) return listText;
  return qvsign::SignRevocationList(Issuer().key, std::move(list)).dump();
}

CapabilityTokenRegistry& FreshRegistry() {
  static std::unique_ptr<CapabilityTokenRegistry> registry;
  registry = std::make_unique<CapabilityTokenRegistry>(Issuer().key.publicKey, kIssuer,
                                                       [] { return kNow * 1000; });
  registry->SetInstallation("0123456789abcdef0123456789abcdef", "fedcba9876543210fedcba9876543210");
  return *registry;
}

}  // namespace fuzzsupport

// The host's log goes to standard output; libFuzzer reports on standard error. Millions of
// log lines would only slow the run and fill the disk.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!std::freopen("/dev/null", "w", stdout)) return 0;
  return 0;
}
