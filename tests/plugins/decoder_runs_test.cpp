#include "plugins/decoder_runs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cmath>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <vector>

#include "decode_fixture.h"

using nlohmann::json;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// Feeds lines to a fresh state at the given offsets (ms) and returns the forwarded ratios.
std::vector<double> Forwarded(const std::vector<std::pair<int, std::string>>& lines) {
  plugins::ConverterProgressState state;
  const Clock::time_point start = Clock::now();
  state.lastForward = start;
  std::vector<double> out;
  // Rounded to what the cases write, so 0.5 * 0.09 + 0.9 compares as 0.945.
  const plugins::DecodeProgressFn sink = [&](const json& p) {
    out.push_back(std::round(p["ratio"].get<double>() * 1e6) / 1e6);
  };
  for (const auto& [ms, line] : lines) {
    const std::string bytes = line + "\n";
    plugins::AppendConverterStderr(state, bytes.data(), bytes.size(), sink, start + std::chrono::milliseconds(ms));
  }
  return out;
}

TEST(ConverterProgress, RatiosAreScaledNeverFallAndSmallRisesAreDropped) {
  struct Case {
    const char* name;
    std::vector<std::pair<int, std::string>> lines;
    std::vector<double> expected;
  } cases[] = {
      {"write phase is the last tenth", {{200, R"({"phase":"write","ratio":0.5})"}}, {0.945}},
      {"overall write passes", {{200, R"({"phase":"write","ratio":0.5,"ratioScope":"overall"})"}}, {0.5}},
      {"small rise within 100 ms dropped",
       {{200, R"({"phase":"decode","ratio":0.2})"}, {250, R"({"phase":"decode","ratio":0.205})"}},
       {0.2}},
      {"rise of 0.015 forwarded",
       {{200, R"({"phase":"decode","ratio":0.2})"}, {250, R"({"phase":"decode","ratio":0.215})"}},
       {0.2, 0.215}},
      {"100 ms of silence forwards", {{200, R"({"ratio":0.2})"}, {301, R"({"ratio":0.201})"}}, {0.2, 0.201}},
      {"never falls", {{200, R"({"ratio":0.6})"}, {400, R"({"ratio":0.4})"}}, {0.6, 0.6}},
      {"clamped to 1", {{200, R"({"ratio":1.7})"}}, {1.0}},
      {"phase change forwards", {{200, R"({"ratio":0.3})"}, {210, R"({"phase":"x","ratio":0.3})"}}, {0.3, 0.3}},
      {"wrong types and non-JSON ignored",
       {{200, R"({"ratio":"0.5"})"}, {300, "not json"}, {400, R"([0.5])"}, {500, R"({"ratio":null})"},
        {600, R"({"ratio":0.1,"phase":7,"ratioScope":[1]})"}},
       {0.1}},
  };
  for (const Case& c : cases) EXPECT_EQ(Forwarded(c.lines), c.expected) << c.name;
}

TEST(ConverterProgress, BufferIsBoundedAndKeepsTheLastLine) {
  plugins::ConverterProgressState state;
  const std::string flood(200000, 'x');
  plugins::AppendConverterStderr(state, flood.data(), flood.size(), nullptr, Clock::now());
  EXPECT_EQ(state.unread.size(), plugins::kConverterStderrBuffer);
  const std::string tail = "\nlast words\xff\npartial";
  plugins::AppendConverterStderr(state, tail.data(), tail.size(), nullptr, Clock::now());
  EXPECT_EQ(state.lastStderrLine, "last words\xff");
  EXPECT_EQ(state.unread, "partial");
}

class DecoderRunTest : public DecodeFixture {
 protected:
  std::string Convert(const json& settings, const std::string& pack, std::function<bool()> cancel = nullptr,
                      std::vector<json>* progress = nullptr, plugins::DecoderRunLimits limits = {}) {
    const std::string input = scratch / "input.bin";
    std::ofstream(input) << "12345";
    return plugins::RunPackConverter(
        Context(plugins::kBmsConverterId, settings), input, pack, "lap.bin", cancel,
        [progress](const json& p) {
          if (progress) progress->push_back(p);
        },
        limits);
  }
};

TEST_F(DecoderRunTest, JsonDecoderAnswersAndMisbehavioursEnd) {
  struct Case {
    const char* name;
    json settings;
    std::string error;
    bool answer;
  } cases[] = {
      {"answers", json::object(), "", true},
      {"answers and keeps running", {{"hang", true}}, "", true},
      {"writes 1 MiB before reading", {{"preamble", 1 << 20}}, "", true},
      {"floods stderr before answering", {{"stderr", 4 << 20}}, "", true},
      {"silent", {{"silent", true}}, "decoder returned no JSON", false},
  };
  for (const Case& c : cases) {
    std::string out;
    const std::string request = json{{"op", "decode"}, {"fileName", "f"}, {"b64", std::string(300000, 'A')}}.dump();
    EXPECT_EQ(plugins::RunJsonDecoder(Context(kJsonDecoder, c.settings), request, &out), c.error) << c.name;
    if (!c.answer) continue;
    ASSERT_FALSE(out.empty()) << c.name;
    EXPECT_EQ(out.back(), '\n') << c.name;
    const json answer = json::parse(out);
    EXPECT_EQ(answer["requestBytes"], request.size()) << c.name;
    EXPECT_EQ(answer["hasB64"], true) << c.name;
  }
}

