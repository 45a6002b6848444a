// The main run loop on the thread gtest runs on, which is the process's
// main thread. Deadlines are generous; nothing here measures speed.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/macos/macos_platform.h"

namespace larkspire::macos_backend {
namespace {

class MacRunLoopTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(pthread_main_np(), 0) << "the run loop tests need the main thread"; }

  // Ends a broken run instead of hanging the test binary.
  void armFallback() {
    fallback_ = loop_->scheduleAfter(30, [this] {
      fallbackFired_ = true;
      loop_->stop();
    });
  }

  MacContext context_;
  std::unique_ptr<platform::RunLoop> loop_ = makeRunLoop(context_);
  std::shared_ptr<platform::ScheduledTask> fallback_;
  bool fallbackFired_ = false;
};

TEST_F(MacRunLoopTest, StopBeforeRunMakesThatRunReturnAtOnce) {
  loop_->stop();
  loop_->run();  // would block forever if the stop were lost
  armFallback();
  loop_->scheduleAfter(0.01, [this] { loop_->stop(); });
  loop_->run();
  EXPECT_FALSE(fallbackFired_);
  fallback_->cancel();
}

TEST_F(MacRunLoopTest, TasksRunOnTheMainThreadAndCancelledOnesNever) {
  armFallback();
  bool onMain = false;
  bool cancelledRan = false;
  auto cancelled = loop_->scheduleAfter(0.02, [&] { cancelledRan = true; });
  cancelled->cancel();
  loop_->scheduleAfter(0.1, [&] {
    onMain = pthread_main_np() != 0;
    loop_->stop();
  });
  loop_->run();
  EXPECT_TRUE(onMain);
  EXPECT_FALSE(cancelledRan);
  EXPECT_FALSE(fallbackFired_);
  fallback_->cancel();
}

TEST_F(MacRunLoopTest, RepeatingTimerKeepsFiringUntilCancelled) {
  armFallback();
  int firings = 0;
  std::shared_ptr<platform::ScheduledTask> timer;
  timer = loop_->scheduleRepeating(0.01, [&] {
    if (++firings == 3) {
      timer->cancel();
      loop_->scheduleAfter(0.1, [this] { loop_->stop(); });
    }
  });
  loop_->run();
  EXPECT_EQ(firings, 3);
  EXPECT_FALSE(fallbackFired_);
  fallback_->cancel();
}

TEST_F(MacRunLoopTest, OtherThreadsCanScheduleAndStopWhileTheLoopSleeps) {
  armFallback();
  std::atomic<bool> scheduledRan{false};
  std::thread worker([this, &scheduledRan] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    loop_->scheduleAfter(0, [&scheduledRan] { scheduledRan = true; });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    loop_->stop();
  });
  loop_->run();
  worker.join();
  EXPECT_TRUE(scheduledRan);
  EXPECT_FALSE(fallbackFired_);
  fallback_->cancel();
}

TEST(MacClock, SleepWaitsAtLeastTheTimeAsked) {
  auto clock = makeClock();
  const double start = clock->now();
  clock->sleep(0.05);
  EXPECT_GE(clock->now() - start, 0.05);
  clock->sleep(-1);  // nonsense waits nothing and does not fail
}

}  // namespace
}  // namespace larkspire::macos_backend
