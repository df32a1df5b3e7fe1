#include "platform/browser_cdp.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/files.h"

namespace platform {

std::vector<std::string> CdpFrameSplitter::Feed(const char* data, size_t length) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < length) {
    const void* nul = std::memchr(data + start, '\0', length - start);
    size_t end = nul ? static_cast<size_t>(static_cast<const char*>(nul) - data) : length;
    if (!skipping_) {
      if (partial_.size() + (end - start) > kMaxMessage) {
        partial_.clear();
        skipping_ = true;
        overflowed_ = true;
      } else {
        partial_.append(data + start, end - start);
      }
    }
    if (!nul) break;
    if (!skipping_) out.push_back(std::move(partial_));
    partial_.clear();
    skipping_ = false;
    start = end + 1;
  }
  return out;
}

bool CdpFrameSplitter::Overflowed() {
  bool was = overflowed_;
  overflowed_ = false;
  return was;
}

std::unique_ptr<CdpConnection> CdpConnection::Launch(const std::vector<std::string>& argv,
                                                     const std::vector<std::string>& env,
                                                     MessageHandler onMessage, ExitHandler onExit,
                                                     std::string& error) {
  if (argv.empty() || access(argv[0].c_str(), X_OK) != 0) {
    error = "browser executable not found";
    return nullptr;
  }
  struct sigaction old {};
  if (sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) signal(SIGPIPE, SIG_IGN);

  int toChild[2], fromChild[2];
  if (pipe2(toChild, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return nullptr;
  }
  UniqueFd toRead(toChild[0]), toWrite(toChild[1]);
  if (pipe2(fromChild, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return nullptr;
  }
  UniqueFd fromRead(fromChild[0]), fromWrite(fromChild[1]);

  process::SpawnOptions options;
  options.argv = argv;
  options.env = env.empty() ? process::CurrentEnvironment() : env;
  options.stdinMode = process::Stream::Null;
  options.stdoutMode = process::Stream::Null;
  options.stderrMode = process::Stream::Pipe;
  options.inherit = {{toRead.get(), 3}, {fromWrite.get(), 4}};
  process::SpawnResult spawned = process::Spawn(options);
  // The browser's ends are its own now: end of file on fromRead is the browser's end.
  toRead.Reset();
  fromWrite.Reset();
  if (!spawned.child) {
    error = "spawn (" + spawned.what + "): " + std::strerror(spawned.error);
    return nullptr;
  }

  std::unique_ptr<CdpConnection> c(new CdpConnection());
  c->pid_ = spawned.child->pid();
  c->stderr_ = std::move(spawned.child->stderrRead());
  c->child_ = std::move(spawned.child);
  c->toBrowser_ = std::move(toWrite);
  c->fromBrowser_ = std::move(fromRead);
  c->onMessage_ = std::move(onMessage);
  c->onExit_ = std::move(onExit);
  int wake[2];
  if (pipe2(wake, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    c->Close();
    return nullptr;
  }
  c->wakeRead_.Reset(wake[0]);
  c->wakeWrite_.Reset(wake[1]);
  c->reader_ = std::thread([raw = c.get()] { raw->ReaderLoop(); });
  c->writer_ = std::thread([raw = c.get()] { raw->WriterLoop(); });
  return c;
}

CdpConnection::~CdpConnection() { Close(); }

int CdpConnection::Send(const std::string& method, const nlohmann::json& params,
                        const std::string& sessionId) {
  int id = ++nextId_;
  nlohmann::json msg = {{"id", id}, {"method", method}, {"params", params.is_null() ? nlohmann::json::object() : params}};
  if (!sessionId.empty()) msg["sessionId"] = sessionId;
  std::string text = msg.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  text.push_back('\0');
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (writerStop_) return id;
    queue_.push_back(std::move(text));
  }
  cv_.notify_all();
  return id;
}

void CdpConnection::WriterLoop() {
  for (;;) {
    std::string next;
    {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [&] { return writerStop_ || !queue_.empty(); });
      if (queue_.empty()) return;
      next = std::move(queue_.front());
      queue_.pop_front();
    }
    if (!WriteAll(toBrowser_.get(), next.data(), next.size())) {
      std::lock_guard<std::mutex> lock(mu_);
      queue_.clear();
      writerStop_ = true;
      return;
    }
  }
}

void CdpConnection::ReaderLoop() {
  CdpFrameSplitter splitter;
  std::vector<char> buf(1 << 16);
  bool woken = false;
  for (;;) {
    // A negative descriptor is left out by poll: the browser's stderr once it has ended.
    pollfd fds[3] = {{fromBrowser_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}, {stderr_ ? stderr_.get() : -1, POLLIN, 0}};
    int n = poll(fds, 3, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents) {
      woken = true;
      break;
    }
    if (fds[2].revents && !ReadStderr()) stderr_.Reset();
    if (!fds[0].revents) continue;
    ssize_t got = read(fromBrowser_.get(), buf.data(), buf.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    for (auto& text : splitter.Feed(buf.data(), static_cast<size_t>(got))) {
      nlohmann::json msg = nlohmann::json::parse(text, nullptr, false);
      if (msg.is_discarded() || !msg.is_object()) continue;
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (handlersOff_) continue;
      }
      try {
        if (onMessage_) onMessage_(std::move(msg));
      } catch (...) {
      }
    }
  }
  if (woken) return;
  // The pipe closed: the browser is exiting. Reap it (bounded), keep what it said last, report.
  Reap(true);
  DrainStderr();
  bool call;
  int status;
  {
    std::lock_guard<std::mutex> lock(mu_);
    call = !handlersOff_;
    status = status_;
  }
  cv_.notify_all();
  if (call && onExit_) {
    try {
      onExit_(status);
    } catch (...) {
    }
  }
}

bool CdpConnection::ReadStderr() {
  char buf[4096];
  ssize_t got;
  do {
    got = read(stderr_.get(), buf, sizeof buf);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return false;
  stderrTail_->Feed(buf, static_cast<size_t>(got));
  return true;
}

void CdpConnection::DrainStderr() {
  // The job is empty by now, so every writer is gone and the end comes at once; the wait is
  // bounded all the same.
  while (stderr_) {
    pollfd p{stderr_.get(), POLLIN, 0};
    int n = poll(&p, 1, 1000);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || !ReadStderr()) stderr_.Reset();
  }
}

void CdpConnection::Reap(bool wait) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (exited_ || !child_) return;
  }
  int status = 0;
  bool ended = child_->Wait(std::chrono::milliseconds(wait ? 5000 : 0), &status);
  // Whatever the browser left behind in its job goes with it (all of it, when it did not end).
  child_->End();
  if (!ended) ended = child_->Wait(std::chrono::seconds(10), &status);
  child_->WaitForJobToEmpty(std::chrono::seconds(5));
  std::lock_guard<std::mutex> lock(mu_);
  exited_ = true;
  status_ = ended ? status : 0;
}

void CdpConnection::Close() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (handlersOff_ && !reader_.joinable() && !writer_.joinable()) return;
    handlersOff_ = true;
  }
  bool alive;
  {
    std::lock_guard<std::mutex> lock(mu_);
    alive = !exited_ && child_ && !writerStop_;
  }
  if (alive) {
    Send("Browser.close", nlohmann::json::object());
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::seconds(5), [&] { return exited_; });
  }
  if (child_) {
    bool exited;
    {
      std::lock_guard<std::mutex> lock(mu_);
      exited = exited_;
    }
    if (!exited) child_->End();
  }
  if (wakeWrite_) {
    char b = 1;
    (void)!write(wakeWrite_.get(), &b, 1);
  }
  if (reader_.joinable()) reader_.join();
  Reap(false);
  {
    std::lock_guard<std::mutex> lock(mu_);
    writerStop_ = true;
  }
  cv_.notify_all();
  if (writer_.joinable()) writer_.join();
  child_.reset();  // the job is empty: this reaps its keeper
  toBrowser_.Reset();
  fromBrowser_.Reset();
  stderr_.Reset();
  wakeRead_.Reset();
  wakeWrite_.Reset();
}

}  // namespace platform
