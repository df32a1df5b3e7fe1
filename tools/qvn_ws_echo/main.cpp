// Runs a WsServer with the given token and handlers that echo, printing one line per event so a
// test can follow what the server did:
//   port <n> | connected <generation> | closed <generation> | plugin-idle | plugin-non-text |
//   plugin-ended | stopped
// UI texts come back as "echo:<text>", binaries unchanged. A text "sleep:<ms>" (UI or plugin)
// sleeps first; a plugin text "close:<reason>" is answered with a 4401 close. Commands on standard
// input: "stop" (may be repeated), "send <text>" (to the page), "quit".
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "bridge/ws_server.h"

namespace {

std::mutex g_printLock;

void Print(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_printLock);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void SleepIfAsked(const std::string& text) {
  if (text.rfind("sleep:", 0) == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(text.c_str() + 6)));
  }
}

class EchoPlugin : public PluginConnectionHandler {
 public:
  explicit EchoPlugin(WsPeerPtr peer) : peer_(std::move(peer)) {}
  bool OnText(const std::string& text) override {
    SleepIfAsked(text);
    if (text.rfind("close:", 0) == 0) {
      peer_->SendClose(text.substr(6));
      return false;
    }
    return peer_->SendText("echo:" + text);
  }
  void OnNonTextMessage() override { Print("plugin-non-text"); }
  // Checked once a second, as a session's token would be; the echo has no hello of its own.
  bool OnCheckDue() override {
    lastCheck_ = std::chrono::steady_clock::now();
    Print("plugin-idle");
    return true;
  }
  TimePoint NextCheckTime() const override { return lastCheck_ + std::chrono::seconds(1); }
  bool HelloDone() const override { return true; }
  void OnEnded() override {
    if (ended_.exchange(true)) Print("plugin-ended-twice");
    Print("plugin-ended");
  }

 private:
  WsPeerPtr peer_;
  std::atomic<bool> ended_{false};
  TimePoint lastCheck_ = std::chrono::steady_clock::now();
};

}  // namespace

int main(int argc, char** argv) {
  std::string token;
  bool plugins = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-plugins") == 0) {
      plugins = false;
    } else if (std::strcmp(argv[i], "--token") == 0 && i + 1 < argc) {
      token = argv[++i];
    }
  }
  auto server = WsServer::Create();
  if (!server->Start(token)) {
    Print("start failed");
    return 1;
  }
  std::weak_ptr<WsServer> weak = server;
  server->SetOnUiText([weak](const std::string& text) {
    SleepIfAsked(text);
    if (auto s = weak.lock()) s->SendTextToUi("echo:" + text);
  });
  server->SetOnUiBinary([weak](const uint8_t* bytes, size_t length) {
    if (auto s = weak.lock()) s->SendBinaryToUi(bytes, length);
  });
  server->SetOnUiConnected([weak] {
    if (auto s = weak.lock()) Print("connected " + std::to_string(s->generation()));
  });
  server->SetOnUiClosed([weak] {
    if (auto s = weak.lock()) Print("closed " + std::to_string(s->generation()));
  });
  if (plugins) {
    server->SetPluginConnectionFactory(
        [](WsPeerPtr peer) { return std::make_unique<EchoPlugin>(std::move(peer)); });
  }
  Print("port " + std::to_string(server->port()));

  std::string line;
  while (std::getline(std::cin, line)) {
    if (line == "stop") {
      server->Stop();
      Print("stopped");
    } else if (line.rfind("send ", 0) == 0) {
      Print(server->SendTextToUi(line.substr(5)) ? "sent" : "not sent");
    } else if (line == "quit") {
      break;
    }
  }
  server->Stop();
  return 0;
}
