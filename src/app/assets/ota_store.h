#pragma once
// The update store under the per-user data folder: where its files lie and what meta.json says.
#include <string>

// Every path is "" when the per-user data folder cannot be resolved.
std::string GetOtaRoot();
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
