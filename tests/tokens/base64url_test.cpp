#include <gtest/gtest.h>

#include <string>

#include "bridge/tokens/base64url.h"

TEST(Base64UrlDecode, DecodesBothAlphabetsWithAndWithoutPadding) {
  struct Case {
    const char* text;
    std::string bytes;
  } cases[] = {
      {"", ""},
      {"Zg", "f"},
      {"Zg==", "f"},
      {"Zm8", "fo"},
      {"Zm8=", "fo"},
      {"Zm9v", "foo"},
      {"Zm9vYmFy", "foobar"},
      {"-_-_", "\xfb\xff\xbf"},
      {"+/+/", "\xfb\xff\xbf"},
      {"Z", "d"},  // a lone character is padded to a quartet and yields one byte
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_TRUE(Base64UrlDecode(c.text, out)) << c.text;
    EXPECT_EQ(out, c.bytes) << c.text;
  }
}

TEST(Base64UrlDecode, RejectsCharactersOutsideBothAlphabets) {
  for (const char* text : {"Zm9v!", "Zm 9", "Zm.v", "Zm9v\n", "\xc3\xa9"}) {
    std::string out;
    EXPECT_FALSE(Base64UrlDecode(text, out)) << text;
  }
}
