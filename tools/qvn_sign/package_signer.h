#pragma once
// Signing side of plugin packages, for tests and the qvn_sign tool only: the host never signs.
#include <string>

#include <nlohmann/json.hpp>

#include "token_minter.h"

namespace qvsign {

// Zips every regular file under folder (relative names, '/' separators, sorted) into zipBytes.
bool ZipFolder(const std::string& folder, std::string& zipBytes, std::string& error);

// The signed manifest of a package: manifest with "sha256" set to the zip's hash, "sigVersion" 3
// and "signature" over the manifest's signed text.
nlohmann::json SignPackageManifest(const SigningKey& key, nlohmann::json manifest, const std::string& zipBytes);

// A "stagePluginPackage" payload for the folder (its plugin.json is the manifest); false with
// error when the folder cannot be packed.
bool BuildStagePayload(const SigningKey& key, const std::string& folder, nlohmann::json& payload, std::string& zipBytes,
                       std::string& error);

}  // namespace qvsign
