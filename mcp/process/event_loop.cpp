#include "mcp/process/event_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace larkspire::mcp {
namespace {

// The self-pipe: the signal handler writes the signal's number into it.
int signalPipe[2] = {-1, -1};

extern "C" void noteSignal(int number) {
  int saved = errno;
  unsigned char byte = static_cast<unsigned char>(number);
  ssize_t ignored = write(signalPipe[1], &byte, 1);
  (void)ignored;
  errno = saved;
}

}  // namespace

EventLoop::EventLoop() {
  if (signalPipe[0] < 0 && pipe(signalPipe) == 0) {
    for (int fd : signalPipe) {
      fcntl(fd, F_SETFD, FD_CLOEXEC);
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
  }
  struct sigaction action {};
  action.sa_handler = noteSignal;
  sigemptyset(&action.sa_mask);
  for (int number : {SIGTERM, SIGINT, SIGHUP}) sigaction(number, &action, nullptr);
  // A client that went away shows as a failed write, not as a signal.
  signal(SIGPIPE, SIG_IGN);
}

EventLoop::~EventLoop() {
  for (int number : {SIGTERM, SIGINT, SIGHUP}) signal(number, SIG_DFL);
}

void EventLoop::watch(int fd, std::function<void()> onReadable) { watched_[fd] = std::move(onReadable); }

void EventLoop::unwatch(int fd) { watched_.erase(fd); }

EventLoop::TimerId EventLoop::after(Clock::duration delay, std::function<void()> onTime) {
  TimerId id = nextTimer_++;
  timers_.emplace(Clock::now() + delay, std::make_pair(id, std::move(onTime)));
  return id;
}

void EventLoop::cancel(TimerId id) {
  for (auto it = timers_.begin(); it != timers_.end(); ++it) {
    if (it->second.first == id) {
      timers_.erase(it);
      return;
    }
  }
}

void EventLoop::run() {
  running_ = true;
  while (running_) {
    std::vector<pollfd> fds;
    fds.push_back({signalPipe[0], POLLIN, 0});
    for (const auto& [fd, _] : watched_) fds.push_back({fd, POLLIN, 0});
    int timeout = -1;
    if (!timers_.empty()) {
      auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(timers_.begin()->first - Clock::now());
      timeout = wait.count() < 0 ? 0 : static_cast<int>(wait.count()) + 1;
    }
    int ready = poll(fds.data(), fds.size(), timeout);
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0) {
      if (fds[0].revents != 0) {
        unsigned char number = 0;
        if (read(signalPipe[0], &number, 1) == 1 && signalHandler_) {
          auto handler = std::move(signalHandler_);
          signalHandler_ = nullptr;
          handler(number);
        }
      }
      for (size_t i = 1; i < fds.size() && running_; ++i) {
        if (fds[i].revents == 0) continue;
        // A callback may have unwatched this descriptor, or others.
        auto it = watched_.find(fds[i].fd);
        if (it == watched_.end()) continue;
        auto callback = it->second;
        callback();
      }
    }
    auto now = Clock::now();
    while (running_ && !timers_.empty() && timers_.begin()->first <= now) {
      auto callback = std::move(timers_.begin()->second.second);
      timers_.erase(timers_.begin());
      callback();
    }
  }
}

}  // namespace larkspire::mcp
