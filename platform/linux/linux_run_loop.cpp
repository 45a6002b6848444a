#include "platform/linux/linux_run_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <ctime>

#include "platform/linux/linux_platform.h"

namespace larkspire::linux_backend {
namespace {

constexpr double kShortestInterval = 0.001;

double saneDelay(double seconds) { return std::isfinite(seconds) && seconds > 0 ? seconds : 0; }

}  // namespace

double SteadyClock::now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void SteadyClock::sleep(double seconds) {
  seconds = saneDelay(seconds);
  if (seconds <= 0) return;
  seconds = std::min(seconds, 1e9);
  timespec left{static_cast<time_t>(seconds), static_cast<long>((seconds - std::floor(seconds)) * 1e9)};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// One scheduled task or repeating timer.
struct TimerQueue::Timer final : platform::ScheduledTask {
  std::function<void()> handler;
  double interval = 0;  // 0 for a one-shot task
  std::atomic<bool> cancelled{false};
  void cancel() override { cancelled = true; }
};

void TimerQueue::insert(double due, std::shared_ptr<Timer> timer) {
  std::lock_guard lock(mutex_);
  timers_.emplace(Key{due, sequence_++}, std::move(timer));
}

std::shared_ptr<platform::ScheduledTask> TimerQueue::scheduleAfter(double delay, std::function<void()> task) {
  auto timer = std::make_shared<Timer>();
  timer->handler = std::move(task);
  insert(clock_.now() + saneDelay(delay), timer);
  return timer;
}

std::shared_ptr<platform::ScheduledTask> TimerQueue::scheduleRepeating(double interval, std::function<void()> handler) {
  auto timer = std::make_shared<Timer>();
  timer->handler = std::move(handler);
  timer->interval = std::max(saneDelay(interval), kShortestInterval);
  insert(clock_.now() + timer->interval, timer);
  return timer;
}

std::optional<double> TimerQueue::timeUntilNext() {
  std::lock_guard lock(mutex_);
  while (!timers_.empty() && timers_.begin()->second->cancelled) timers_.erase(timers_.begin());
  if (timers_.empty()) return std::nullopt;
  return std::max(0.0, timers_.begin()->first.first - clock_.now());
}

void TimerQueue::runDue() {
  std::vector<std::pair<double, std::shared_ptr<Timer>>> due;
  {
    std::lock_guard lock(mutex_);
    double now = clock_.now();
    while (!timers_.empty() && timers_.begin()->first.first <= now) {
      due.emplace_back(timers_.begin()->first.first, std::move(timers_.begin()->second));
      timers_.erase(timers_.begin());
    }
  }
  std::size_t next = 0;
  // A handler that throws must not take the other due timers with it.
  struct Requeue {
    TimerQueue& queue;
    std::vector<std::pair<double, std::shared_ptr<Timer>>>& due;
    std::size_t& next;
    ~Requeue() {
      for (std::size_t i = next; i < due.size(); ++i) queue.insert(due[i].first, due[i].second);
    }
  } requeue{*this, due, next};
  while (next < due.size()) {
    auto [at, timer] = due[next++];
    if (timer->cancelled) continue;
    if (timer->interval <= 0) {
      auto handler = std::move(timer->handler);
      timer->cancelled = true;  // done: cancel() after this changes nothing
      handler();
      continue;
    }
    // Rescheduled before the handler runs, so a throwing handler keeps its timer.
    double interval = timer->interval;
    double after = clock_.now();
    double missed = std::floor((after - at) / interval);
    insert(at + interval * (std::max(0.0, missed) + 1), timer);
    timer->handler();
  }
}

struct LinuxRunLoop::Watch {
  int fd = -1;
  std::function<bool()> pending;
  std::function<void()> dispatch;
  std::atomic<bool> active{true};
};

class LinuxRunLoop::WatchHandle final : public FdWatch {
 public:
  WatchHandle(LinuxRunLoop& loop, std::shared_ptr<Watch> watch) : loop_(loop), watch_(std::move(watch)) {}
  ~WatchHandle() override {
    watch_->active = false;
    std::lock_guard lock(loop_.watchMutex_);
    std::erase(loop_.watches_, watch_);
  }

 private:
  LinuxRunLoop& loop_;
  std::shared_ptr<Watch> watch_;
};

LinuxRunLoop::LinuxRunLoop() : ownClock_(std::make_unique<SteadyClock>()), clock_(*ownClock_), timers_(clock_) {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

LinuxRunLoop::LinuxRunLoop(platform::Clock& clock) : clock_(clock), timers_(clock_) {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

LinuxRunLoop::~LinuxRunLoop() {
  if (wakeFd_ >= 0) close(wakeFd_);
}

std::shared_ptr<platform::ScheduledTask> LinuxRunLoop::scheduleRepeating(double interval,
                                                                         std::function<void()> handler) {
  auto task = timers_.scheduleRepeating(interval, std::move(handler));
  wake();  // the loop may be asleep until a later timer
  return task;
}

std::shared_ptr<platform::ScheduledTask> LinuxRunLoop::scheduleAfter(double delay, std::function<void()> task) {
  auto scheduled = timers_.scheduleAfter(delay, std::move(task));
  wake();
  return scheduled;
}

void LinuxRunLoop::stop() {
  stopRequested_ = true;
  wake();
}

void LinuxRunLoop::wake() {
  if (wakeFd_ < 0) return;
  std::uint64_t one = 1;
  // A full counter already means "wake up"; nothing to do on EAGAIN.
  [[maybe_unused]] auto written = write(wakeFd_, &one, sizeof one);
}

std::vector<std::shared_ptr<LinuxRunLoop::Watch>> LinuxRunLoop::watches() {
  std::lock_guard lock(watchMutex_);
  return watches_;
}

std::unique_ptr<FdWatch> LinuxRunLoop::watch(int fd, std::function<bool()> pending, std::function<void()> dispatch) {
  auto watch = std::make_shared<Watch>();
  watch->fd = fd;
  watch->pending = std::move(pending);
  watch->dispatch = std::move(dispatch);
  {
    std::lock_guard lock(watchMutex_);
    watches_.push_back(watch);
  }
  wake();
  return std::make_unique<WatchHandle>(*this, std::move(watch));
}

void LinuxRunLoop::run() {
  std::vector<pollfd> fds;
  while (!stopRequested_.exchange(false)) {
    timers_.runDue();
    if (stopRequested_.exchange(false)) return;

    auto current = watches();
    bool queued = false;
    for (const auto& w : current) {
      if (w->active && w->pending && w->pending()) {
        queued = true;
        w->dispatch();
      }
    }
    if (stopRequested_.exchange(false)) return;

    fds.clear();
    fds.push_back({wakeFd_, POLLIN, 0});
    // An ended watch polls a negative descriptor, which poll(2) skips.
    for (const auto& w : current) fds.push_back({w->active ? w->fd : -1, POLLIN, 0});
    int timeout = -1;
    if (queued) {
      timeout = 0;  // handlers may have queued more; look again before sleeping
    } else if (auto next = timers_.timeUntilNext()) {
      // Rounded up: waking a little early would only spin until the due time.
      timeout = static_cast<int>(std::min(std::ceil(*next * 1000.0), 86'400'000.0));
    }
    int ready = poll(fds.data(), fds.size(), timeout);
    if (ready <= 0) continue;  // a timer is due, or a signal came
    if (fds[0].revents & POLLIN) {
      std::uint64_t count = 0;
      [[maybe_unused]] auto got = read(wakeFd_, &count, sizeof count);
    }
    for (std::size_t i = 0; i < current.size(); ++i) {
      const auto& w = current[i];
      short events = fds[i + 1].revents;
      if (!events || !w->active) continue;
      w->dispatch();
      // A closed or broken descriptor would wake every poll from now on.
      if (events & (POLLHUP | POLLERR | POLLNVAL)) w->active = false;
    }
  }
}

std::unique_ptr<platform::Clock> makeClock() { return std::make_unique<SteadyClock>(); }

std::unique_ptr<LinuxRunLoop> makeRunLoop(platform::Clock& clock) { return std::make_unique<LinuxRunLoop>(clock); }

}  // namespace larkspire::linux_backend
