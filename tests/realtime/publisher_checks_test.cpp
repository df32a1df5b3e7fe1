#include "realtime/publisher_checks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using nlohmann::json;
using namespace realtime;

namespace {

CapabilityClaims Claims(std::vector<std::string> scopes, const std::string& pluginId = "p1") {
  CapabilityClaims c;
  c.pluginId = pluginId;
  c.pkg = std::string(64, 'a');
  c.scopes = std::move(scopes);
  return c;
}

json Channel(const std::string& id, const char* interpolation = "linear") {
  return {{"id", id}, {"interpolation", interpolation}};
}

json StreamDecl(json channels) {
  return {{"streamId", "s"}, {"epoch", 0}, {"clock", "sim"}, {"channels", std::move(channels)}};
}

json TimingDecl() {
  return {{"kind", "timing"}, {"streamId", "t"}, {"provider", "gps"}, {"clock", "utc"}, {"epoch", "2026"}};
}

json With(json base, const json& change) {
  base.update(change);
  return base;
}

json Ops(size_t n) {
  json ops = json::array();
  for (size_t i = 0; i < n; ++i) ops.push_back({{"op", "x"}});
  return ops;
}

// A 4-byte UTF-8 character: 2 UTF-16 units.
std::string Astral(size_t count) {
  std::string s;
  for (size_t i = 0; i < count; ++i) s += "\xF0\x9F\x8F\x81";
  return s;
}

std::string Check(const json& body, const CapabilityClaims& claims = Claims({"rt.publish:p1"})) {
  CheckedBody out;
  return CheckPublishBody(claims, body, out);
}

}  // namespace

TEST(PublisherChecks, BodyCodesInCheckOrder) {
  const json frame = {{"channels", json::array({{{"id", "speed"}, {"values", {1, 2}}}})}};
  const json timing = {{"ops", Ops(1)}};
  struct Case {
    const char* name;
    json body;
    std::string code;
  };
  const std::vector<Case> cases = {
      {"not an object", json::array({1}), kScopeDenied},
      {"no seq", {{"frame", frame}}, kScopeDenied},
      {"seq 0", {{"seq", 0}, {"frame", frame}}, kScopeDenied},
      {"seq -3", {{"seq", -3}, {"frame", frame}}, kScopeDenied},
      {"seq 1.5", {{"seq", 1.5}, {"frame", frame}}, kScopeDenied},
      {"seq as text", {{"seq", "1"}, {"frame", frame}}, kScopeDenied},
      {"seq 1e2", json::parse(R"({"seq":1e2,"frame":{"channels":[]}})"), kScopeDenied},
      // Unsigned above the int64 range: it would wrap to a negative seq if read as int64.
      {"seq 2^63", json::parse(R"({"seq":9223372036854775808,"frame":{"channels":[]}})"), kScopeDenied},
      {"seq 2^64-1", json::parse(R"({"seq":18446744073709551615,"frame":{"channels":[]}})"), kScopeDenied},
      {"seq 2^63-1", json::parse(R"({"seq":9223372036854775807,"frame":{"channels":[]}})"), ""},
      {"frame and timing", {{"seq", 1}, {"frame", frame}, {"timing", timing}}, kScopeDenied},
      {"kind key is a number", {{"seq", 1}, {"frame", 5}}, kScopeDenied},
      {"non-object kind key beside a good one", {{"seq", 1}, {"frame", frame}, {"timing", 3}}, ""},
      {"no kind at all", {{"seq", 1}}, kScopeDenied},
      {"frame without channels", {{"seq", 1}, {"frame", json::object()}}, kFrameInvalid},
      {"frame channel without id", {{"seq", 1}, {"frame", {{"channels", {{{"values", {1}}}}}}}}, kFrameInvalid},
      {"frame channel with empty id", {{"seq", 1}, {"frame", {{"channels", {{{"id", ""}}}}}}}, kFrameInvalid},
      {"frame channel not an object", {{"seq", 1}, {"frame", {{"channels", {7}}}}}, kFrameInvalid},
      {"good frame", {{"seq", 1}, {"frame", frame}}, ""},
      {"timing 10000 ops", {{"seq", 1}, {"timing", {{"ops", Ops(10000)}}}}, ""},
      {"timing 10001 ops", {{"seq", 1}, {"timing", {{"ops", Ops(10001)}}}}, kFrameInvalid},
      {"timing ops not an array", {{"seq", 1}, {"timing", {{"ops", 1}}}}, kFrameInvalid},
      {"timing op without name", {{"seq", 1}, {"timing", {{"ops", {{{"at", 1}}}}}}}, kFrameInvalid},
      {"timing op empty name", {{"seq", 1}, {"timing", {{"ops", {{{"op", ""}}}}}}}, kFrameInvalid},
      {"stream declaration", {{"seq", 1}, {"declare", StreamDecl({Channel("a")})}}, ""},
      {"declaration, no channel accepted", {{"seq", 1}, {"declare", StreamDecl({Channel("a", "cubic")})}},
       kDeclareInvalid},
      {"declaration, clock other", {{"seq", 1}, {"declare", With(StreamDecl({Channel("a")}), {{"clock", "utc"}})}},
       kDeclareInvalid},
      {"declaration, epoch -1", {{"seq", 1}, {"declare", With(StreamDecl({Channel("a")}), {{"epoch", -1}})}},
       kDeclareInvalid},
      {"declaration, empty streamId",
       {{"seq", 1}, {"declare", With(StreamDecl({Channel("a")}), {{"streamId", ""}})}}, kDeclareInvalid},
      {"timing declaration", {{"seq", 1}, {"declare", TimingDecl()}}, ""},
      {"timing declaration, empty epoch", {{"seq", 1}, {"declare", With(TimingDecl(), {{"epoch", ""}})}},
       kDeclareInvalid},
      {"timing declaration, 129-byte streamId",
       {{"seq", 1}, {"declare", With(TimingDecl(), {{"streamId", std::string(129, 's')}})}}, kDeclareInvalid},
      {"timing declaration, 65-byte provider",
       {{"seq", 1}, {"declare", With(TimingDecl(), {{"provider", std::string(65, 'p')}})}}, kDeclareInvalid},
      {"timing declaration, epoch -1", {{"seq", 1}, {"declare", With(TimingDecl(), {{"epoch", -1}})}},
       kDeclareInvalid},
      {"timing declaration, clock sim", {{"seq", 1}, {"declare", With(TimingDecl(), {{"clock", "sim"}})}},
       kDeclareInvalid},
  };
  for (const Case& c : cases) EXPECT_EQ(Check(c.body), c.code) << c.name;
}

