// A plugin child for the tests. QVN_PLUGIN_SETTINGS (JSON) chooses what it does:
//   "publish": N        write N "rt.publish" frame lines on stdout (seq 1..N), then read the replies
//   "replies": path     append every reply line read from stdin to this file
//   "env": path         write the environment it was given to this file, one entry per line
//   "stderr": N         write N bytes to stderr
//   "crash": true       exit with code 1 after its work; "exit": code exits with that code instead
//   "ignoreStdin": true never read stdin
//   "hang": true        after its work, sleep until killed
//   "grandchild": path  fork a child that writes its pid to this file and sleeps until killed
//   "marker": path      append one line to this file when it starts (counts runs)
//   "escapee": path     leave a double-forked descendant in a session of its own (test_child_io.h)
// A realtime source for the remote tests (with "publish"):
//   "declare": true     seq 1 is a stream declaration of the channel "speed"; frames follow
//   "hz": N             N publishes a second (replies are read as they come)
//   "big": [seq, bytes] the frame of that seq carries that many more bytes
//   "pause": [seq, ms]  after that seq, wait that long
//   "crashRuns": N      with "marker": the first N runs exit with code 1 after their work
//   "holdFile": path    with "crashRuns": each later run waits until this file exists before it
//                       publishes (a test can make the restarted run publish while it is away)
//   "crashHold": path   with "crashRuns": a crashing run waits until this file exists before it exits
//   "restartPublish": N with "crashRuns": each later run publishes N frames instead of "publish"
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "../test_child_io.h"

extern char** environ;

// The runs counted in the "marker" file, this one included.
static int RunsSoFar(const nlohmann::json& settings) {
  std::ifstream runs(settings["marker"].get<std::string>());
  int count = 0;
  for (std::string line; std::getline(runs, line);) ++count;
  return count;
}

int main() {
  const nlohmann::json settings = ChildSettings();

  if (settings.contains("marker")) std::ofstream(settings["marker"].get<std::string>(), std::ios::app) << "run\n";
  if (settings.contains("env")) {
    std::ofstream out(settings["env"].get<std::string>());
    for (char** e = environ; *e; ++e) out << *e << "\n";
  }
  if (settings.contains("grandchild")) {
    const std::string path = settings["grandchild"].get<std::string>();
    if (fork() == 0) {
      std::ofstream(path) << getpid() << "\n";
      for (;;) pause();
    }
  }
  LeaveEscapee(settings);
  if (int bytes = settings.value("stderr", 0); bytes > 0) {
    std::string chunk(static_cast<size_t>(bytes), 'e');
    (void)!write(2, chunk.data(), chunk.size());
  }
  if (settings.contains("holdFile") && settings.contains("crashRuns") && settings.contains("marker")) {
    if (RunsSoFar(settings) > settings["crashRuns"].get<int>()) {
      while (!std::ifstream(settings["holdFile"].get<std::string>())) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
  }
  const bool laterRun = settings.contains("crashRuns") && settings.contains("marker") &&
                        RunsSoFar(settings) > settings["crashRuns"].get<int>();
  const int publish = laterRun ? settings.value("restartPublish", settings.value("publish", 0))
                               : settings.value("publish", 0);
  const int hz = settings.value("hz", 0);
  const bool declare = settings.value("declare", false);
  const nlohmann::json big = settings.value("big", nlohmann::json::array());
  const nlohmann::json pauseAfter = settings.value("pause", nlohmann::json::array());
  if (hz > 0 && !settings.value("ignoreStdin", false)) {
    // Paced publishing runs for a while: the replies are read as they come, so none waits.
    std::thread([] {
      std::string reply;
      while (std::getline(std::cin, reply)) {
      }
    }).detach();
  }
  auto next = std::chrono::steady_clock::now();
  for (int seq = 1; seq <= publish; ++seq) {
    nlohmann::json payload = {{"seq", seq}};
    if (declare && seq == 1) {
      payload["declare"] = {{"streamId", "test"}, {"epoch", 0}, {"clock", "wall"},
                            {"channels", {{{"id", "speed"}, {"interpolation", "linear"}}}}};
    } else {
      nlohmann::json channel = {{"id", "speed"}, {"values", {seq}}};
      if (big.size() == 2 && big[0] == seq) channel["pad"] = std::string(big[1].get<size_t>(), 'p');
      payload["frame"] = {{"channels", {channel}}};
    }
    nlohmann::json line = {{"type", "rt.publish"}, {"payload", payload}};
    std::cout << line.dump() << "\n" << std::flush;
    if (pauseAfter.size() == 2 && pauseAfter[0] == seq) {
      std::this_thread::sleep_for(std::chrono::milliseconds(pauseAfter[1].get<int>()));
      next = std::chrono::steady_clock::now();
    }
    if (hz > 0) {
      next += std::chrono::microseconds(1000000 / hz);
      std::this_thread::sleep_until(next);
    }
  }
  if (hz == 0 && !settings.value("ignoreStdin", false) && publish > 0) {
    std::ofstream replies;
    if (settings.contains("replies")) replies.open(settings["replies"].get<std::string>(), std::ios::app);
    std::string reply;
    for (int i = 0; i < publish && std::getline(std::cin, reply); ++i) {
      if (replies) replies << reply << "\n" << std::flush;
    }
  }
  // After the replies were read: every frame of the run has been taken before it crashes.
  if (settings.contains("crashRuns") && settings.contains("marker") && !laterRun) {
    if (settings.contains("crashHold")) {
      while (!std::ifstream(settings["crashHold"].get<std::string>())) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    return 1;
  }
  if (settings.value("hang", false)) {
    for (;;) pause();
  }
  if (settings.value("crash", false)) return 1;
  return settings.value("exit", 0);
}
