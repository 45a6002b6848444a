// The simulated desktop's single queue of timed work in virtual time: run
// loop tasks, repeating timers and scenario events alike.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>

#include "platform/run_loop.h"

namespace larkspire::simulated {

class VirtualTime {
 public:
  enum class Kind { task, scenario };
  // The shortest repeat interval, as NSTimer clamps it; a zero interval would
  // otherwise spin forever at one instant.
  static constexpr double kMinimumInterval = 0.0001;

  // `now` is the clock this queue moves forward; it never moves back.
  explicit VirtualTime(double& now) : now_(now) {}

  // Work due at an absolute time; a repeating timer (interval > 0) then
  // fires every interval on the grid that starts at `due - interval`.
  std::shared_ptr<platform::ScheduledTask> schedule(double due, std::function<void()> work, Kind kind,
                                                    double interval = 0);

  // Runs every piece of work due up to `target` in time order (ties in
  // scheduling order), including work that the work itself schedules, then
  // leaves the clock at `target` (or later, if nested work moved it on).
  void advanceTo(double target);

  // Runs work in time order, moving the clock to each piece, until stop();
  // also returns when nothing is left or the next work lies more than
  // `horizon` seconds ahead, so that a forgotten stop cannot hang a test.
  void run(double horizon);
  // Ends the innermost run(); asked outside any run, the next run() returns
  // at once.
  void stop() { stopRequested_ = true; }
  bool running() const { return runDepth_ > 0; }

  std::size_t pending(Kind kind) const;

 private:
  struct Timer;
  using Key = std::pair<double, std::uint64_t>;

  void enqueue(double due, std::shared_ptr<Timer> timer);
  // Runs the earliest work due no later than `limit`; false when there is none.
  bool runOne(double limit);

  double& now_;
  std::uint64_t nextSequence_ = 0;
  std::multimap<Key, std::shared_ptr<Timer>> queue_;
  bool stopRequested_ = false;
  int runDepth_ = 0;
};

}  // namespace larkspire::simulated
