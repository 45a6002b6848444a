// Time and the main run loop. Every wait and timer of the programs goes
// through these, so that tests can run them in virtual time.
#pragma once

#include <functional>
#include <memory>

namespace larkspire::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds on a monotonic clock.
  virtual double now() = 0;
  // Waits the given number of seconds (virtual clocks advance instead).
  virtual void sleep(double seconds) = 0;
};

// A scheduled task; destroying the handle does not cancel it, cancel() does.
class ScheduledTask {
 public:
  virtual ~ScheduledTask() = default;
  virtual void cancel() = 0;
};

class RunLoop {
 public:
  virtual ~RunLoop() = default;
  // Calls the handler every interval seconds on the run loop's thread.
  // A timer that falls behind fires once without catching up.
  virtual std::shared_ptr<ScheduledTask> scheduleRepeating(double interval, std::function<void()> handler) = 0;
  // Calls the task once after delay seconds on the run loop's thread.
  virtual std::shared_ptr<ScheduledTask> scheduleAfter(double delay, std::function<void()> task) = 0;
  // Runs until stop() is called.
  virtual void run() = 0;
  virtual void stop() = 0;
};

}  // namespace larkspire::platform
