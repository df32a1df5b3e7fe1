// The bridge listener with plugin sessions over the process-wide token registry, for tests that
// drive plugin connections over loopback. Prints "port <n>" once listening, then answers each
// command on standard input with one line:
//   revocations <list JSON>                -> "revocations <code>"
//   arm <pluginId> <pkg> <token>           -> "arm <code>"
//   deliver <pluginId> <pkg> <token>       -> "deliver <0|1> <code>"
//   kick <pluginId>                        -> "kicked"
//   sessions                               -> "sessions <count>"
//   quit
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "bridge/plugin_sessions.h"
#include "bridge/ws_server.h"

namespace {

void Print(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

int64_t Now() { return CapabilityTokenRegistry::Instance().ServerNowSeconds(SystemWallClockMs()); }

}  // namespace

int main() {
  CapabilityTokenRegistry& registry = CapabilityTokenRegistry::Instance();
  registry.SetInstallation("0123456789abcdef0123456789abcdef", "fedcba9876543210fedcba9876543210");
  auto sessions = std::make_shared<PluginSessions>(registry);
  auto server = WsServer::Create();
  server->SetPluginConnectionFactory(sessions->Factory());
  if (!server->Start("unused-ui-token")) {
    Print("start failed");
    return 1;
  }
  registry.SetRpcPort(server->port());
  Print("port " + std::to_string(server->port()));

  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    if (command == "revocations") {
      std::string list;
      std::getline(in >> std::ws, list);
      Print("revocations " + registry.ApplyRevocations(list).code);
    } else if (command == "arm") {
      std::string pluginId, pkg, token;
      in >> pluginId >> pkg >> token;
      Print("arm " + registry.ArmPluginToken(pluginId, pkg, token, Now()));
    } else if (command == "deliver") {
      std::string pluginId, pkg, token;
      in >> pluginId >> pkg >> token;
      PluginTokenDelivery d = sessions->DeliverPluginToken(token, Now(), pluginId, pkg);
      Print("deliver " + std::string(d.delivered ? "1 " : "0 ") + d.code);
    } else if (command == "kick") {
      std::string pluginId;
      in >> pluginId;
      sessions->KickPluginSessions(pluginId);
      Print("kicked");
    } else if (command == "sessions") {
      Print("sessions " + std::to_string(sessions->SessionCount()));
    } else if (command == "quit") {
      break;
    }
  }
  server->Stop();
  return 0;
}
