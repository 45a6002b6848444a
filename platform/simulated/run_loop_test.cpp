// Virtual time: ordering, nesting, repeating timers and the run loop.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/simulated/desktop.h"

namespace larkspire::simulated {
namespace {

class VirtualTimeTest : public ::testing::Test {
 protected:
  Desktop desktop;
  platform::Platform& p = desktop.platform();
  std::vector<std::string> log;
  auto note(std::string what) {
    return [this, what] { log.push_back(what + "@" + std::to_string(desktop.now()).substr(0, 4)); };
  }
};

TEST_F(VirtualTimeTest, WorkRunsInTimeOrderWithTiesInSchedulingOrder) {
  p.runLoop.scheduleAfter(2, note("b"));
  desktop.at(1, note("a"));
  p.runLoop.scheduleAfter(2, note("c"));
  desktop.at(2, note("d"));
  desktop.advance(1.5);
  EXPECT_EQ(log, (std::vector<std::string>{"a@1.00"}));
  EXPECT_DOUBLE_EQ(desktop.now(), 1.5);
  desktop.advance(10);
  EXPECT_EQ(log, (std::vector<std::string>{"a@1.00", "b@2.00", "c@2.00", "d@2.00"}));
  EXPECT_DOUBLE_EQ(desktop.now(), 11.5);
}

TEST_F(VirtualTimeTest, WorkScheduledByWorkRunsWithinTheSameAdvance) {
  p.runLoop.scheduleAfter(1, [&] {
    log.push_back("first");
    p.runLoop.scheduleAfter(1, [&] { log.push_back("second@" + std::to_string(int(desktop.now()))); });
    p.runLoop.scheduleAfter(5, [&] { log.push_back("late"); });
  });
  desktop.advance(3);
  EXPECT_EQ(log, (std::vector<std::string>{"first", "second@2"}));
  EXPECT_EQ(desktop.pendingTasks(), 1u);
}

TEST_F(VirtualTimeTest, SleepingRunsWhatComesDueMeanwhile) {
  bool finished = false;
  desktop.at(0.25, [&] { finished = true; });
  const double start = p.clock.now();
  while (!finished && p.clock.now() - start < 10) p.clock.sleep(0.1);
  EXPECT_TRUE(finished);
  EXPECT_NEAR(p.clock.now(), 0.3, 1e-9);
}

TEST_F(VirtualTimeTest, CancelledTasksNeverRun) {
  auto task = p.runLoop.scheduleAfter(1, note("x"));
  auto timer = p.runLoop.scheduleRepeating(0.5, note("t"));
  EXPECT_EQ(desktop.pendingTasks(), 2u);
  task->cancel();
  desktop.advance(0.6);
  timer->cancel();
  desktop.advance(5);
  EXPECT_EQ(log, (std::vector<std::string>{"t@0.50"}));
  EXPECT_EQ(desktop.pendingTasks(), 0u);
}

TEST_F(VirtualTimeTest, RepeatingTimerFiresOnItsGrid) {
  int fired = 0;
  std::vector<double> times;
  p.runLoop.scheduleRepeating(0.3, [&] {
    ++fired;
    times.push_back(desktop.now());
  });
  desktop.advance(1.0);
  ASSERT_EQ(fired, 3);
  EXPECT_NEAR(times[0], 0.3, 1e-9);
  EXPECT_NEAR(times[2], 0.9, 1e-9);
  // No drift after many ticks: the grid is computed, not accumulated.
  desktop.advance(298.9);
  EXPECT_EQ(fired, 999);
}

TEST_F(VirtualTimeTest, RepeatingTimerThatFallsBehindFiresOnceWithoutCatchingUp) {
  std::vector<double> times;
  bool slow = true;
  p.runLoop.scheduleRepeating(1.0, [&] {
    times.push_back(desktop.now());
    if (slow) {
      slow = false;
      p.clock.sleep(3.5);  // the handler blocks past three ticks
    }
  });
  desktop.advance(6.0);
  // Fired at 1, returned at 4.5: one late firing at 4.5, then 5 and 6.
  ASSERT_EQ(times.size(), 4u);
  EXPECT_DOUBLE_EQ(times[0], 1.0);
  EXPECT_DOUBLE_EQ(times[1], 4.5);
  EXPECT_DOUBLE_EQ(times[2], 5.0);
  EXPECT_DOUBLE_EQ(times[3], 6.0);
}

TEST_F(VirtualTimeTest, NestedSleepRunsOtherWorkButNotTheSleeper) {
  p.runLoop.scheduleAfter(1, [&] {
    log.push_back("outer");
    p.clock.sleep(2);
    log.push_back("outer done");
  });
  p.runLoop.scheduleAfter(2, note("inner"));
  desktop.advance(5);
  EXPECT_EQ(log, (std::vector<std::string>{"outer", "inner@2.00", "outer done"}));
}

TEST_F(VirtualTimeTest, TimerCancellingItselfStops) {
  int fired = 0;
  std::shared_ptr<platform::ScheduledTask> timer;
  timer = p.runLoop.scheduleRepeating(1, [&] {
    if (++fired == 2) timer->cancel();
  });
  desktop.advance(10);
  EXPECT_EQ(fired, 2);
}

TEST_F(VirtualTimeTest, ZeroIntervalTimerStillAdvances) {
  int fired = 0;
  p.runLoop.scheduleRepeating(0, [&] { ++fired; });
  desktop.advance(0.01);
  EXPECT_GT(fired, 0);
  EXPECT_LE(fired, 100);
}

TEST_F(VirtualTimeTest, RunProcessesWorkUntilStopped) {
  int ticks = 0;
  p.runLoop.scheduleRepeating(0.3, [&] { ++ticks; });
  desktop.at(2.0, [&] { p.runLoop.stop(); });
  p.runLoop.run();
  EXPECT_EQ(ticks, 6);
  EXPECT_DOUBLE_EQ(desktop.now(), 2.0);
}

TEST_F(VirtualTimeTest, RunReturnsWhenNothingIsLeftOrBeyondTheHorizon) {
  p.runLoop.scheduleAfter(4, note("a"));
  p.runLoop.run();
  EXPECT_EQ(log, (std::vector<std::string>{"a@4.00"}));

  desktop.runLoopHorizon = 10;
  int ticks = 0;
  p.runLoop.scheduleRepeating(1, [&] { ++ticks; });
  p.runLoop.run();
  EXPECT_EQ(ticks, 10);
}

TEST_F(VirtualTimeTest, StopBeforeRunMakesTheNextRunReturnAtOnce) {
  p.runLoop.scheduleAfter(1, note("a"));
  p.runLoop.stop();
  p.runLoop.run();
  EXPECT_TRUE(log.empty());
  p.runLoop.run();
  EXPECT_EQ(log.size(), 1u);
}

TEST_F(VirtualTimeTest, ScenarioEventsInThePastRunAtTheNextStep) {
  desktop.advance(5);
  desktop.at(1, note("past"));
  EXPECT_TRUE(log.empty());
  desktop.advance(0);
  EXPECT_EQ(log, (std::vector<std::string>{"past@5.00"}));
  EXPECT_EQ(desktop.pendingTasks(), 0u);
}

TEST_F(VirtualTimeTest, HandlesMayOutliveTheDesktop) {
  std::shared_ptr<platform::ScheduledTask> task;
  {
    Desktop other;
    task = other.platform().runLoop.scheduleAfter(1, [] {});
  }
  task->cancel();
}

}  // namespace
}  // namespace larkspire::simulated
