// The outgoing viewer client behind the page's remote request rows, as a process of its own, for
// tests that point it at an independent server. Each line on standard input is one page request,
// {"id":..,"type":"remote.connect"|"remote.renew"|"remote.disconnect"|...,"payload":{..}}, handed to
// the same rows the host registers, on this one thread like the page connection's. Every reply and
// every event the rows and the connection threads send is written to standard output as one line.
// End of input stops every connection (as the host does at exit), says {"type":"driver.stopped"}
// and ends the program.
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>

#include "bridge/rpc_routes.h"
#include "remote/out_conn.h"
#include "remote/remote_control.h"

namespace {

FILE* g_out = stdout;
std::mutex g_outMutex;

bool Print(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_outMutex);
  std::fwrite(line.data(), 1, line.size(), g_out);
  std::fputc('\n', g_out);
  std::fflush(g_out);
  return true;
}

}  // namespace

int main() {
  // The log writes to standard output: it goes to standard error, the lines keep stdout.
  std::fflush(stdout);
  g_out = fdopen(dup(1), "w");
  dup2(2, 1);
  remote::State state(remote::Clock::System(), [] { return std::vector<remote::LanAddress>{}; });
  state.eventSink = [](const std::string& text) { Print(text); };
  RpcRouteTable routes;
  remote::RegisterRemoteRows(routes, state);
  RpcOutletPtr outlet =
      std::make_shared<RpcOutlet>(RpcOutlet::Target{Print, nullptr, [] { return uint64_t{1}; }});
  Print(R"({"type":"driver.ready"})");
  std::string line;
  while (std::getline(std::cin, line)) {
    const nlohmann::json request = nlohmann::json::parse(line, nullptr, false);
    if (!request.is_object() || !request.contains("type") || !request["type"].is_string()) continue;
    const nlohmann::json id = request.value("id", nlohmann::json());
    const std::string type = request["type"];
    const nlohmann::json payload = request.value("payload", nlohmann::json::object());
    if (const RpcRouteTable::Row* row = routes.Find(type)) {
      (*row)(RpcRequest{id, type, payload, outlet});
    } else {
      RpcRequest{id, type, payload, outlet}.ReplyNotImplemented();
    }
  }
  remote::CloseAllOutConns(state);
  Print(R"({"type":"driver.stopped"})");
  return 0;
}
