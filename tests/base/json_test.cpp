#include "base/json.h"

#include <gtest/gtest.h>

#include <cmath>
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

// The same value down to each number's type (== takes 1 and 1u and 1.0 for one another).
bool SameTree(const json& a, const json& b) {
  if (a.type() != b.type()) return false;
  if (a.is_object()) {
    if (a.size() != b.size()) return false;
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
      if (i.key() != j.key() || !SameTree(i.value(), j.value())) return false;
    }
    return true;
  }
  if (a.is_array()) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      if (!SameTree(a[i], b[i])) return false;
    }
    return true;
  }
  return a.is_discarded() || (a.is_number_float() && std::isnan(a.get<double>()) ? b.is_number_float() : a == b);
}

json LibraryParse(const std::string& text) { return json::parse(text.begin(), text.end(), nullptr, false); }

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

TEST(ParseJsonOrDiscarded, SameValueAsTheLibrarysParse) {
  const std::string cases[] = {
      R"({"type":"rt.publish","payload":{"seq":1,"frame":{"channels":[{"id":"speed","values":[1]}]}}})",
      " \t\r\n{ \"a\" : [ 1 , -2 , true , false , null , \"\" , {} , [] ] } \n",
      "0", "-0", "7", "-7", "123456789012345678", "-123456789012345678", "1234567890123456789",
      "18446744073709551615", "18446744073709551616", "-9223372036854775808", "-9223372036854775809",
      "01", "-", "-a", "1.5", "1e3", "1E3", "-0.0", "1.", ".5", "+1", "0x10",
      R"({"a":1,"a":2})", R"({"a":{"b":1},"a":[2]})", R"({"a":1,})", R"([1,])", R"({,})", "[,1]", R"({"a" 1})",
      R"({"a":1}x)", "[1 2]", "tru", "true1", "nul", "falsey", "", " ", "[", "{", "]", "\"",
      R"("esc\"aped")", R"("\u00e9\ud83d\ude00")", R"("\ud800")", "\"caf\xc3\xa9\"", "\"bad \xc3\"",
      "\"\x7f\"", std::string("\"a\0b\"", 5), "\"tab\there\"", "\"line\nfeed\"",
      std::string(70, '[') + std::string(70, ']'), std::string(70, '[') + std::string(69, ']'),
      "[1]\f", "\xef\xbb\xbf{}", "{\"\":\"\"}", "[[[[[]]]]]", "{\"k\":{\"k\":{\"k\":null}}}",
  };
  for (const std::string& text : cases) {
    EXPECT_TRUE(SameTree(ParseJsonOrDiscarded(text), LibraryParse(text))) << text;
  }

  // Documents of every shape, then the same bytes with one byte changed, cut short or doubled.
  std::mt19937 random(32);
  const char bytes[] = "{}[],:\" \\-0123456789.eEtrufalsn\x01\x7f\xc3\xa9";
  for (int i = 0; i < 3000; ++i) {
    std::string text = LibraryDump(RandomValue(random, 0));
    ASSERT_TRUE(SameTree(ParseJsonOrDiscarded(text), LibraryParse(text))) << text;
    switch (random() % 3) {
      case 0: text[random() % text.size()] = bytes[random() % (sizeof bytes - 1)]; break;
      case 1: text.resize(random() % text.size()); break;
      default: text.insert(random() % (text.size() + 1), 1, text[random() % text.size()]); break;
    }
    ASSERT_TRUE(SameTree(ParseJsonOrDiscarded(text), LibraryParse(text))) << text;
  }
}
