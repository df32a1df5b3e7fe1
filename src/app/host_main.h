#pragma once
// The process's start-up, message loop and shutdown.
#include <functional>
#include <string>

struct HostOptions {
  bool setupLogFile = true;  // tests keep their own standard output
  // Called with the name of each start-up and shutdown step as it begins (tests).
  std::function<void(const std::string& step)> onStep;
};

// Runs the host from start-up to the end of shutdown; returns the exit code.
int RunHost(const HostOptions& options = {});

// The first navigation's callback: starts the update check once at a time.
void StartOtaCheck(unsigned long long mainWindow, const std::string& startPageUrl);

// Test seam: the worker StartOtaCheck runs (empty restores the real one). It must call done().
using OtaCheckWorkerFn = std::function<void(unsigned long long mainWindow, std::function<void()> done)>;
void SetOtaCheckWorkerForTesting(OtaCheckWorkerFn worker);
