// The remote listener over a fake realtime source, for tests that drive it with an independent
// viewer over loopback. Its clock is the system's plus an offset the test moves, and its address
// list is the loopback address, so a viewer on 127.0.0.1 passes the Host check. Prints
// "port <n>" once listening, then answers each command on standard input with one line:
//   revocations <list JSON>   -> "revocations <code>"
//   publish <message JSON>    -> "published"        (as the hub hands a verified message over)
//   end <plugin id>           -> "ended"
//   advance <ms>              -> "advanced"         (both clocks)
//   viewers                   -> "viewers <count>"
//   restart                   -> "port <n>"
//   share <payload JSON>      -> "share <result JSON>"
//   revoke <payload JSON>     -> "revoke <result JSON>"
//   kick <viewer id>          -> "kicked"
//   quit
#include <atomic>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "bridge/tokens/capability_token_registry.h"
#include "remote/remote_control.h"
#include "remote/remote_listener.h"

namespace {

FILE* g_replies = stdout;

void Print(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), g_replies);
  std::fputc('\n', g_replies);
  std::fflush(g_replies);
}

std::atomic<int64_t> g_offsetMs{0};

}  // namespace

int main() {
  // The host's log writes to standard output: it goes to standard error, the replies keep stdout.
  std::fflush(stdout);
  g_replies = fdopen(dup(1), "w");
  dup2(2, 1);
  CapabilityTokenRegistry& registry = CapabilityTokenRegistry::Instance();
  registry.SetInstallation("0123456789abcdef0123456789abcdef", "fedcba9876543210fedcba9876543210");
  const remote::Clock system = remote::Clock::System();
  remote::Clock clock{[system] { return system.wallMs() + g_offsetMs.load(); },
                      [system] { return system.steadyMs() + g_offsetMs.load(); }};
  remote::State state(clock, [] { return std::vector<remote::LanAddress>{{"127.0.0.1", "lan"}}; }, &registry);
  state.port = 0;
  auto start = [&] {
    if (!remote::StartListener(state).empty()) return false;
    std::lock_guard<std::mutex> lock(state.mutex);
    Print("port " + std::to_string(state.boundPort));
    return true;
  };
  if (!start()) {
    Print("start failed");
    return 1;
  }
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string command, rest;
    in >> command;
    std::getline(in >> std::ws, rest);
    if (command == "revocations") {
      Print("revocations " + registry.ApplyRevocations(rest).code);
    } else if (command == "publish") {
      remote::FanOutVerified(state, nlohmann::json::parse(rest, nullptr, false));
      Print("published");
    } else if (command == "end") {
      remote::FanOutSourceEnded(state, rest);
      Print("ended");
    } else if (command == "advance") {
      g_offsetMs += std::stoll(rest);
      Print("advanced");
    } else if (command == "viewers") {
      std::lock_guard<std::mutex> lock(state.mutex);
      Print("viewers " + std::to_string(state.viewers.size()));
    } else if (command == "restart") {
      if (!start()) Print("start failed");
    } else if (command == "share") {
      Print("share " + remote::HandleShareSources(state, nlohmann::json::parse(rest, nullptr, false)).dump());
    } else if (command == "revoke") {
      Print("revoke " + remote::HandleRevoke(state, nlohmann::json::parse(rest)).dump());
    } else if (command == "kick") {
      remote::HandleKick(state, rest);
      Print("kicked");
    } else if (command == "quit") {
      break;
    }
  }
  remote::StopListener(state);
  return 0;
}
