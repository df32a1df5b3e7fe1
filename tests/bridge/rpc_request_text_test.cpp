// The dispatcher's request parse against the parser it stands in for: the same value or the
// same refusal for every text, and the same nesting verdict as the token format's counter.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/rpc_dispatch.h"
#include "bridge/rpc_outlet.h"
#include "bridge/tokens/capability_token_registry.h"
#include "bridge/tokens/token_format.h"

namespace {

using nlohmann::json;

constexpr size_t kMaxNesting = 256;

// What a parse gave: the value's dump, or the refusal's id, byte and text. The value is kept in
// *keep when given.
std::string Outcome(const std::function<json()>& parse, json* keep = nullptr) {
  try {
    json value = parse();
    std::string dump = "value " + value.dump();
    if (keep) *keep = std::move(value);
    return dump;
  } catch (const json::parse_error& e) {
    return "parse_error at " + std::to_string(e.byte) + ": " + e.what();
  } catch (const json::exception& e) {
    return "exception " + std::to_string(e.id) + ": " + e.what();
  }
}

void ExpectSame(const std::string& got, const std::string& want, const std::string& label) {
  // The texts are long: a mismatch shows where the two first differ.
  if (got == want) return;
  size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
  ADD_FAILURE() << label << ": differs at " << at << ": " << got.substr(at > 40 ? at - 40 : 0, 160) << " | expected "
                << want.substr(at > 40 ? at - 40 : 0, 160);
}

// Both parses against the parser; the one in place also hands back the largest string's buffer
// and leaves a refused text untouched.
void ExpectSameAsTheParser(const std::string& text, const std::string& label) {
  const RequestTextScan scan = ScanRequestText(text, kMaxNesting);
  ASSERT_EQ(scan.deepAt, tokens::NestingExceededAt(text, kMaxNesting)) << label;
  if (scan.deepAt) return;
  const std::string want = Outcome([&] { return json::parse(text); });
  ExpectSame(Outcome([&] { return ParseRequestText(text, scan); }), want, label);

  std::string scratch = text;
  std::string* taken = nullptr;
  json value;  // where *taken lies
  ExpectSame(Outcome([&] { return ParseRequestTextInPlace(scratch, scan, &taken); }, &value), want,
             label + " (in place)");
  if (want.rfind("value ", 0) != 0) {
    EXPECT_TRUE(scratch == text) << label << ": a refused text was changed";
    EXPECT_EQ(taken, nullptr) << label;
  } else if (taken) {
    size_t largest = 0;
    for (size_t i = 1; i < scan.longStrings.size(); ++i) {
      if (scan.longStrings[i].length > scan.longStrings[largest].length) largest = i;
    }
    const auto& s = scan.longStrings[largest];
    EXPECT_TRUE(*taken == text.substr(s.begin, s.length)) << label << ": the taken string is not the largest";
  }
}

// Printable ASCII of every kind a long plain string may hold, brackets and DEL included.
std::string Long(size_t n, char seed = 'a') {
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    char c = static_cast<char>(0x20 + (seed + i * 7) % 0x60);
    if (c == '"' || c == '\\') c = '[';
    s += c;
  }
  return s;
}

TEST(RequestText, ParsesAsTheParserDoes) {
  const std::string L = Long(5000), M = Long(4096, 'q'), S = Long(4095, 'z');
  struct Case {
    const char* label;
    std::string text;
  } cases[] = {
      {"payload member", R"({"id":1,"type":"appendFileChunk","payload":{"data":")" + L + R"("}})"},
      {"long key", R"({")" + L + R"(":1,"type":"x"})"},
      {"top-level string", "\"" + L + "\""},
      {"mixed order", R"({"s":"short","l":")" + L + R"(","t":["x",")" + M + R"(",{"k":")" + S + R"("}],"n":-1.5e3})"},
      {"repeated key keeps the last", R"({"a":")" + L + R"(","a":")" + M + R"(","a":")" + S + R"("})"},
      {"repeated long key", R"({")" + M + R"(":1,")" + M + R"(":")" + L + R"("})"},
      {"escape inside", R"({"a":")" + L + R"(\n)" + L + R"("})"},
      {"escaped quote at the end", R"({"a":")" + L + R"(\""})"},
      {"valid UTF-8 inside", "{\"a\":\"" + L + "\xc3\xa9" + L + "\"}"},
      {"DEL inside", "{\"a\":\"" + L + "\x7f" + L + "\"}"},
      {"invalid UTF-8 inside", "{\"a\":\"" + L + "\xff" + "\"}"},
      {"control character inside", "{\"a\":\"" + L + "\x01" + "\"}"},
      {"bad escape inside", R"({"a":")" + L + R"(\q"})"},
      {"error after a long string", R"({"a":")" + L + R"(" x})"},
      {"missing colon after a long key", R"({")" + L + R"(" 1})"},
      {"number too large after", R"({"a":")" + L + R"(","b":1e999})"},
      {"unterminated", R"({"a":")" + L},
      {"trailing text", "\"" + L + "\" x"},
      {"long string then deep nesting", "[\"" + L + "\"," + std::string(300, '[')},
      {"brackets inside a long string", "[\"" + std::string(5000, '[') + "\"]"},
      {"braces inside are not nesting", "{\"a\":\"" + std::string(5000, '{') + "\"," + std::string(250, '[') +
                                            std::string(250, ']') + "}"},
      {"backslash at the end", "\"" + L + "\\"},
      {"byte order mark", "\xef\xbb\xbf{\"a\":\"" + L + "\"}"},
      {"empty", ""},
      {"no long string", R"({"id":1,"type":"hello"})"},
  };
  for (const Case& c : cases) ExpectSameAsTheParser(c.text, c.label);
}

