// The main run loop of the Linux programs: timers and file descriptors
// (the X connection of the global monitors) in one poll(2), so an idle
// process sleeps until its next timer or event.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/run_loop.h"

namespace larkspire::linux_backend {

// Seconds on the monotonic clock; sleep() waits them out.
class SteadyClock final : public platform::Clock {
 public:
  double now() override;
  void sleep(double seconds) override;
};

// Timers ordered by due time, driven by whoever owns them: the run loop in
// the programs, a virtual clock in the tests.
class TimerQueue {
 public:
  explicit TimerQueue(platform::Clock& clock) : clock_(clock) {}

  std::shared_ptr<platform::ScheduledTask> scheduleAfter(double delay, std::function<void()> task);
  // A repeating timer keeps its phase; one that falls behind (a handler
  // that blocked for several intervals) fires once and skips the missed
  // firings instead of catching up. Intervals under a millisecond count as
  // one, so a timer can never spin.
  std::shared_ptr<platform::ScheduledTask> scheduleRepeating(double interval, std::function<void()> handler);

  // Seconds until the earliest timer is due (0 when overdue), none when
  // no timer waits.
  std::optional<double> timeUntilNext();
  // Runs every timer due now, earliest first and in scheduling order among
  // equals. Timers a handler schedules wait for the next call, even when
  // already due, so a handler cannot starve the caller.
  void runDue();

 private:
  struct Timer;
  using Key = std::pair<double, std::uint64_t>;  // due time, scheduling order
  void insert(double due, std::shared_ptr<Timer> timer);

  platform::Clock& clock_;
  std::mutex mutex_;
  std::map<Key, std::shared_ptr<Timer>> timers_;
  std::uint64_t sequence_ = 0;
};

// Keeps a file descriptor watched for as long as it lives.
class FdWatch {
 public:
  virtual ~FdWatch() = default;
};

class LinuxRunLoop final : public platform::RunLoop {
 public:
  LinuxRunLoop();
  explicit LinuxRunLoop(platform::Clock& clock);
  ~LinuxRunLoop() override;
  LinuxRunLoop(const LinuxRunLoop&) = delete;
  LinuxRunLoop& operator=(const LinuxRunLoop&) = delete;

  // May be called from any thread.
  std::shared_ptr<platform::ScheduledTask> scheduleRepeating(double interval, std::function<void()> handler) override;
  std::shared_ptr<platform::ScheduledTask> scheduleAfter(double delay, std::function<void()> task) override;
  // Runs timers and watches on the calling thread until stop(). A stop()
  // that comes before run() makes that run() return at once.
  void run() override;
  // May be called from any thread, also from a handler.
  void stop() override;

  // Calls dispatch on the loop's thread whenever fd becomes readable, and
  // also when pending() says that events already sit in a library's queue
  // (Xlib reads events ahead into its own queue, so a readable-fd check
  // alone would leave them waiting).
  std::unique_ptr<FdWatch> watch(int fd, std::function<bool()> pending, std::function<void()> dispatch);

 private:
  struct Watch;
  class WatchHandle;
  void wake();
  std::vector<std::shared_ptr<Watch>> watches();

  std::unique_ptr<platform::Clock> ownClock_;
  platform::Clock& clock_;
  TimerQueue timers_;
  std::atomic<bool> stopRequested_{false};
  int wakeFd_ = -1;
  std::mutex watchMutex_;
  std::vector<std::shared_ptr<Watch>> watches_;
};

}  // namespace larkspire::linux_backend
