// Placeholder: XTest events, XInput2 monitors, the clock and the run loop land here.
#include <chrono>
#include <thread>

#include "platform/linux/linux_platform.h"

namespace larkspire::linux_backend {
namespace {
using namespace platform;
class StubEvents final : public Events {
 public:
  std::optional<KeyboardEvent> createKeyboardEvent(std::uint16_t, bool) override { return std::nullopt; }
  std::optional<MouseEvent> createMouseEvent(MouseEventType, Point) override { return std::nullopt; }
  std::optional<ScrollEvent> createScrollWheelEvent(std::int32_t) override { return std::nullopt; }
  void post(const KeyboardEvent&) override {}
  void post(const MouseEvent&) override {}
  void post(const ScrollEvent&) override {}
};
class StubMonitors final : public Monitors {
 public:
  std::unique_ptr<MonitorHandle> addGlobalMonitor(MonitorKind, std::function<void(const MonitorEvent&)>) override {
    return nullptr;
  }
  Point mouseLocation() override { return {}; }
  std::uint64_t pressedMouseButtons() override { return 0; }
};
class SteadyClock final : public Clock {
 public:
  double now() override {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  }
  void sleep(double seconds) override { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }
};
class StubRunLoop final : public RunLoop {
 public:
  std::shared_ptr<ScheduledTask> scheduleRepeating(double, std::function<void()>) override { return nullptr; }
  std::shared_ptr<ScheduledTask> scheduleAfter(double, std::function<void()>) override { return nullptr; }
  void run() override {}
  void stop() override {}
};
}  // namespace
std::unique_ptr<Events> makeEvents(LinuxContext&) { return std::make_unique<StubEvents>(); }
std::unique_ptr<Monitors> makeMonitors(LinuxContext&) { return std::make_unique<StubMonitors>(); }
std::unique_ptr<Clock> makeClock() { return std::make_unique<SteadyClock>(); }
std::unique_ptr<RunLoop> makeRunLoop(LinuxContext&) { return std::make_unique<StubRunLoop>(); }
}  // namespace larkspire::linux_backend
