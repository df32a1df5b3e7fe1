#pragma once
// A dispatcher with the host's window side over a fake outlet that keeps every text it is given, with a fresh token registry.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/token_test_support.h"
#include "app/host_window_side.h"
#include "app/window_procs.h"
#include "bridge/rpc_dispatch.h"
#include "platform/ui.h"

class CapturingOutlet {
 public:
  RpcOutletPtr Make() {
    return std::make_shared<RpcOutlet>(RpcOutlet::Target{
        [this](const std::string& text) {
          {
            std::lock_guard<std::mutex> lock(mutex_);
            texts_.push_back(text);
          }
          cv_.notify_all();
          return true;
        },
        [this](const uint8_t* bytes, size_t length) {
          std::lock_guard<std::mutex> lock(mutex_);
          texts_.push_back("<binary " + std::string(reinterpret_cast<const char*>(bytes), length) + ">");
          return true;
        },
        [] { return uint64_t{1}; }});
  }
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    out.swap(texts_);
    return out;
  }
  // Waits (bounded) until at least count texts arrived; returns them and clears.
  std::vector<std::string> WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::seconds(10), [&] { return texts_.size() >= count; });
    std::vector<std::string> out;
    out.swap(texts_);
    return out;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> texts_;
};

class RpcTest : public TokenTest {
 protected:
  void SetUp() override {
    TokenTest::SetUp();
    platform::ui::ResetForTesting();
    mainWindow = platform::ui::CreateWindow(kMainWindowClass, kMainWindowTitle, 800, 600, MainWndProc);
    CurrentMainWindowHooks().confirmDeveloperMode =
        TakeDeveloperModeRequests([this](std::unique_ptr<DeveloperModeRequest> request) {
          consentIds.push_back(request->id);
        });
    Build({});
  }
  void TearDown() override {
    // As at shutdown: workers still running drop their replies from here on.
    if (outletPtr) outletPtr->Detach();
    dispatch.reset();
    RunPosted();
    CurrentMainWindowHooks().confirmDeveloperMode = nullptr;
    platform::ui::ResetForTesting();
  }
  // Runs what was posted to the UI thread so far, on this thread.
  void RunPosted() {
    platform::ui::PostQuitMessage(0);
    platform::ui::RunMessageLoop();
    platform::ui::ResetForTesting();
  }
  void Build(RpcDispatch::Options options) {
    options.registry = registry.get();
    options.wallClock = [this] { return wallMs.load(); };
    if (!options.openExternal) {
      options.openExternal = [log = openLog](const std::string& url) {
        std::lock_guard<std::mutex> lock(log->mutex);
        log->urls.push_back(url);
        return log->result;
      };
    }
    if (!options.revealInFolder) options.revealInFolder = [](const std::string&) { return false; };
    outletPtr = outlet.Make();
    dispatch = std::make_unique<RpcDispatch>(outletPtr, std::make_shared<HostWindowSide>(mainWindow), std::move(options));
  }
  // One request whose answer is sent before HandleMessage returns.
  std::string Inline(const std::string& text) {
    dispatch->HandleMessage(text);
    std::vector<std::string> got = outlet.Take();
    if (got.size() != 1) return "<" + std::to_string(got.size()) + " replies>";
    return got[0];
  }
  // One request answered by a worker.
  std::string Worker(const std::string& text) {
    dispatch->HandleMessage(text);
    std::vector<std::string> got = outlet.WaitFor(1);
    if (got.size() != 1) return "<" + std::to_string(got.size()) + " replies>";
    return got[0];
  }

  CapturingOutlet outlet;
  RpcOutletPtr outletPtr;
  platform::ui::HWND mainWindow = 0;
  std::unique_ptr<RpcDispatch> dispatch;
  struct OpenLog {
    std::mutex mutex;
    std::vector<std::string> urls;
    bool result = true;
  };
  std::shared_ptr<OpenLog> openLog = std::make_shared<OpenLog>();
  std::vector<nlohmann::json> consentIds;
};
