#pragma once
// One running host per data folder, and what a second start does instead of running.
//
// The first start holds an exclusive flock on "instance.lock" in the data folder for its whole
// run (the descriptor is close-on-exec, so no browser, plugin or opener keeps the lock after the
// host), writes its pid there, and listens on "instance.sock" beside it. A second start finds the
// lock held, asks the first over that socket to bring its main window to the front, and ends
// without writing anything.
//
// Threads: Acquire and the destructor run on the main thread, before start-up and after
// shutdown. Listen starts one thread, owned and joined by the SingleInstance, that answers
// second starts; the callback it is given runs on that thread.
// Owns: the lock file's and the socket's descriptors; the socket file is removed while the lock
// is still held, so it never removes a later instance's socket. The lock file itself stays
// (removing a lock file races with the next start opening it).
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/unique_fd.h"

class SingleInstance {
 public:
  enum class Outcome {
    kAcquired,        // this start is the instance; instance is set
    kAlreadyRunning,  // another start holds the folder; message says so
    kFailed,          // the folder cannot be created or written; message names it and why
  };
  struct Result {
    Outcome outcome = Outcome::kFailed;
    std::string message;  // for the user; empty when acquired
    std::unique_ptr<SingleInstance> instance;
  };

  // Creates dataFolder (with its parents) and takes its lock. A second start's request to show
  // the window is sent here too, before kAlreadyRunning is returned.
  static Result Acquire(const std::string& dataFolder);

  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // Answers second starts from now on; onShow runs on the listener thread for each one that
  // asks for the window. False (nothing started) when the socket cannot be made.
  bool Listen(std::function<void()> onShow);

 private:
  SingleInstance(platform::UniqueFd lock, std::string socketPath);
  void Serve();

  platform::UniqueFd lock_;
  std::string socketPath_;
  platform::UniqueFd listener_;
  platform::UniqueFd wakeRead_, wakeWrite_;
  std::function<void()> onShow_;
  std::thread thread_;
};
