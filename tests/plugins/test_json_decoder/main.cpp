// A JSON decoder for the tests: reads one request line and answers a summary of it. Its
// settings (QVN_PLUGIN_SETTINGS) choose how it misbehaves:
//   "preamble": N       write N bytes of spaces to stdout before reading stdin
//   "stderr": N         write N bytes to stderr before answering
//   "hang": true        after answering, sleep until killed
//   "silent": true      answer nothing (and exit)
//   "garbage": true     answer a line that is not JSON
//   "escapee": path     leave a double-forked descendant in a session of its own (test_child_io.h)
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

#include "../test_child_io.h"

int main() {
  const nlohmann::json settings = ChildSettings();
  LeaveEscapee(settings);

  if (int bytes = settings.value("preamble", 0); bytes > 0) WriteAll(1, std::string(static_cast<size_t>(bytes), ' '));
  if (int bytes = settings.value("stderr", 0); bytes > 0) WriteAll(2, std::string(static_cast<size_t>(bytes), 'e'));
  std::string line;
  std::getline(std::cin, line);
  const nlohmann::json request = nlohmann::json::parse(line, nullptr, false);
  if (settings.value("silent", false)) {
    // no answer
  } else if (settings.value("garbage", false)) {
    WriteAll(1, "not json\n");
  } else {
    nlohmann::json answer = {{"op", request.value("op", "")},
                             {"fileName", request.value("fileName", "")},
                             {"requestBytes", line.size()},
                             {"hasPath", request.contains("path")},
                             {"hasB64", request.contains("b64")},
                             {"library", std::getenv("QVN_LOCAL_LIBRARY_ROOT") ? std::getenv("QVN_LOCAL_LIBRARY_ROOT") : ""}};
    WriteAll(1, answer.dump() + "\n");
  }
  if (settings.value("hang", false)) {
    for (;;) pause();
  }
  return 0;
}
