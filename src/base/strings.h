#pragma once
// Text helpers every layer shares: hex, and UTF-8 <-> UTF-16 (std::u16string, since wchar_t is
// 32-bit here and some rules count or sort by UTF-16 code units). Pure functions.
#include <cstddef>
#include <cstdint>
#include <string>

// Lowercase hex, two digits per byte, high nibble first.
std::string HexLower(const uint8_t* bytes, size_t count);

// UTF-8 <-> UTF-16, read up to the first NUL; invalid sequences become U+FFFD.
std::u16string Utf8ToWide(const std::string& s);
std::string WideToUtf8(const std::u16string& s);