TEST(PublisherChecks, TimingObjectLimitIsOneMebibyteOfCompactJson) {
  // {"ops":[{"op":"x"}],"pad":"..."} written compact: the fixed part plus the pad.
  const std::string fixed = R"({"ops":[{"op":"x"}],"pad":""})";
  json at = {{"ops", Ops(1)}, {"pad", std::string(kMaxTimingBytes - fixed.size(), 'z')}};
  json over = {{"ops", Ops(1)}, {"pad", std::string(kMaxTimingBytes - fixed.size() + 1, 'z')}};
  EXPECT_EQ(Check({{"seq", 1}, {"timing", at}}), "");
  EXPECT_EQ(Check({{"seq", 1}, {"timing", over}}), kFrameInvalid);
}

TEST(PublisherChecks, StreamDeclarationChannels) {
  struct Case {
    const char* name;
    json channel;
    std::string reason;  // "" accepted
    std::string rejectedId;
  };
  const std::vector<Case> cases = {
      {"blanks around a letter kept", Channel(" a\t"), "", ""},
      {"blank and tab", Channel(" \t"), "empty-id", " \t"},
      {"CR LF only", Channel("\r\n"), "empty-id", "\r\n"},
      {"missing id", {{"interpolation", "linear"}}, "empty-id", ""},
      {"numeric id", {{"id", 5}, {"interpolation", "linear"}}, "empty-id", ""},
      {"not an object", json(3), "empty-id", ""},
      {"64 astral characters", Channel(Astral(64)), "", ""},
      {"65 astral characters", Channel(Astral(65)), "id-too-long", Astral(65)},
      {"128 astral characters", Channel(Astral(128)), "id-too-long", Astral(128)},
      {"128 ASCII", Channel(std::string(128, 'c')), "", ""},
      {"129 ASCII", Channel(std::string(129, 'c')), "id-too-long", std::string(129, 'c')},
      {"128 two-byte characters", Channel([] { std::string s; for (int i = 0; i < 128; ++i) s += "\xC3\xA9"; return s; }()), "", ""},
      {"no interpolation", {{"id", "x"}}, "invalid-interpolation", "x"},
      {"numeric interpolation", {{"id", "x"}, {"interpolation", 1}}, "invalid-interpolation", "x"},
      {"unknown interpolation", Channel("x", "cubic"), "invalid-interpolation", "x"},
      {"previous", Channel("x", "previous"), "", ""},
      {"none", Channel("x", "none"), "", ""},
  };
  for (const Case& c : cases) {
    json normalised, rejected;
    // An anchor channel keeps the declaration valid whatever happens to the tested one.
    const bool ok = ValidateStreamDeclaration(StreamDecl({Channel("anchor"), c.channel}), normalised, rejected);
    ASSERT_TRUE(ok) << c.name;
    if (c.reason.empty()) {
      ASSERT_EQ(normalised["channels"].size(), 2u) << c.name;
      EXPECT_EQ(normalised["channels"][1], c.channel) << c.name;
      EXPECT_TRUE(rejected.empty()) << c.name;
    } else {
      EXPECT_EQ(normalised["channels"].size(), 1u) << c.name;
      EXPECT_EQ(rejected, json::array({{{"id", c.rejectedId}, {"reason", c.reason}}})) << c.name;
    }
  }
}

