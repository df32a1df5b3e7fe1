#include "platform/browser_cdp.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/files.h"

extern char** environ;

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

namespace {

// Moves fd above the standard and pipe slots so that the child's dup2 onto 3 and 4 never
// meets itself (a dup2 onto the same number would keep the close-on-exec flag).
int Lift(int fd) {
  int lifted = fcntl(fd, F_DUPFD_CLOEXEC, 10);
  close(fd);
  return lifted;
}

}  // namespace

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
  if (pipe2(fromChild, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    close(toChild[0]);
    close(toChild[1]);
    return nullptr;
  }
  for (int* fd : {&toChild[0], &toChild[1], &fromChild[0], &fromChild[1]}) *fd = Lift(*fd);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 3);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 4);
  posix_spawn_file_actions_addclosefrom_np(&actions, 5);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0].c_str(), &actions, &attr, args.data(), env.empty() ? environ : envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(toChild[0]);
  close(fromChild[1]);
  if (rc != 0) {
    error = std::string("posix_spawn: ") + std::strerror(rc);
    close(toChild[1]);
    close(fromChild[0]);
    return nullptr;
  }

  std::unique_ptr<CdpConnection> c(new CdpConnection());
  c->pid_ = pid;
  c->toBrowser_.Reset(toChild[1]);
  c->fromBrowser_.Reset(fromChild[0]);
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
    pollfd fds[2] = {{fromBrowser_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
    int n = poll(fds, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents) {
      woken = true;
      break;
    }
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
  // The pipe closed: the browser is exiting. Reap it (bounded) and report.
  Reap(true);
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

void CdpConnection::Reap(bool wait) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (exited_ || pid_ <= 0) return;
  }
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == 0 && wait) {
    // Bounded wait for the exit without polling: the process descriptor becomes readable.
    UniqueFd exitFd(static_cast<int>(syscall(SYS_pidfd_open, pid_, 0)));
    if (exitFd) {
      pollfd p{exitFd.get(), POLLIN, 0};
      while (poll(&p, 1, 5000) < 0 && errno == EINTR) {
      }
    }
    r = waitpid(pid_, &status, WNOHANG);
  }
  if (r == 0) {
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    r = waitpid(pid_, &status, 0);
  }
  std::lock_guard<std::mutex> lock(mu_);
  exited_ = true;
  status_ = r == pid_ ? status : 0;
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
    alive = !exited_ && pid_ > 0 && !writerStop_;
  }
  if (alive) {
    Send("Browser.close", nlohmann::json::object());
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::seconds(5), [&] { return exited_; });
  }
  if (pid_ > 0) {
    bool exited;
    {
      std::lock_guard<std::mutex> lock(mu_);
      exited = exited_;
    }
    if (!exited) kill(-pid_, SIGKILL);
  }
  if (wakeWrite_) {
    char b = 1;
    (void)!write(wakeWrite_.get(), &b, 1);
  }
  if (reader_.joinable()) reader_.join();
  Reap(false);
  // Whatever the browser left behind in its group goes with it.
  if (pid_ > 0) kill(-pid_, SIGKILL);
  {
    std::lock_guard<std::mutex> lock(mu_);
    writerStop_ = true;
  }
  cv_.notify_all();
  if (writer_.joinable()) writer_.join();
  toBrowser_.Reset();
  fromBrowser_.Reset();
  wakeRead_.Reset();
  wakeWrite_.Reset();
}

}  // namespace platform
