// The main run loop and the monotonic clock. Timers are Core Foundation
// timers on the main thread's run loop; a stop request is a run loop source,
// so a stop that comes before run() or while the loop sleeps is never lost.
#import <AppKit/AppKit.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <ctime>

#include "platform/macos/cf_handle.h"
#include "platform/macos/macos_platform.h"

namespace larkspire::macos_backend {
namespace {

constexpr double kShortestInterval = 0.001;
// Long enough to mean "until stopped"; run() goes round again if it ends.
constexpr CFTimeInterval kRunSlice = 1.0e10;

double saneDelay(double seconds) { return std::isfinite(seconds) && seconds > 0 ? seconds : 0; }

class SteadyClock final : public platform::Clock {
 public:
  double now() override {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  }

  void sleep(double seconds) override {
    seconds = std::min(saneDelay(seconds), 1e9);
    if (seconds <= 0) return;
    timespec left{static_cast<time_t>(seconds), static_cast<long>((seconds - std::floor(seconds)) * 1e9)};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }
};

// Cancelling invalidates the timer; the run loop keeps its own reference
// until then, so dropping the handle leaves the timer running.
class MacTimer final : public platform::ScheduledTask {
 public:
  explicit MacTimer(CFHandle<CFRunLoopTimerRef> timer) : timer_(std::move(timer)) {}
  void cancel() override {
    if (timer_) CFRunLoopTimerInvalidate(timer_.get());
  }

 private:
  CFHandle<CFRunLoopTimerRef> timer_;
};

class MacRunLoop final : public platform::RunLoop {
 public:
  explicit MacRunLoop(MacContext& context)
      : context_(context), loop_(CFHandle<CFRunLoopRef>::retain(CFRunLoopGetMain())) {
    CFRunLoopSourceContext sourceContext{};
    sourceContext.version = 0;
    sourceContext.info = this;
    sourceContext.perform = &MacRunLoop::performStop;
    stopSource_ = CFHandle<CFRunLoopSourceRef>::adopt(CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &sourceContext));
    // The source also keeps the loop's modes from ever being empty, which
    // would make CFRunLoopRunInMode return at once.
    CFRunLoopAddSource(loop_.get(), stopSource_.get(), kCFRunLoopCommonModes);
  }

  ~MacRunLoop() override { CFRunLoopSourceInvalidate(stopSource_.get()); }

  MacRunLoop(const MacRunLoop&) = delete;
  MacRunLoop& operator=(const MacRunLoop&) = delete;

  // May be called from any thread. A repeating Core Foundation timer that
  // falls behind skips the missed firings.
  std::shared_ptr<platform::ScheduledTask> scheduleRepeating(double interval, std::function<void()> handler) override {
    interval = std::max(saneDelay(interval), kShortestInterval);
    return schedule(interval, interval, std::move(handler));
  }

  std::shared_ptr<platform::ScheduledTask> scheduleAfter(double delay, std::function<void()> task) override {
    return schedule(saneDelay(delay), 0, std::move(task));
  }

  // Runs on the main thread until stop().
  void run() override {
    if (stopRequested_.exchange(false)) return;
    if (context_.applicationEventLoop) {
      applicationRunning_ = true;
      while (!stopRequested_.exchange(false)) [NSApp run];
      applicationRunning_ = false;
    } else {
      while (!stopRequested_.exchange(false)) CFRunLoopRunInMode(kCFRunLoopDefaultMode, kRunSlice, false);
    }
  }

  // May be called from any thread, also from a handler.
  void stop() override {
    stopRequested_ = true;
    CFRunLoopSourceSignal(stopSource_.get());
    CFRunLoopWakeUp(loop_.get());
  }

 private:
  std::shared_ptr<platform::ScheduledTask> schedule(double delay, double interval, std::function<void()> handler) {
    auto shared = std::make_shared<std::function<void()>>(std::move(handler));
    auto timer = CFHandle<CFRunLoopTimerRef>::adopt(CFRunLoopTimerCreateWithHandler(
        kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + delay, interval, 0, 0, ^(CFRunLoopTimerRef firing) {
          (void)firing;
          @autoreleasepool {
            // An exception must not unwind through the run loop's C frames.
            try {
              (*shared)();
            } catch (...) {
            }
          }
        }));
    if (timer) CFRunLoopAddTimer(loop_.get(), timer.get(), kCFRunLoopCommonModes);
    return std::make_shared<MacTimer>(std::move(timer));
  }

  static void performStop(void* info) {
    auto* self = static_cast<MacRunLoop*>(info);
    if (!self->stopRequested_.load()) return;
    if (self->applicationRunning_) {
      [NSApp stop:nil];
      // stop: takes effect once the application has handled an event.
      NSEvent* wake = [NSEvent otherEventWithType:NSEventTypeApplicationDefined
                                         location:NSZeroPoint
                                    modifierFlags:0
                                        timestamp:0
                                     windowNumber:0
                                          context:nil
                                          subtype:0
                                            data1:0
                                            data2:0];
      [NSApp postEvent:wake atStart:YES];
    } else {
      CFRunLoopStop(CFRunLoopGetCurrent());
    }
  }

  MacContext& context_;
  CFHandle<CFRunLoopRef> loop_;
  CFHandle<CFRunLoopSourceRef> stopSource_;
  std::atomic<bool> stopRequested_{false};
  bool applicationRunning_ = false;  // touched on the main thread only
};

}  // namespace

std::unique_ptr<platform::Clock> makeClock() { return std::make_unique<SteadyClock>(); }

std::unique_ptr<platform::RunLoop> makeRunLoop(MacContext& context) { return std::make_unique<MacRunLoop>(context); }

}  // namespace larkspire::macos_backend
