// Plugin packages from outside: the package zip reader with its entry rules, the verification of
// a package against a signed manifest, and the manifest texts (normaliser, canonical writer,
// launch derivation). The first byte picks what the rest is.
#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "fuzz_support.h"
#include "plugins/launch_spec.h"
#include "plugins/signed_manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::Bytes bytes(data, size);
  const uint8_t mode = bytes.Byte();
  const std::string rest = bytes.Rest();
  if (mode % 2 == 0) {
    nlohmann::json manifest;
    PackageFileHashes hashes;
    if (ReadPackageZip(rest, &manifest, &hashes)) {
      try {
        SignedManifestText(manifest);
      } catch (const std::exception&) {
      }
    }
    const nlohmann::json signedManifest = {{"id", "demo.plugin"}, {"version", "1.0.0"}, {"sigVersion", 3},
                                           {"sha256", ""}, {"signature", std::string(88, 'A')}};
    VerifySignedManifest({"demo.plugin", "1.0.0", "", ""}, rest, signedManifest);
    return 0;
  }
  const nlohmann::json manifest = nlohmann::json::parse(rest, nullptr, false);
  if (manifest.is_discarded()) return 0;
  try {
    SignedManifestText(manifest);
  } catch (const std::exception&) {
  }
  LaunchSpec plan;
  for (const char* capability : {"decode", "realtime"}) ResolveSignedLaunch(manifest, capability, plan);
  std::string error;
  ParseLaunchHint(rest, &error);
  return 0;
}
