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
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

extern char** environ;

int main() {
  const char* text = std::getenv("QVN_PLUGIN_SETTINGS");
  nlohmann::json settings = nlohmann::json::parse(text ? text : "{}", nullptr, false);
  if (!settings.is_object()) settings = nlohmann::json::object();

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
  if (int bytes = settings.value("stderr", 0); bytes > 0) {
    std::string chunk(static_cast<size_t>(bytes), 'e');
    (void)!write(2, chunk.data(), chunk.size());
  }
  const int publish = settings.value("publish", 0);
  for (int seq = 1; seq <= publish; ++seq) {
    nlohmann::json line = {{"type", "rt.publish"},
                           {"payload", {{"seq", seq}, {"frame", {{"channels", {{{"id", "speed"}, {"values", {seq}}}}}}}}}};
    std::cout << line.dump() << "\n" << std::flush;
  }
  if (!settings.value("ignoreStdin", false) && publish > 0) {
    std::ofstream replies;
    if (settings.contains("replies")) replies.open(settings["replies"].get<std::string>(), std::ios::app);
    std::string reply;
    for (int i = 0; i < publish && std::getline(std::cin, reply); ++i) {
      if (replies) replies << reply << "\n" << std::flush;
    }
  }
  if (settings.value("hang", false)) {
    for (;;) pause();
  }
  if (settings.value("crash", false)) return 1;
  return settings.value("exit", 0);
}
