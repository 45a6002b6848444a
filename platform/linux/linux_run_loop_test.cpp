#include "platform/linux/linux_run_loop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <thread>

namespace larkspire::linux_backend {
namespace {

class FakeClock final : public platform::Clock {
 public:
  double now() override { return time; }
  void sleep(double seconds) override { time += seconds; }
  double time = 1000.0;
};

class TimerQueueTest : public ::testing::Test {
 protected:
  FakeClock clock;
  TimerQueue queue{clock};
  std::string log;

  void advanceTo(double t) {
    clock.time = 1000.0 + t;
    queue.runDue();
  }
};

TEST_F(TimerQueueTest, TasksRunInDueOrderAndEqualTimesInSchedulingOrder) {
  queue.scheduleAfter(0.2, [&] { log += "A"; });
  queue.scheduleAfter(0.1, [&] { log += "B"; });
  queue.scheduleAfter(0.1, [&] { log += "C"; });
  EXPECT_NEAR(*queue.timeUntilNext(), 0.1, 1e-9);
  advanceTo(0.05);
  EXPECT_EQ(log, "");
  advanceTo(0.1);
  EXPECT_EQ(log, "BC");
  advanceTo(0.5);
  EXPECT_EQ(log, "BCA");
  EXPECT_FALSE(queue.timeUntilNext());
  advanceTo(1.0);
  EXPECT_EQ(log, "BCA");  // one-shot tasks run once
}

TEST_F(TimerQueueTest, RepeatingTimerKeepsItsPhase) {
  queue.scheduleRepeating(0.3, [&] { log += "t"; });
  advanceTo(0.29);
  EXPECT_EQ(log, "");
  advanceTo(0.31);  // late by 10 ms
  EXPECT_EQ(log, "t");
  EXPECT_NEAR(*queue.timeUntilNext(), 0.29, 1e-9);  // next at 0.6, not 0.61
  advanceTo(0.6);
  EXPECT_EQ(log, "tt");
}

TEST_F(TimerQueueTest, TimerThatFallsBehindFiresOnceWithoutCatchingUp) {
  int fired = 0;
  queue.scheduleRepeating(0.3, [&] {
    if (++fired == 1) clock.time += 1.0;  // the first run blocks for over three intervals
  });
  advanceTo(0.3);  // ends at 1.3
  EXPECT_EQ(fired, 1);
  queue.runDue();
  EXPECT_EQ(fired, 2);  // 0.6, 0.9 and 1.2 were missed: one late firing for all
  queue.runDue();
  EXPECT_EQ(fired, 2);
  EXPECT_NEAR(*queue.timeUntilNext(), 0.2, 1e-9);  // 1.5 keeps the phase
  advanceTo(1.5);
  EXPECT_EQ(fired, 3);

  // A loop that wakes late (the process was stopped) fires once too.
  advanceTo(4.0);
  EXPECT_EQ(fired, 4);
  EXPECT_NEAR(*queue.timeUntilNext(), 0.2, 1e-9);
}

TEST_F(TimerQueueTest, CancelledTasksNeverRun) {
  auto a = queue.scheduleAfter(0.1, [&] { log += "A"; });
  queue.scheduleAfter(0.1, [&] { log += "B"; });
  a->cancel();
  std::shared_ptr<platform::ScheduledTask> repeating;
  repeating = queue.scheduleRepeating(0.1, [&] {
    log += "R";
    repeating->cancel();  // from its own handler
  });
  advanceTo(0.1);
  advanceTo(0.2);
  advanceTo(0.3);
  EXPECT_EQ(log, "BR");
  EXPECT_FALSE(queue.timeUntilNext());
  a->cancel();  // cancelling again, or after the fact, is harmless
  repeating->cancel();
}

TEST_F(TimerQueueTest, TasksScheduledByAHandlerWaitForTheNextTurn) {
  queue.scheduleAfter(0.1, [&] {
    log += "A";
    queue.scheduleAfter(0, [&] { log += "B"; });
  });
  advanceTo(0.1);
  EXPECT_EQ(log, "A");
  EXPECT_NEAR(*queue.timeUntilNext(), 0.0, 1e-9);
  queue.runDue();
  EXPECT_EQ(log, "AB");
}

TEST_F(TimerQueueTest, AThrowingHandlerKeepsTheOtherTimers) {
  queue.scheduleAfter(0.1, [&] { throw std::runtime_error("boom"); });
  queue.scheduleAfter(0.1, [&] { log += "B"; });
  queue.scheduleRepeating(0.1, [&] { log += "R"; });
  clock.time += 0.1;
  EXPECT_THROW(queue.runDue(), std::runtime_error);
  queue.runDue();
  EXPECT_EQ(log, "BR");
  advanceTo(0.2);
  EXPECT_EQ(log, "BRR");
}

TEST_F(TimerQueueTest, NonsenseIntervalsCannotSpin) {
  int fired = 0;
  queue.scheduleRepeating(0, [&] { ++fired; });
  queue.scheduleRepeating(NAN, [&] { ++fired; });
  queue.scheduleAfter(-5, [&] { log += "now"; });
  queue.scheduleAfter(NAN, [&] { log += "!"; });
  queue.runDue();
  EXPECT_EQ(log, "now!");
  EXPECT_EQ(fired, 0);
  EXPECT_NEAR(*queue.timeUntilNext(), 0.001, 1e-9);
  clock.time += 0.001;
  queue.runDue();
  EXPECT_EQ(fired, 2);
}

// The loop itself, on the real clock: what runs where and when it returns.
TEST(LinuxRunLoop, RunsTasksUntilStopped) {
  LinuxRunLoop loop;
  std::string log;
  loop.scheduleAfter(0.02, [&] { log += "b"; });
  loop.scheduleAfter(0.0, [&] { log += "a"; });
  loop.scheduleAfter(0.03, [&] {
    log += "c";
    loop.stop();
  });
  loop.scheduleAfter(3600, [&] { log += "never"; });
  loop.run();
  EXPECT_EQ(log, "abc");
}

TEST(LinuxRunLoop, StopFromAnotherThreadWakesAnIdleLoop) {
  LinuxRunLoop loop;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    loop.stop();
  });
  loop.run();  // nothing scheduled: only the stop can end it
  stopper.join();

