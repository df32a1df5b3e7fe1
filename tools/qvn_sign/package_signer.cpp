#include "package_signer.h"

#include <zip.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "base/base64.h"
#include "plugins/sha256.h"
#include "plugins/signed_manifest.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace qvsign {

bool ZipFolder(const std::string& folder, std::string& zipBytes, std::string& error) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file()) names.push_back(fs::relative(it->path(), folder).generic_string());
  }
  if (ec) {
    error = "cannot read " + folder;
    return false;
  }
  std::sort(names.begin(), names.end());
  zip_error_t zerror;
  zip_error_init(&zerror);
  zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &zerror);
  zip_t* archive = buffer ? zip_open_from_source(buffer, ZIP_TRUNCATE, &zerror) : nullptr;
  if (!archive) {
    if (buffer) zip_source_free(buffer);
    error = "cannot create the zip";
    return false;
  }
  zip_source_keep(buffer);  // read back after the archive is closed
  bool ok = true;
  for (const std::string& name : names) {
    zip_source_t* file = zip_source_file(archive, (fs::path(folder) / name).c_str(), 0, -1);
    if (!file || zip_file_add(archive, name.c_str(), file, ZIP_FL_ENC_UTF_8) < 0) {
      if (file) zip_source_free(file);
      ok = false;
      break;
    }
  }
  if (!ok || zip_close(archive) != 0) {
    if (ok) zip_discard(archive);
    zip_source_free(buffer);
    error = "cannot write the zip";
    return false;
  }
  zipBytes.clear();
  zip_stat_t st;
  if (zip_source_stat(buffer, &st) == 0 && zip_source_open(buffer) == 0) {
    zipBytes.resize(size_t(st.size));
    const zip_int64_t n = zip_source_read(buffer, zipBytes.data(), st.size);
    zip_source_close(buffer);
    if (n != zip_int64_t(st.size)) ok = false;
  } else {
    ok = false;
  }
  zip_source_free(buffer);
  if (!ok) error = "cannot read the zip back";
  return ok;
}

json SignPackageManifest(const SigningKey& key, json manifest, const std::string& zipBytes) {
  manifest.erase("signature");
  manifest["sha256"] = Sha256Hex(zipBytes);
  manifest["sigVersion"] = 3;
  const std::string signature = Sign(key, SignedManifestText(manifest));
  manifest["signature"] = Base64Encode(reinterpret_cast<const uint8_t*>(signature.data()), signature.size());
  return manifest;
}

bool BuildStagePayload(const SigningKey& key, const std::string& folder, json& payload, std::string& zipBytes,
                       std::string& error) {
  std::ifstream in(fs::path(folder) / "plugin.json", std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  const json manifest = json::parse(text.str(), nullptr, false);
  if (!in || !manifest.is_object()) {
    error = "the folder needs a plugin.json holding a JSON object";
    return false;
  }
  if (!ZipFolder(folder, zipBytes, error)) return false;
  json signedManifest;
  try {
    signedManifest = SignPackageManifest(key, manifest, zipBytes);
  } catch (const std::exception& e) {
    error = std::string("plugin.json is not a valid manifest: ") + e.what();
    return false;
  }
  payload = {{"pluginId", manifest.value("id", "")},
             {"version", manifest.value("version", "")},
             {"packageSha256", signedManifest["sha256"]},
             {"zipBase64", Base64Encode(reinterpret_cast<const uint8_t*>(zipBytes.data()), zipBytes.size())},
             {"signedManifest", signedManifest}};
  return true;
}

}  // namespace qvsign
