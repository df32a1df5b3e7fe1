#pragma once
// User-scope data protection. The blob binds the payload to the owning user id and carries a
// SHA-256 integrity tag; confidentiality comes from the file permissions of the files that
// hold it (0600 in a 0700 folder), not from encryption.
#include <string>

namespace platform {

bool ProtectData(const std::string& plain, const std::string& description, std::string* blob);
// False for a damaged blob, a wrong tag, or a blob made for another user.
bool UnprotectData(const std::string& blob, std::string* plain, std::string* description = nullptr);

// The blob layout, for tests that forge foreign or damaged blobs.
std::string ProtectDataForUser(unsigned uid, const std::string& plain, const std::string& description);

}  // namespace platform
