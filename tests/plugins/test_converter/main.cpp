// A native converter for the tests: reads its input on stdin, writes a pack to stdout and
// progress lines on stderr. Its settings (QVN_PLUGIN_SETTINGS) choose the pack and the faults:
//   "size": N           pack bytes (default 128): "QVNPAK01", the input's byte count, then zeros;
//                       stdout is a file, so large packs are made sparse by seeking
//   "progress": [...]   lines written to stderr as they are (objects are dumped as JSON)
//   "gapMs": N          pause between progress lines
//   "hang": true        after its work, sleep until killed
//   "exit": code        exit with this code after its work
//   "signal": N         end by signal N after its work
//   "garbage": true     write a pack that does not start with "QVNPAK01"
//   "flood": N          write N bytes of non-JSON lines to stderr
//   "badLine": true     end stderr with a line that is neither JSON nor UTF-8
//   "args": path        write its arguments to this file, one a line
//   "echo": true        the pack is "QVNPAK01" followed by the input bytes (at least 96 bytes), so
//                       a test can see what reached the converter's stdin
//   "escapee": path     leave a double-forked descendant in a session of its own (test_child_io.h)
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "../test_child_io.h"

// The default pack: its magic (or garbage), the input's byte count, then zeros up to "size".
bool WriteCountPack(const nlohmann::json& settings, uint64_t inputBytes) {
  const uint64_t size = settings.value("size", uint64_t{128});
  std::string head = settings.value("garbage", false) ? "GARBAGE!" : "QVNPAK01";
  head += std::to_string(inputBytes);
  head.resize(std::min<uint64_t>(size, std::max<size_t>(head.size(), 64)), '\0');
  if (head.size() > size) head.resize(size);
  WriteAll(1, head);
  if (size > head.size()) {
    // Sparse: seek to the last byte and write it.
    if (lseek(1, static_cast<off_t>(size - 1), SEEK_SET) < 0) return false;
    WriteAll(1, std::string(1, '\0'));
  }
  return true;
}

int main(int argc, char** argv) {
  const nlohmann::json settings = ChildSettings();
  LeaveEscapee(settings);
  if (settings.contains("args")) {
    std::ofstream out(settings["args"].get<std::string>());
    for (int i = 1; i < argc; ++i) out << argv[i] << "\n";
  }

  const bool echo = settings.value("echo", false);
  if (echo) WriteAll(1, "QVNPAK01");
  uint64_t inputBytes = 0;
  char buffer[65536];
  for (ssize_t n; (n = read(0, buffer, sizeof buffer)) > 0;) {
    inputBytes += static_cast<uint64_t>(n);
    if (echo) WriteAll(1, std::string(buffer, static_cast<size_t>(n)));
  }

  if (int64_t flood = settings.value("flood", 0); flood > 0) {
    std::string line(1023, 'x');
    line += '\n';
    for (int64_t done = 0; done < flood; done += 1024) WriteAll(2, line);
  }
  const int gapMs = settings.value("gapMs", 0);
  for (const auto& line : settings.value("progress", nlohmann::json::array())) {
    WriteAll(2, (line.is_string() ? line.get<std::string>() : line.dump()) + "\n");
    if (gapMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
  }

  if (settings.value("badLine", false)) WriteAll(2, "\xff not json\n");
  if (echo) {
    if (inputBytes + 8 < 96) WriteAll(1, std::string(96 - 8 - inputBytes, '\0'));
  } else if (!WriteCountPack(settings, inputBytes)) {
    return 70;
  }
  if (settings.value("hang", false)) {
    for (;;) pause();
  }
  if (int sig = settings.value("signal", 0); sig > 0) {
    signal(sig, SIG_DFL);
    raise(sig);
  }
  return settings.value("exit", 0);
}
