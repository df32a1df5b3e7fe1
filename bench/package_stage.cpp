// Staging a 64 MiB plugin package (base64 decode, SHA-256 of the zip, signature, zip checks,
// extraction with a hash per file), beside `sha256sum` plus `unzip` of the same zip measured in
// the same run. Prints MB/s of the zip for both and the ratio, with and without the dispatcher's
// parse of the request text that carries the package.
#include <sodium.h>
#include <zip.h>

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/base64.h"
#include "bridge/rpc_dispatch.h"
#include "build_config.h"
#include "platform/process.h"
#include "plugins/package_store.h"
#include "plugins/sha256.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

namespace {

std::string Zip(const std::vector<std::pair<std::string, std::string>>& files) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
  zip_t* archive = zip_open_from_source(buffer, ZIP_TRUNCATE, &error);
  zip_source_keep(buffer);
  for (const auto& [name, data] : files) {
    zip_source_t* s = zip_source_buffer(archive, data.data(), data.size(), 0);
    zip_file_add(archive, name.c_str(), s, 0);
  }
  zip_close(archive);
  zip_stat_t st;
  zip_source_stat(buffer, &st);
  std::string out(size_t(st.size), '\0');
  zip_source_open(buffer);
  zip_source_read(buffer, out.data(), st.size);
  zip_source_close(buffer);
  zip_source_free(buffer);
  return out;
}

bool Run(const std::vector<std::string>& argv) {
  platform::process::SpawnOptions options;
  options.argv = argv;
  options.env = {"PATH=/usr/bin:/bin"};
  auto spawned = platform::process::Spawn(options);
  int status = 0;
  return spawned.child && spawned.child->Wait(std::chrono::minutes(5), &status) && status == 0;
}

template <typename F>
double BestSeconds(int runs, F&& f) {
  double best = 1e9;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    if (!f()) return -1;
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main() {
  const fs::path root = fs::temp_directory_path() / ("qv-bench-pkg-" + std::to_string(::getpid()));
  fs::create_directories(root);
  ::setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);

  // Half random (deflate cannot shrink it), half text-like, in 1 MiB files.
  json manifest = {{"id", "bench.plugin"}, {"name", "Bench"}, {"version", "1.0.0"}, {"minAppVersion", "1.0.0"},
                   {"runtime", "native"}, {"entry", "bin/tool"}, {"sandbox", "process"},
                   {"extensions", {".csv"}}, {"capabilities", {"decode"}}};
  auto filesFor = [&](int pairs) {
    std::mt19937_64 rng(1);
    std::vector<std::pair<std::string, std::string>> files = {{"plugin.json", manifest.dump()}, {"bin/tool", "x"}};
    for (int i = 0; i < 2 * pairs; ++i) {
      std::string data(1 << 20, '\0');
      if (i % 2 == 0) {
        for (size_t k = 0; k < data.size(); k += 8) {
          const uint64_t v = rng();
          std::memcpy(&data[k], &v, 8);
        }
      } else {
        for (size_t k = 0; k < data.size(); ++k) data[k] = "telemetry,1.25,-3.5,0\n"[(k + rng() % 3) % 22];
      }
      files.emplace_back("data/part" + std::to_string(i) + ".bin", std::move(data));
    }
    return files;
  };
  // Sized from a small sample so the package comes just under the 64 MiB limit.
  const double perPair = double(Zip(filesFor(4)).size()) / 4;
  int pairs = int(double(kMaxPackageZipBytes) * 0.995 / perPair);
  auto files = filesFor(pairs);
  std::string zip = Zip(files);
  while (zip.size() > kMaxPackageZipBytes && pairs > 1) {
    files = filesFor(--pairs);
    zip = Zip(files);
  }

  std::string seedHex;
  std::ifstream(std::string(QV_SOURCE_DIR) + "/tests/fixtures/keys/package-dev.seed") >> seedHex;
  unsigned char seed[32], pk[32], sk[64];
  for (int i = 0; i < 32; ++i) seed[i] = uint8_t(std::stoi(seedHex.substr(2 * i, 2), nullptr, 16));
  if (sodium_init() < 0 || crypto_sign_seed_keypair(pk, sk, seed) != 0) return 1;
  manifest["sha256"] = Sha256Hex(zip);
  manifest["sigVersion"] = 3;
  const std::string text = SignedManifestText(manifest);
  unsigned char signature[64];
  crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(text.data()), text.size(), sk);
  manifest["signature"] = Base64Encode(signature, 64);
  const json payload = {{"pluginId", "bench.plugin"}, {"version", "1.0.0"}, {"packageSha256", Sha256Hex(zip)},
                        {"zipBase64", Base64Encode(reinterpret_cast<const uint8_t*>(zip.data()), zip.size())},
                        {"signedManifest", manifest}};
  // The request as the page sends it, parsed the way the dispatcher parses a lent message: the
  // long base64 string takes over the text's buffer instead of being copied.
  const std::string requestText =
      json{{"id", 1}, {"type", "stagePluginPackage"}, {"payload", payload}}.dump();

  const int runs = 3;
  json request;
  double parse = 1e9;
  for (int i = 0; i < runs; ++i) {
    request = nullptr;
    std::string lent = requestText;  // the text as the socket handed it over, not timed
    const auto start = Clock::now();
    std::string* taken = nullptr;
    request = ParseRequestTextInPlace(lent, ScanRequestText(lent, 256), &taken);
    parse = std::min(parse, std::chrono::duration<double>(Clock::now() - start).count());
    if (!taken) return 1;
  }
  const json& parsed = request["payload"];
  const double host = BestSeconds(runs, [&] {
    RemovePluginPackages("bench.plugin");
    const std::string error = StagePluginPackage(parsed);
    if (!error.empty()) std::fprintf(stderr, "stage failed: %s\n", error.c_str());
    return error.empty();
  });
  const std::string zipPath = (root / "package.zip").string();
  std::ofstream(zipPath, std::ios::binary) << zip;
  const double reference = BestSeconds(runs, [&] {
    fs::remove_all(root / "unzipped");
    return Run({"/usr/bin/sha256sum", zipPath}) &&
           Run({"/usr/bin/unzip", "-q", "-o", zipPath, "-d", (root / "unzipped").string()});
  });
  fs::remove_all(root);
  if (host < 0 || reference < 0) return 1;
  const double mb = double(zip.size()) / 1e6;
  std::printf("package %.1f MB (%zu files), best of %d\n", mb, files.size(), runs);
  std::printf("stagePluginPackage          %8.1f MB/s\n", mb / host);
  std::printf("  with the request parse    %8.1f MB/s\n", mb / (host + parse));
  std::printf("sha256sum + unzip (ref)     %8.1f MB/s\n", mb / reference);
  std::printf("ratio host/reference        %8.2f (%.2f with the parse)\n", reference / host, reference / (host + parse));
  return 0;
}