TEST_F(DecoderRunTest, JsonDecoderTimesOutAndRefusesWhatTheSignatureDoesNotAllow) {
  plugins::DecoderRunLimits limits;
  limits.jsonTimeout = 300ms;
  std::string out;
  EXPECT_EQ(plugins::RunJsonDecoder(Context(kJsonDecoder, {{"silent", true}, {"hang", true}}), "{}", &out, limits),
            "decoder returned no JSON");
  PluginLaunchContext wrong = Context(kJsonDecoder);
  wrong.launch.executable = "bin/other";
  EXPECT_NE(plugins::RunJsonDecoder(wrong, "{}", &out), "");
  wrong = Context(kJsonDecoder);
  wrong.packageSha256 = std::string(64, 'c');
  EXPECT_EQ(plugins::RunJsonDecoder(wrong, "{}", &out), "package missing");
}

TEST_F(DecoderRunTest, ConverterOutcomes) {
  struct Case {
    const char* name;
    json settings;
    std::string error;
  } cases[] = {
      {"pack", {{"size", 96}}, ""},
      {"empty pack", {{"size", 0}}, "converter returned no QVNPAK01 pack"},
      {"garbage pack", {{"garbage", true}}, "converter returned no QVNPAK01 pack"},
      {"exit with a last line", {{"exit", 3}, {"badLine", true}}, "Native converter exited 3: \xef\xbf\xbd not json"},
      {"exit without stderr", {{"exit", 4}}, "Native converter exited 4"},
      {"killed by a signal", {{"signal", 9}}, "Native converter exited 137"},
      {"terminated by a signal", {{"signal", 15}}, "Native converter exited 143"},
      {"stderr flood", {{"flood", 8 << 20}}, ""},
      {"exactly 2 GiB", {{"size", 2147483648ull}, {"hang", true}}, "decoder timed out"},
      {"2 GiB and a byte", {{"size", 2147483649ull}, {"hang", true}}, "decoded pack exceeds 2 GiB limit"},
  };
  // Only a converter that hangs gets the short time-out: on a loaded machine (sanitizers) one
  // that floods stderr can take longer than that to end by itself.
  plugins::DecoderRunLimits hanging;
  hanging.converterTimeout = 1500ms;
  for (const Case& c : cases) {
    const std::string pack = scratch / "pack.bin";
    const bool hangs = c.settings.value("hang", false);
    EXPECT_EQ(Convert(c.settings, pack, nullptr, nullptr, hangs ? hanging : plugins::DecoderRunLimits{}), c.error)
        << c.name;
  }
  // The exact limit is not refused while the converter runs, nor when it ends.
  EXPECT_EQ(Convert({{"size", 2147483648ull}}, scratch / "pack.bin"), "");
  EXPECT_EQ(fs::file_size(scratch / "pack.bin"), 2147483648ull);
}

TEST_F(DecoderRunTest, ConverterGetsItsArgumentsProgressAndCancel) {
  const std::string args = scratch / "args";
  std::vector<json> progress;
  const json lines = json::array({json{{"phase", "decode"}, {"ratio", 0.25}, {"lap", 1}},
                                  json{{"phase", "write"}, {"ratio", 1.0}}});
  ASSERT_EQ(Convert({{"args", args}, {"progress", lines}}, scratch / "pack.bin", nullptr, &progress), "");
  std::ifstream in(args);
  std::vector<std::string> seen;
  for (std::string line; std::getline(in, line);) seen.push_back(line);
  EXPECT_EQ(seen, (std::vector<std::string>{"--stdin", "--stdout", "--format", "pack", "--progress-jsonl", "--name",
                                            "lap.bin"}));
  ASSERT_EQ(progress.size(), 2u);
  EXPECT_EQ(progress[0], (json{{"phase", "decode"}, {"ratio", 0.25}, {"lap", 1}}));
  EXPECT_DOUBLE_EQ(progress[1]["ratio"].get<double>(), 0.99);
  std::string header;
  std::ifstream(scratch / "pack.bin") >> header;
  EXPECT_EQ(header.substr(0, 9), "QVNPAK015");  // the converter saw the 5 input bytes

  std::atomic<int> asks{0};
  EXPECT_EQ(Convert({{"hang", true}}, scratch / "pack.bin", [&] { return ++asks > 3; }), "decoder cancelled");

  // Not one of the converter ids, or a file it cannot read: refused before any child.
  EXPECT_EQ(plugins::RunPackConverter(Context(kJsonDecoder), scratch / "input.bin", scratch / "p", "n", nullptr,
                                      nullptr),
            "pack launch rejected");
  EXPECT_EQ(plugins::RunPackConverter(Context(plugins::kBmsConverterId), scratch / "missing", scratch / "p", "n",
                                      nullptr, nullptr),
            "pack file IO failed");
}

}  // namespace
