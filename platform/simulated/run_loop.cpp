// The clock and the run loop on virtual time.
#include <algorithm>
#include <cmath>

#include "platform/simulated/internal.h"

namespace larkspire::simulated {

class SimClock final : public platform::Clock {
 public:
  explicit SimClock(Desktop& desktop) : desktop_(desktop) {}
  double now() override { return desktop_.now(); }
  // Sleeping lets the rest of the desktop move on: everything due meanwhile
  // runs before the sleeper wakes.
  void sleep(double seconds) override { desktop_.advance(std::isfinite(seconds) ? seconds : 0); }

 private:
  Desktop& desktop_;
};

class SimRunLoop final : public platform::RunLoop {
 public:
  explicit SimRunLoop(Desktop& desktop) : desktop_(desktop) {}

  std::shared_ptr<platform::ScheduledTask> scheduleRepeating(double interval, std::function<void()> handler) override {
    const double every =
        std::isfinite(interval) ? std::max(interval, VirtualTime::kMinimumInterval) : VirtualTime::kMinimumInterval;
    return desktop_.impl_->time.schedule(desktop_.now() + every, std::move(handler), VirtualTime::Kind::task, every);
  }

  std::shared_ptr<platform::ScheduledTask> scheduleAfter(double delay, std::function<void()> task) override {
    const double wait = std::isfinite(delay) ? std::max(0.0, delay) : 0;
    return desktop_.impl_->time.schedule(desktop_.now() + wait, std::move(task), VirtualTime::Kind::task);
  }

  void run() override { desktop_.impl_->time.run(desktop_.runLoopHorizon); }
  void stop() override { desktop_.impl_->time.stop(); }

 private:
  Desktop& desktop_;
};

std::unique_ptr<platform::Clock> makeClock(Desktop& desktop) { return std::make_unique<SimClock>(desktop); }
std::unique_ptr<platform::RunLoop> makeRunLoop(Desktop& desktop) { return std::make_unique<SimRunLoop>(desktop); }

}  // namespace larkspire::simulated
