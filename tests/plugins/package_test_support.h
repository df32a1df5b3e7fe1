#pragma once
// Plugin packages for the tests of this folder: zips written by Python's zipfile (a zip writer
// independent of the one we read with), manifests signed here with the development package key,
// and a store under a throw-away data folder.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/base64.h"
#include "platform/process.h"
#include "plugins/sha256.h"
#include "plugins/signed_manifest.h"
#include "support/temp_folder.h"
#include "token_minter.h"

namespace packagetest {

using nlohmann::json;

struct ZipItem {
  std::string name;
  std::string data;
  bool symlink = false;
  bool deflate = true;
  long long declaredSize = -1;  // >= 0: the size written into both headers instead of the real one
};

// Writes the entries in order with zipfile, then patches declared sizes where asked.
inline const char kZipWriter[] = R"PY(
import base64, json, struct, sys, zipfile
entries = json.load(open(sys.argv[1]))
with zipfile.ZipFile(sys.argv[2], "w") as z:
    for e in entries:
        info = zipfile.ZipInfo(e["name"], (2024, 1, 2, 3, 4, 6))
        info.compress_type = zipfile.ZIP_DEFLATED if e["deflate"] else zipfile.ZIP_STORED
        if e["symlink"]:
            info.create_system = 3
            info.external_attr = 0o120777 << 16
        z.writestr(info, base64.b64decode(e["data"]))
data = bytearray(open(sys.argv[2], "rb").read())
for e in entries:
    if e["declared"] < 0:
        continue
    name = e["name"].encode()
    at = data.find(b"PK\x01\x02" + b"")
    while at >= 0:
        n = struct.unpack_from("<H", data, at + 28)[0]
        if data[at + 46:at + 46 + n] == name:
            struct.pack_into("<I", data, at + 24, e["declared"])
            local = struct.unpack_from("<I", data, at + 42)[0]
            struct.pack_into("<I", data, local + 22, e["declared"])
        at = data.find(b"PK\x01\x02", at + 4)
open(sys.argv[2], "wb").write(bytes(data))
)PY";

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteAll(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

// Runs argv to its end (bounded); true when it exited with status 0.
inline bool RunToEnd(const std::vector<std::string>& argv) {
  platform::process::SpawnOptions options;
  options.argv = argv;
  options.env = {"PATH=/usr/bin:/bin", "LANG=C.UTF-8"};
  options.stderrMode = platform::process::Stream::Null;
  auto spawned = platform::process::Spawn(options);
  if (!spawned.child) return false;
  int status = 0;
  return spawned.child->Wait(std::chrono::seconds(60), &status) && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

inline std::string BuildZip(const std::vector<ZipItem>& items) {
  testsupport::TempFolder temp("qv-zip-");
  json entries = json::array();
  for (const ZipItem& item : items) {
    entries.push_back({{"name", item.name},
                       {"data", Base64Encode(reinterpret_cast<const uint8_t*>(item.data.data()), item.data.size())},
                       {"symlink", item.symlink},
                       {"deflate", item.deflate},
                       {"declared", item.declaredSize}});
  }
  WriteAll(temp / "writer.py", kZipWriter);
  WriteAll(temp / "entries.json", entries.dump());
  EXPECT_TRUE(RunToEnd({"/usr/bin/python3", temp / "writer.py", temp / "entries.json", temp / "out.zip"}));
  return ReadAll(temp / "out.zip");
}

inline const qvsign::SigningKey& DevPackageKey() {
  static const qvsign::SigningKey key = [] {
    qvsign::SigningKey k;
    std::string error;
    EXPECT_TRUE(qvsign::LoadSigningKey(std::string(QV_TEST_FIXTURES) + "/keys/package-dev.seed", k, error)) << error;
    return k;
  }();
  return key;
}

// A valid unsigned manifest whose launch for this platform is bin/tool.
inline json BaseManifest(const std::string& id = "demo.plugin", const std::string& version = "1.0.0") {
  return {{"id", id},
          {"name", "Demo"},
          {"version", version},
          {"minAppVersion", "1.0.0"},
          {"runtime", "native"},
          {"entry", "bin/tool"},
          {"sandbox", "process"},
          {"extensions", {".csv"}},
          {"capabilities", {"decode", "realtime"}},
          {"description", "caf\xC3\xA9"}};
}

// The manifest as the signing authority hands it out for this zip.
inline json SignFor(json manifest, const std::string& zip, const qvsign::SigningKey& key = DevPackageKey()) {
  manifest.erase("signature");
  manifest["sha256"] = Sha256Hex(zip);
  manifest["sigVersion"] = 3;
  const std::string signature = qvsign::Sign(key, SignedManifestText(manifest));
  manifest["signature"] = Base64Encode(reinterpret_cast<const uint8_t*>(signature.data()), signature.size());
  return manifest;
}

// A package zip holding plugin.json (the manifest) and the given files.
inline std::string PackageZip(const json& manifest, std::vector<ZipItem> files = {{"bin/tool", "#!/bin/sh\nexit 0\n"}}) {
  files.insert(files.begin(), ZipItem{"plugin.json", manifest.dump()});
  return BuildZip(files);
}

inline json StagePayload(const json& signedManifest, const std::string& zip) {
  return {{"pluginId", signedManifest.value("id", "")},
          {"version", signedManifest.value("version", "")},
          {"packageSha256", Sha256Hex(zip)},
          {"zipBase64", Base64Encode(reinterpret_cast<const uint8_t*>(zip.data()), zip.size())},
          {"signedManifest", signedManifest}};
}

// A data folder of its own, so the store lives under it.
class StoreTest : public ::testing::Test {
 protected:
  testsupport::TempFolder data{"qv-store-"};
  testsupport::ScopedEnv xdg{"XDG_DATA_HOME", data.str()};
  std::string Root() const { return data / "Quorvane/plugins"; }
};

}  // namespace packagetest
