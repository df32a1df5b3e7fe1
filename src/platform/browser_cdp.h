#pragma once
// The DevTools protocol on a pipe: a browser child process started with --remote-debugging-pipe
// reads NUL-separated JSON messages on its fd 3 and writes them on its fd 4. The frame splitter
// belongs to one reader; the connection's threads, ownership and handlers are described at
// CdpConnection below.
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/process.h"
#include "platform/unique_fd.h"

namespace platform {

// Splits the byte stream of the pipe into its NUL-terminated messages.
class CdpFrameSplitter {
 public:
  // Appends bytes and returns every message completed by them, in order. A message that grows
  // past the limit without its NUL is dropped up to its NUL (Overflowed() then reports it once).
  std::vector<std::string> Feed(const char* data, size_t length);
  bool Overflowed();
  static constexpr size_t kMaxMessage = 256u * 1024u * 1024u;

 private:
  std::string partial_;
  bool skipping_ = false;
  bool overflowed_ = false;
};

// One browser process and its pipe. The reader and writer threads never call back into the
// caller except through the two handlers, which run on the reader thread. The connection owns
// the pipe ends, the browser's run (a platform/process job: the browser and everything it
// starts end with the connection or with the host) and both threads; Close (or the
// destructor) joins them and ends the job. The reader thread also keeps the last lines of the
// browser's standard error, which any thread may read.
class CdpConnection {
 public:
  using MessageHandler = std::function<void(nlohmann::json message)>;
  using ExitHandler = std::function<void(int waitStatus)>;

  // Starts argv[0] with the pipe on fds 3 and 4 in its own process group, its standard output
  // discarded and its standard error kept as a tail, with env as its environment (empty: this
  // process's). Returns null with error set when it cannot be started.
  static std::unique_ptr<CdpConnection> Launch(const std::vector<std::string>& argv,
                                               const std::vector<std::string>& env,
                                               MessageHandler onMessage, ExitHandler onExit,
                                               std::string& error);
  ~CdpConnection();
  CdpConnection(const CdpConnection&) = delete;
  CdpConnection& operator=(const CdpConnection&) = delete;

  // Queues one command and returns its id; never blocks. sessionId "" addresses the browser.
  int Send(const std::string& method, const nlohmann::json& params,
           const std::string& sessionId = {});

  // Asks the browser to close, waits a bounded time for it to exit, then ends its job; joins
  // both threads. The handlers are not called after Close returns.
  void Close();

  pid_t Pid() const { return pid_; }
  // The last lines (20 at most, 4 KiB) the browser wrote on its standard error so far; all of
  // them once the exit handler runs. Any thread may read it, also after Close.
  std::shared_ptr<const process::OutputTail> StderrTail() const { return stderrTail_; }

 private:
  CdpConnection() = default;
  void ReaderLoop();
  void WriterLoop();
  void Reap(bool wait);
  bool ReadStderr();  // false at its end
  void DrainStderr();

  std::unique_ptr<process::Child> child_;
  pid_t pid_ = -1;
  UniqueFd toBrowser_;
  UniqueFd fromBrowser_;
  UniqueFd stderr_;  // the reader thread's alone
  std::shared_ptr<process::OutputTail> stderrTail_ = std::make_shared<process::OutputTail>();
  UniqueFd wakeRead_, wakeWrite_;  // wakes the reader when Close stops it early
  std::atomic<int> nextId_{0};
  MessageHandler onMessage_;
  ExitHandler onExit_;

  std::mutex mu_;  // guards queue_, writerStop_, handlersOff_, exited_, status_
  std::condition_variable cv_;
  std::deque<std::string> queue_;
  bool writerStop_ = false;
  bool handlersOff_ = false;
  bool exited_ = false;
  int status_ = 0;
  std::thread reader_;
  std::thread writer_;
};

}  // namespace platform