  // A stop that comes first ends the next run at once.
  loop.stop();
  loop.run();
}

TEST(LinuxRunLoop, TasksScheduledFromAnotherThreadRunOnTheLoopThread) {
  LinuxRunLoop loop;
  std::thread::id ranOn;
  std::thread other([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    loop.scheduleAfter(0, [&] {
      ranOn = std::this_thread::get_id();
      loop.stop();
    });
  });
  loop.run();
  other.join();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(LinuxRunLoop, WatchedDescriptorIsDispatchedWhenReadable) {
  LinuxRunLoop loop;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string received;
  auto watch = loop.watch(fds[0], nullptr, [&] {
    char c = 0;
    if (read(fds[0], &c, 1) == 1) received += c;
    if (received.size() == 2) loop.stop();
  });
  std::thread writer([&] {
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(write(fds[1], "y", 1), 1);
  });
  loop.run();
  writer.join();
  EXPECT_EQ(received, "xy");
  close(fds[0]);
  close(fds[1]);
}

TEST(LinuxRunLoop, EventsAlreadyQueuedAreDispatchedWithoutTheDescriptor) {
  LinuxRunLoop loop;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int queued = 3;  // as if a library had read three events ahead
  int dispatched = 0;
  auto watch = loop.watch(
      fds[0], [&] { return queued > 0; },
      [&] {
        ++dispatched;
        if (--queued == 0) loop.stop();
      });
  loop.run();  // the pipe never becomes readable
  EXPECT_EQ(dispatched, 3);
  close(fds[0]);
  close(fds[1]);
}

TEST(LinuxRunLoop, DroppedWatchAndClosedPeerStopDispatching) {
  LinuxRunLoop loop;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int dispatched = 0;
  auto watch = loop.watch(fds[0], nullptr, [&] { ++dispatched; });
  watch.reset();
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  loop.scheduleAfter(0.02, [&] { loop.stop(); });
  loop.run();
  EXPECT_EQ(dispatched, 0);

  // A hung-up descriptor is dispatched once, not on every turn of the loop.
  auto hungUp = loop.watch(fds[0], nullptr, [&] { ++dispatched; });
  close(fds[1]);
  char drain[8];
  ASSERT_EQ(read(fds[0], drain, sizeof drain), 1);
  loop.scheduleAfter(0.05, [&] { loop.stop(); });
  loop.run();
  EXPECT_EQ(dispatched, 1);
  close(fds[0]);
}

}  // namespace
}  // namespace larkspire::linux_backend
