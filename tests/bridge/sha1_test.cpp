#include "bridge/sha1.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>

#include "base/constants.h"
#include "base/strings.h"
#include "base/version.h"

namespace {

// The system library's SHA-1, the reference the bridge's own is checked against.
bool ReferenceSha1(const std::string& data, uint8_t out[20]) {
  unsigned int length = 0;
  return EVP_Digest(data.data(), data.size(), out, &length, EVP_sha1(), nullptr) == 1 && length == 20;
}

std::string HexSha1(const std::string& text) {
  auto digest = Sha1(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  return HexLower(digest.data(), digest.size());
}

TEST(Sha1, KnownVectors) {
  struct Case {
    std::string input;
    const char* digest;
  } cases[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  for (const auto& c : cases) EXPECT_EQ(HexSha1(c.input), c.digest) << "length " << c.input.size();
}

// The padding changes shape around the 56- and 64-byte marks; the system library is the reference.
TEST(Sha1, PaddingBoundariesMatchSystemLibrary) {
  for (size_t length : {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 1000}) {
    std::string input(length, '\0');
    for (size_t i = 0; i < length; ++i) input[i] = static_cast<char>(i * 7 + 3);
    uint8_t expected[20];
    ASSERT_TRUE(ReferenceSha1(input, expected));
    EXPECT_EQ(HexSha1(input), HexLower(expected, 20)) << "length " << length;
  }
}

}  // namespace