TEST(PublisherChecks, DuplicatesLimitAndKeptKeys) {
  json channels = json::array({Channel("dup"), Channel("dup")});
  for (int i = 0; i < 520; ++i) channels.push_back(Channel("c" + std::to_string(i)));
  json decl = StreamDecl(channels);
  decl["vendor"] = {{"x", 1}};
  decl["channels"][0]["unit"] = "km/h";
  json normalised, rejected;
  ASSERT_TRUE(ValidateStreamDeclaration(decl, normalised, rejected));
  EXPECT_EQ(normalised["vendor"], decl["vendor"]);
  EXPECT_EQ(normalised["channels"].size(), 512u);
  EXPECT_EQ(normalised["channels"][0]["unit"], "km/h");
  ASSERT_EQ(rejected.size(), 1u + 9u);
  EXPECT_EQ(rejected[0], (json{{"id", "dup"}, {"reason", "duplicate-id"}}));
  // "dup" plus c0..c510 fill the 512; c511 (the 513th acceptable) and every later one are refused.
  EXPECT_EQ(rejected[1], (json{{"id", "c511"}, {"reason", "channel-limit"}}));
  EXPECT_EQ(rejected[9], (json{{"id", "c519"}, {"reason", "channel-limit"}}));
  // Only accepted ids count as taken: a refused "a" does not make a later good "a" a duplicate.
  json again, againRejected;
  channels = json::array({Channel("a", "cubic"), Channel("a")});
  ASSERT_TRUE(ValidateStreamDeclaration(StreamDecl(channels), again, againRejected));
  EXPECT_EQ(again["channels"], json::array({Channel("a")}));
}

TEST(PublisherChecks, BadDeclaredHzIsDroppedWithItsLogLine) {
  const std::vector<json> bad = {0, -1, "50", nullptr, std::numeric_limits<double>::infinity(),
                                 std::numeric_limits<double>::quiet_NaN()};
  for (const json& hz : bad) {
    json channel = Channel("rpm");
    channel["declaredHz"] = hz;
    json normalised, rejected;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(ValidateStreamDeclaration(StreamDecl({channel}), normalised, rejected)) << hz;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[realtime] invalid declaredHz hint dropped for channel rpm\n");
    EXPECT_EQ(normalised["channels"][0], Channel("rpm")) << hz;
  }
  json channel = Channel("rpm");
  channel["declaredHz"] = 60.5;
  json normalised, rejected;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(ValidateStreamDeclaration(StreamDecl({channel}), normalised, rejected));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(normalised["channels"][0]["declaredHz"], 60.5);
}

