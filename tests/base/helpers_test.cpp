#include "base/constants.h"
#include "base/strings.h"
#include "base/version.h"

#include <gtest/gtest.h>

namespace {

struct VersionCase {
  const char* a;
  const char* b;
  bool newer;
};

TEST(VersionHelpers, IsVersionNewerTable) {
  const VersionCase cases[] = {
      {"1.3.0", "1.2.9", true},
      {"1.2", "1.2.0.0", false},
      {"1.2.0.0", "1.2", false},
      {"1.2.0.20250101", "1.2.0", false},  // build date dropped
      {"1.2.1", "1.2.1.20250101", false},
      {"1.2.1.20250101", "1.2.0.20991231", true},
      {"1.10", "1.9", true},  // numeric, not textual
      {"1.9", "1.10", false},
      {"2", "1.99.99", true},
      {"", "0", false},
      {"1.", "1.0", false},
      {"1.3a", "1.0", false},  // not read to its end: counts as 0
      {"1.-1", "1.0", false},  // a sign is not a digit: counts as 0
      {"1.-1", "1.99999", false},
      {"1. 5", "1.0", false},  // blanks do not count
      {"1.+5", "1.0", false},
      {"1.18446744073709551616", "1.18446744073709551614", true},  // saturates, never wraps
      {"1.2.3.20241399", "1.2.3", false},  // month/day unchecked: still a date
      {"1.2.3.19991231", "1.2.3", true},   // below the date range: a real component
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsVersionNewer(c.a, c.b), c.newer) << c.a << " vs " << c.b;
  }
}

TEST(VersionHelpers, StripBuildDateSuffixAndParse) {
  EXPECT_EQ(StripBuildDateSuffix("20250101"), "20250101");  // no dot
  EXPECT_EQ(StripBuildDateSuffix("1.2.19991231"), "1.2.19991231");
  EXPECT_EQ(StripBuildDateSuffix("1.2.20991231"), "1.2");
  EXPECT_EQ(StripBuildDateSuffix("1.2.20000101"), "1.2");
  EXPECT_EQ(StripBuildDateSuffix("1.2.21000101"), "1.2.21000101");
  EXPECT_EQ(StripBuildDateSuffix("1.2.2025010"), "1.2.2025010");  // 7 digits
  EXPECT_EQ(StripBuildDateSuffix("1.2."), "1.2.");
  EXPECT_EQ(ParseVersion(""), std::vector<uint64_t>{0});
  EXPECT_EQ(ParseVersion("1."), (std::vector<uint64_t>{1, 0}));
  EXPECT_EQ(ParseVersion("3a.7"), (std::vector<uint64_t>{0, 7}));
}

TEST(VersionHelpers, ProductVersionHasFourNumbers) {
  std::string v = GetExeProductVersion();
  EXPECT_EQ(ParseVersion(v).size(), 4u) << v;
  EXPECT_EQ(v.find_first_not_of("0123456789."), std::string::npos);
}

TEST(Utf, RoundTripsAndReplacements) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8F\x81";  // a é € 🏁
  std::u16string wide = Utf8ToWide(text);
  EXPECT_EQ(wide, u"a\u00e9\u20ac\U0001F3C1");
  EXPECT_EQ(wide.size(), 5u);  // the flag is a surrogate pair
  EXPECT_EQ(WideToUtf8(wide), text);

  EXPECT_EQ(Utf8ToWide(""), u"");
  EXPECT_EQ(Utf8ToWide(std::string("ab\0cd", 5)), u"ab");  // stops at NUL
  EXPECT_EQ(Utf8ToWide("\xFF"), u"\uFFFD");
  EXPECT_EQ(Utf8ToWide("\xC0\xAF"), u"\uFFFD");      // overlong
  EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), u"\uFFFD");  // encoded surrogate
  EXPECT_EQ(Utf8ToWide("\xE2\x82"), u"\uFFFD");      // truncated
  EXPECT_EQ(WideToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");  // lone surrogate
}

TEST(Hex, LowercaseTwoDigitsPerByte) {
  const uint8_t bytes[] = {0x00, 0x0f, 0xf0, 0xab};
  EXPECT_EQ(HexLower(bytes, 4), "000ff0ab");
}

}  // namespace