// Single-byte changes of a request with long strings, anywhere: around a long string's quotes a
// changed byte moves where strings start and end, which the scan must follow as the parser does.
TEST(RequestText, ParsesMutatedTextsAsTheParserDoes) {
  const std::string base = R"({"id":[1,{"k":")" + Long(4100) + R"("}],"type":"t","payload":{")" + Long(4200, 'x') +
                           R"(":")" + Long(4300, 'y') + R"(","n":[true,null,2]}})";
  const char replacements[] = {'"', '\\', '[', ']', '{', '}', ',', ':', ' ', 'a', '\x01', '\x80', '\x7f', '1'};
  // The bytes where the structure is, and a few inside the strings.
  std::vector<size_t> positions;
  for (size_t i = 0; i < base.size(); ++i) {
    if (base[i] == '"' || base[i] == ':' || base[i] == ',' || base[i] == '{' || base[i] == '}' || i % 997 == 0) {
      positions.push_back(i);
    }
  }
  std::mt19937 random(21);
  for (size_t at : positions) {
    for (int k = 0; k < 3; ++k) {
      std::string text = base;
      text[at] = replacements[random() % sizeof replacements];
      if (random() % 4 == 0) text.insert(at, 1, '"');
      ExpectSameAsTheParser(text, "byte " + std::to_string(at) + " now " + std::to_string(text[at]));
    }
  }
}

// The dispatcher with the message lent as scratch answers as with a copy, and the buffer comes
// back for the connection to reuse, also when the large string became a key or was replaced by
// a repeated key (a stale hand-back would touch freed memory, which the sanitizer build sees).
TEST(RequestText, DispatcherLendingItsMessageAnswersTheSame) {
  std::vector<std::string> replies;
  auto outlet = std::make_shared<RpcOutlet>(RpcOutlet::Target{
      [&](const std::string& text) { return replies.push_back(text), true; }, nullptr, [] { return uint64_t{1}; }});
  RpcDispatch::Options options;
  options.registry = &CapabilityTokenRegistry::Instance();
  RpcDispatch dispatch(outlet, nullptr, std::move(options));
  dispatch.routes().Register({"t.sizes"}, [](const RpcRequest& r) {
    json sizes = json::object();
    for (const auto& [key, value] : r.payload.items()) {
      sizes[std::to_string(key.size())] = value.is_string() ? value.get_ref<const std::string&>().size() : 0;
    }
    r.Reply(sizes);
  });
  const std::string L = Long(300000), M = Long(5000, 'm');
  struct Case {
    std::string text;
    bool givesBack;
  } cases[] = {
      {R"({"id":1,"type":"t.sizes","payload":{"data":")" + L + R"("}})", true},
      {R"({"id":2,"type":"t.sizes","payload":{"a":")" + M + R"(","b":")" + L + R"("}})", true},
      {R"({"id":3,"type":"t.sizes","payload":{"data":")" + L + R"(","data":"x"}})", false},
      {R"({"id":4,"type":"t.sizes","payload":{")" + L + R"(":1}})", false},
      {R"({"id":")" + L + R"(","type":"t.sizes"})", true},
      {R"({"id":6,"type":"t.sizes","payload":")" + L + R"("})", true},
      {R"({"id":7,"type":"t.sizes","payload":{"data":")" + L + R"("}} x)", false},
  };
  for (const Case& c : cases) {
    replies.clear();
    dispatch.HandleMessage(c.text);
    const std::vector<std::string> copied = replies;
    replies.clear();
    std::string lent = c.text;
    dispatch.HandleMessageInPlace(lent);
    EXPECT_TRUE(replies == copied) << c.text.substr(0, 40);
    if (c.givesBack) {
      EXPECT_GE(lent.capacity(), L.size()) << c.text.substr(0, 40) << ": the buffer did not come back";
    }
  }
}

}  // namespace
