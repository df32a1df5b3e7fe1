#include "base/base64.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Encode(const std::string& bytes) {
  return Base64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string Decode(const std::string& text) {
  auto bytes = Base64Decode(text);
  return std::string(bytes.begin(), bytes.end());
}

TEST(Base64, Encode) {
  struct Case {
    std::string bytes;
    const char* text;
  } cases[] = {
      {"", ""},
      {"abc", "YWJj"},
      {std::string(1, '\0'), "AA=="},
      {std::string(2, '\0'), "AAA="},
      {"\xff\xfe\xfd\xfc", "//79/A=="},
      {"hello world", "aGVsbG8gd29ybGQ="},
  };
  for (const auto& c : cases) EXPECT_EQ(Encode(c.bytes), c.text);
}

TEST(Base64, DecodeAcceptsLineBreaksAndLoosePadding) {
  struct Case {
    const char* text;
    std::string bytes;
  } cases[] = {
      {"YWJj", "abc"},
      {"YW\r\nJj", "abc"},
      {"QQ", "A"},
      {"QQ=", "A"},
      {"QQ==", "A"},
      {"Q=Q", "A"},  // '=' is skipped wherever it stands
      {"//79/A==", "\xff\xfe\xfd\xfc"},
  };
  for (const auto& c : cases) EXPECT_EQ(Decode(c.text), c.bytes) << c.text;
}

TEST(Base64, DecodeRefusesCharactersOutsideTheAlphabet) {
  for (const char* text : {"YW Jj", "YW\tJj", "a-b_", "YWJj-", "\x80YWJj"}) {
    EXPECT_TRUE(Base64Decode(text).empty()) << text;
  }
  EXPECT_TRUE(Base64Decode("").empty());
}

TEST(Base64, RoundTripsEveryByteValue) {
  for (size_t length = 0; length < 260; length += 37) {
    std::string bytes;
    for (size_t i = 0; i < length; ++i) bytes += static_cast<char>(255 - i);
    EXPECT_EQ(Decode(Encode(bytes)), bytes) << "length " << length;
  }
}

}  // namespace