TEST(PublisherChecks, TimingDeclarationKeepsItsFiveKeys) {
  json decl = TimingDecl();
  decl["extra"] = true;
  decl["epoch"] = 12;
  json normalised;
  ASSERT_TRUE(ValidateTimingDeclaration(decl, normalised));
  EXPECT_EQ(normalised,
            (json{{"kind", "timing"}, {"streamId", "t"}, {"provider", "gps"}, {"clock", "utc"}, {"epoch", 12}}));
  decl["epoch"] = std::string(128, 'e');
  EXPECT_TRUE(ValidateTimingDeclaration(decl, normalised));
  decl["epoch"] = std::string(129, 'e');
  EXPECT_FALSE(ValidateTimingDeclaration(decl, normalised));
}

TEST(PublisherChecks, Scopes) {
  const json empty = {{"channels", json::array()}};
  const json speed = {{"channels", {{{"id", "speed"}}}}};
  const json speedAndRpm = {{"channels", {{{"id", "speed"}}, {{"id", "rpm"}}}}};
  struct Case {
    const char* name;
    std::vector<std::string> scopes;
    std::string pluginId;
    json body;
    std::string code;
  };
  const std::vector<Case> cases = {
      {"channel scope, empty frame", {"rt.publish:p1/speed"}, "p1", {{"seq", 1}, {"frame", empty}}, ""},
      {"channel scope, its channel", {"rt.publish:p1/speed"}, "p1", {{"seq", 1}, {"frame", speed}}, ""},
      {"channel scope, another too", {"rt.publish:p1/speed"}, "p1", {{"seq", 1}, {"frame", speedAndRpm}},
       kScopeDenied},
      {"channel scope, timing", {"rt.publish:p1/speed"}, "p1", {{"seq", 1}, {"timing", {{"ops", Ops(1)}}}},
       kScopeDenied},
      {"channel scope, timing declaration", {"rt.publish:p1/speed"}, "p1", {{"seq", 1}, {"declare", TimingDecl()}},
       kScopeDenied},
      {"channel scope, declaration of it", {"rt.publish:p1/speed"}, "p1",
       {{"seq", 1}, {"declare", StreamDecl({Channel("speed")})}}, ""},
      // Only accepted channels need a scope: the rejected "rpm" does not.
      {"channel scope, declaration with a rejected other", {"rt.publish:p1/speed"}, "p1",
       {{"seq", 1}, {"declare", StreamDecl({Channel("speed"), Channel("rpm", "cubic")})}}, ""},
      {"channel scope, declaration with an accepted other", {"rt.publish:p1/speed"}, "p1",
       {{"seq", 1}, {"declare", StreamDecl({Channel("speed"), Channel("rpm")})}}, kScopeDenied},
      {"nothing after the slash", {"rt.publish:p1/"}, "p1", {{"seq", 1}, {"frame", empty}}, kScopeDenied},
      {"whole scope of p10 for p1", {"rt.publish:p10"}, "p1", {{"seq", 1}, {"frame", speed}}, kScopeDenied},
      {"channel scope of p10 for p1", {"rt.publish:p10/speed"}, "p1", {{"seq", 1}, {"frame", speed}}, kScopeDenied},
      {"whole scope of p1 for p10", {"rt.publish:p1"}, "p10", {{"seq", 1}, {"frame", speed}}, kScopeDenied},
      {"whole scope", {"rt.publish:p1"}, "p1", {{"seq", 1}, {"frame", speedAndRpm}}, ""},
      {"no scope", {}, "p1", {{"seq", 1}, {"frame", empty}}, kScopeDenied},
      {"other capability's scope", {"decode.job:p1"}, "p1", {{"seq", 1}, {"frame", empty}}, kScopeDenied},
  };
  for (const Case& c : cases) EXPECT_EQ(Check(c.body, Claims(c.scopes, c.pluginId)), c.code) << c.name;
}

TEST(PublisherChecks, CheckedBodyCarriesSeqAndNormalisedItem) {
  CheckedBody out;
  const json body = {{"seq", 42},
                     {"extra", 1},
                     {"declare", StreamDecl({Channel("a"), Channel("a")})}};
  ASSERT_EQ(CheckPublishBody(Claims({"rt.publish:p1"}), body, out), "");
  EXPECT_EQ(out.kind, BodyKind::StreamDeclaration);
  EXPECT_EQ(out.seq, 42);
  EXPECT_EQ(out.item["channels"], json::array({Channel("a")}));
  EXPECT_EQ(out.rejectedChannels, json::array({{{"id", "a"}, {"reason", "duplicate-id"}}}));
}
