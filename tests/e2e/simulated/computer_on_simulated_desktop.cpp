// larkspire-computer with the simulated desktop of scenario.h in place of the
// native one: the real entry, reader, session and operations, so process
// tests can drive a session whose observation succeeds without any desktop.
#include <condition_variable>
#include <memory>
#include <mutex>

#include "computer/request/entry.h"
#include "platform/simulated/desktop.h"
#include "tests/e2e/simulated/scenario.h"

namespace {

using namespace larkspire;

// The simulated loop runs virtual time; in a real process the main thread
// only has to stay out of the way until the worker ends the process.
class IdleRunLoop final : public platform::RunLoop {
 public:
  std::shared_ptr<platform::ScheduledTask> scheduleRepeating(double, std::function<void()>) override { return nullptr; }
  std::shared_ptr<platform::ScheduledTask> scheduleAfter(double, std::function<void()>) override { return nullptr; }
  void run() override {
    std::unique_lock lock(mutex_);
    stopped_.wait(lock, [this] { return stop_; });
  }
  void stop() override {
    std::lock_guard lock(mutex_);
    stop_ = true;
    stopped_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool stop_ = false;
};

class SimulatedNative final : public platform::NativePlatform {
 public:
  SimulatedNative() : base_(desktop_.platform()) { testing::buildNotesDesktop(desktop_); }
  platform::Platform& platform() override { return platform_; }

 private:
  simulated::Desktop desktop_;
  IdleRunLoop idle_;
  platform::Platform& base_;
  platform::Platform platform_{base_.accessibility, base_.workspace, base_.bundles,
                               base_.screenCapture, base_.session,   base_.events,
                               base_.monitors,      base_.clock,     idle_};
};

}  // namespace

int main(int argc, char** argv) {
  computer::ProcessWiring wiring;
  wiring.makePlatform = [] { return std::make_unique<SimulatedNative>(); };
  computer::ComputerHelper::main(argc, argv, wiring);
}
