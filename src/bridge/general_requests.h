#pragma once
// Pieces of the general page requests that are useful on their own.
#include <string>
#include <string_view>
#include <vector>

// Opens the folder that holds path with the desktop's file manager; false when it could not start.
bool RevealInFolder(const std::string& path);

// pluginId: 1..64 of a-z, 0-9, '-', '.'.
bool IsPluginIdText(std::string_view id);
// 64 lowercase hex digits.
bool IsPackageSha256(std::string_view hash);
