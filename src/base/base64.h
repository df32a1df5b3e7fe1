#pragma once
// Standard base64 with '=' padding. The URL-safe form of capability tokens is tokens/base64url.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

std::string Base64Encode(const uint8_t* bytes, size_t length);

// CR, LF and '=' are skipped wherever they stand; any other character outside the alphabet
// refuses the whole text. Empty both for an empty and for a refused text.
std::vector<uint8_t> Base64Decode(const std::string& text);
