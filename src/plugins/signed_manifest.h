#pragma once
// Signed plugin manifests: the normalised copy, the canonical JSON text that is signed, the
// loose base64 of signatures, the relative-path rule of package entries, the package's own
// manifest and file hashes read from its zip, and the verification of a package against its
// signed manifest under the package-signing key compiled into the program.
//
// Threads: any; every function is pure apart from the memory it allocates (callers serialise
// store access with the package-store lock). Failures are the fixed texts callers pass on.
#include <array>
#include <cstdint>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

// The identity of a stored (or expected) package. directory is the extracted version folder,
// empty while a package is being staged.
struct InstalledPackage {
  std::string pluginId;
  std::string version;
  std::string packageSha256;  // 64 lowercase hex digits
  std::string directory;
};

// Relative path ('/' separators, case kept) -> SHA-256 of the file's content (lowercase hex).
using PackageFileHashes = std::map<std::string, std::string>;

// The Ed25519 key package manifests are signed with (a build setting).
const std::array<uint8_t, 32>& PackageSigningPublicKey();

// Throws std::runtime_error with one of: "invalid signed manifest", "unsupported signed manifest
// field", "unsupported signature payload format", "unsupported contract version", "missing
// manifest field", "invalid manifest field", "invalid manifest array", "invalid manifest number".
nlohmann::json NormaliseSignedManifest(const nlohmann::json& manifest);

// Compact JSON with object keys sorted by UTF-16 code units, pure ASCII (everything from U+007F
// up escaped), numbers written as doubles in their shortest round-trip form. Throws
// std::runtime_error("invalid manifest number") for NaN and infinities.
std::string CanonicalJson(const nlohmann::json& value);

// "v=3\n" followed by the canonical text of the normalised manifest: the bytes the signature
// covers. Throws as the two functions above.
std::string SignedManifestText(const nlohmann::json& manifest);

// Base64 in either alphabet; characters outside both are dropped, '=' decodes as zero bits
// wherever it stands; false when the kept length is not a multiple of four.
bool DecodeBase64Loose(const std::string& text, std::string& out);

// 1 to 512 bytes, no leading separator, no ':', no byte below 0x20, and no empty, "." or ".."
// segment between '/' or '\'.
bool IsSafeRelativePath(const std::string& path);

// Walks the package zip with the package rules (package_zip.h). manifest, when asked for,
// receives plugin.json parsed (it must be present); hashes receives every file's SHA-256.
// Asked for the manifest alone, only plugin.json is inflated (every entry still meets the rules).
bool ReadPackageZip(const std::string& zipBytes, nlohmann::json* manifest, PackageFileHashes* hashes);

// "" when the zip is the package the signed manifest names, signed with the package-signing
// key, and its plugin.json says the same; else "package signature invalid", "package manifest
// invalid", "package manifest mismatch" or "package runtime rejected". Uses only pluginId,
// version and packageSha256 of expected.
std::string VerifySignedManifest(const InstalledPackage& expected, const std::string& zipBytes,
                                 const nlohmann::json& signedManifest);
// The same with the zip's SHA-256 already known (zipSha256, 64 lowercase hex digits of zipBytes).
std::string VerifySignedManifest(const InstalledPackage& expected, const std::string& zipBytes,
                                 const std::string& zipSha256, const nlohmann::json& signedManifest);
