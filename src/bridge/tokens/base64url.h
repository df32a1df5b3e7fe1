#pragma once
// Decoding of token segments and signatures: base64url without padding, standard base64 accepted too.
#include <string>
#include <string_view>

// Appends "=" up to a multiple of four, then decodes quartets: "-" and "+" are 62, "_" and "/" are 63,
// "=" is zero bits and drops one output byte for each "=" in a quartet's third or fourth place.
// Any other character fails (false; out is then unspecified).
bool Base64UrlDecode(std::string_view text, std::string& out);
