#include "base/json.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using nlohmann::json;

namespace {

std::string LibraryDump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

// A random value of the shapes messages carry, with strings that need escaping or are not UTF-8
// mixed in, so the fast path and the library's fallback meet inside one document.
json RandomValue(std::mt19937& random, int depth) {
  const int kind = static_cast<int>(random() % (depth > 3 ? 6 : 8));
  switch (kind) {
    case 0: return nullptr;
    case 1: return random() % 2 == 0;
    case 2: return static_cast<int64_t>(random()) - (int64_t{1} << 31);
    case 3: return static_cast<uint64_t>(random()) << 31;
    case 4: return std::ldexp(static_cast<double>(random()), -static_cast<int>(random() % 40));
    case 5: {
      std::string text;
      const size_t length = random() % 12;
      for (size_t i = 0; i < length; ++i) text += static_cast<char>(random() % 4 == 0 ? random() % 256 : 'a' + random() % 26);
      return text;
    }
    case 6: {
      json array = json::array();
      for (size_t i = random() % 4; i > 0; --i) array.push_back(RandomValue(random, depth + 1));
      return array;
    }
    default: {
      json object = json::object();
      for (size_t i = random() % 4; i > 0; --i) object[LibraryDump(RandomValue(random, 9)).substr(0, 6)] = RandomValue(random, depth + 1);
      return object;
    }
  }
}

}  // namespace

TEST(DumpCompact, SameBytesAsTheLibrarysCompactDump) {
  const json cases[] = {
      json::object(),
      json::array(),
      json(nullptr),
      json({{"type", "publish-ok"}, {"payload", {{"seq", 1}}}}),
      json({{"b", true}, {"f", false}, {"n", nullptr}, {"e", json::object()}, {"a", json::array()}}),
      json({{"min", INT64_MIN}, {"max", INT64_MAX}, {"umax", UINT64_MAX}, {"zero", 0}, {"neg", -1}}),
      json({{"float", 0.1}, {"whole", 2.0}, {"tiny", 1e-300}, {"nan", NAN}, {"inf", INFINITY}}),
      json({{"quote\"key", "back\\slash"}, {"ctl", std::string("\x01\x1f\b\f\n\r\t", 7)}, {"del", "\x7f"}}),
      json({{"utf8", "gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80"}, {"\xc3\xa4", "key"}}),
      json({{"bad", "cut \xc3"}, {"lone", "\x80\xff"}, {"overlong", "\xc0\xaf"}, {"surrogate", "\xed\xa0\x80"}}),
      json({{"nul", std::string("a\0b", 3)}}),
      json::binary({1, 2, 3}),
      json({{"frames", json::array({{{"source", "p@" + std::string(64, 'b')}, {"seq", 7}}})}}),
  };
  for (const json& value : cases) EXPECT_EQ(DumpCompact(value), LibraryDump(value)) << LibraryDump(value);

  std::mt19937 random(32);
  for (int i = 0; i < 3000; ++i) {
    const json value = RandomValue(random, 0);
    ASSERT_EQ(DumpCompact(value), LibraryDump(value)) << "case " << i;
  }
}
