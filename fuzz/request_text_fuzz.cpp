// The dispatcher's request parse, which takes long plain strings whole, against the JSON parser
// it stands in for. A fuzzer rarely writes a 4 KiB string by itself, so each '~' of the input
// stands for 4100 bytes of 'a': short inputs reach the long-string path, and its edges (a
// string that ends in an escape, a control byte or a quote right after the run) are a byte away.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "bridge/rpc_dispatch.h"

namespace {

using nlohmann::json;

constexpr size_t kMaxNesting = 256;
constexpr size_t kRun = 4100;
constexpr size_t kMaxRuns = 64;  // bounds the text at about 256 KiB

// What a parse gave: the value's dump, or the kind of refusal and its byte.
std::string Outcome(const std::string& text, const RequestTextScan* scan, bool inPlace) {
  try {
    if (!scan) return json::parse(text).dump();
    if (!inPlace) return ParseRequestText(text, *scan).dump();
    std::string scratch = text;
    std::string* taken = nullptr;
    const json value = ParseRequestTextInPlace(scratch, *scan, &taken);
    std::string dump = value.dump();
    if (taken) scratch = std::move(*taken);  // the buffer goes back, as the dispatcher does
    return dump;
  } catch (const json::parse_error& e) {
    return "parse_error " + std::to_string(e.byte);
  } catch (const json::exception& e) {
    return "exception " + std::to_string(e.id);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text;
  size_t runs = 0;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '~' && runs < kMaxRuns) {
      text.append(kRun, 'a');
      ++runs;
    } else {
      text.push_back(static_cast<char>(data[i]));
    }
  }
  const RequestTextScan scan = ScanRequestText(text, kMaxNesting);
  if (scan.deepAt) return 0;
  const std::string want = Outcome(text, nullptr, false);
  if (Outcome(text, &scan, false) != want || Outcome(text, &scan, true) != want) std::abort();
  return 0;
}
