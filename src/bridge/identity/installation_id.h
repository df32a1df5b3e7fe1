#pragma once
// The installation id (kept for the user across runs) and the per-run session handle.
#include <string>

// 32 lowercase hex characters, or "" when no id could be made. Reads the file on each call; an
// id this process had to make anew stays the same for the rest of the run even when the
// file cannot be written, so every reader agrees.
std::string LoadOrCreateInstallationId();
// The id file's full path (creating its 0700 folder), or "" when the data folder is unknown.
std::string InstallationIdPath();
bool SaveInstallationId(const std::string& path, const std::string& id);
// 16 random bytes as 32 lowercase hex characters; "" when the random source fails.
std::string MakeSessionHandle();

void ResetInstallationIdForTesting();
