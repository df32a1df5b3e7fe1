// A converter's stderr: random bytes cut into random pieces and fed to one run's progress state,
// with random gaps between them. Whatever the child writes, the buffer stays bounded, the
// forwarded ratio stays within 0..1 and never falls, and the last line is safe to put in a reply.
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz_support.h"
#include "plugins/decoder_runs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::Bytes in(data, size);
  plugins::ConverterProgressState state;
  auto now = std::chrono::steady_clock::time_point() + std::chrono::hours(1);
  state.lastForward = now;
  double last = -1.0;
  const plugins::DecodeProgressFn sink = [&](const nlohmann::json& progress) {
    const double ratio = progress.at("ratio").get<double>();
    if (!(ratio >= 0.0 && ratio <= 1.0) || ratio < last) std::abort();
    last = ratio;
  };
  while (!in.empty()) {
    const size_t piece = in.Byte();
    now += std::chrono::milliseconds(in.Byte());
    const std::string bytes = in.Take(piece);
    plugins::AppendConverterStderr(state, bytes.data(), bytes.size(), sink, now);
    if (state.unread.size() > plugins::kConverterStderrBuffer) std::abort();
  }
  nlohmann::json(plugins::ToValidUtf8(state.lastStderrLine)).dump();
  return 0;
}
