#pragma once
// The update store under the per-user data folder: where its files lie, what meta.json says,
// and the steps that put a pack in place or take it away.
//
// Threads: the update check, the page's request workers and the UI thread (which only reads,
// when it loads the asset pack) may all run at once. Finalising and clearing take one store
// mutex, so they never interleave within this process. The file being finalised is first
// renamed to a private name, so what is hashed is exactly what is moved, whatever a writer of
// the shared staging name does meanwhile. The active folder is replaced in one rename (the new
// pack and its meta.json are prepared beside it), so a reader, or a start after a crash, finds
// either the old pack with its meta.json or the new one with its own, never a mix.
#include <string>

// Every path is "" when the per-user data folder cannot be resolved.
std::string GetOtaRoot();
// What the page is told when it cannot: the folder, and where it comes from.
std::string OtaRootUnresolvedText();
std::string GetOtaStagingPath();
std::string GetOtaActiveDir();
std::string GetOtaWebPackPath();
std::string GetOtaOverlayPackPath();
std::string GetOtaMetaPath();

// A string member of the meta.json at metaPath; "" when the file is missing or unreadable, is
// not a JSON object, or the member is missing or not a string.
std::string ReadOtaMetaString(const std::string& metaPath, const char* member);
// "version" and "kind" of the active meta.json.
std::string ReadOtaMetaVersion();
std::string ReadOtaMetaKind();

// SHA-256 of a file as 64 lowercase hex digits; "" on any failure.
std::string HashFileSha256(const std::string& path);
// Creates every missing level of path.
void CreateDirectoryTree(const std::string& path);

struct FinalizeResult {
  bool ok = false;
  std::string error;
};

// Checks the staging file against expectedSha256, then that it parses as a pack of the kind
// ("full" or "overlay", any case; a full pack holds index.html), and makes it the active pack
// with its meta.json. A file that fails either check is deleted and the store stays as it was.
FinalizeResult FinalizeOtaUpdate(const std::string& expectedSha256, const std::string& version,
                                 const std::string& kind);
// The same for a file of the caller's own (the update check's download); it is consumed.
FinalizeResult FinalizeOtaFile(const std::string& file, const std::string& expectedSha256,
                               const std::string& version, const std::string& kind);
// Removes the active pack, its meta.json, the staging file and the folders they leave empty.
void ClearOtaUpdate();
