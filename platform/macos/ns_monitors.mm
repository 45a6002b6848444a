// Global monitors of the user's mouse and keyboard and the pointer state
// (AppKit). AppKit calls a global monitor's handler on the main thread, from
// the shared application's event loop, for events meant for other
// applications; installing one therefore asks the run loop to run that loop.
#import <AppKit/AppKit.h>

#include "platform/macos/macos_platform.h"

namespace larkspire::macos_backend {
namespace {

class MacMonitorHandle final : public platform::MonitorHandle {
 public:
  explicit MacMonitorHandle(id monitor) : monitor_(monitor) {}
  ~MacMonitorHandle() override {
    if (monitor_) [NSEvent removeMonitor:monitor_];
  }
  MacMonitorHandle(const MacMonitorHandle&) = delete;
  MacMonitorHandle& operator=(const MacMonitorHandle&) = delete;

 private:
  id monitor_;  // strong: the opaque object AppKit returned
};

NSEventMask maskOf(platform::MonitorKind kind) {
  switch (kind) {
    case platform::MonitorKind::leftMouseDown:
      return NSEventMaskLeftMouseDown;
    case platform::MonitorKind::leftMouseUp:
      return NSEventMaskLeftMouseUp;
    case platform::MonitorKind::keyDown:
      return NSEventMaskKeyDown;
  }
  return 0;
}

class MacMonitors final : public platform::Monitors {
 public:
  explicit MacMonitors(MacContext& context) : context_(context) {}

  std::unique_ptr<platform::MonitorHandle> addGlobalMonitor(
      platform::MonitorKind kind, std::function<void(const platform::MonitorEvent&)> handler) override {
    const bool mouse = kind != platform::MonitorKind::keyDown;
    auto shared = std::make_shared<std::function<void(const platform::MonitorEvent&)>>(std::move(handler));
    id monitor = [NSEvent
        addGlobalMonitorForEventsMatchingMask:maskOf(kind)
                                      handler:^(NSEvent* event) {
                                        platform::MonitorEvent value;
                                        // clickCount exists for mouse events only;
                                        // asking a key event raises.
                                        value.clickCount = mouse ? static_cast<int>(event.clickCount) : 0;
                                        // NSEvent's modifier bits are Core Graphics' bits.
                                        value.modifierFlags = static_cast<platform::EventFlags>(event.modifierFlags);
                                        try {
                                          (*shared)(value);
                                        } catch (...) {
                                        }
                                      }];
    context_.applicationEventLoop = true;
    return std::make_unique<MacMonitorHandle>(monitor);
  }

  // In AppKit's screen coordinates (origin at the bottom left of the main
  // screen); the observer only measures distances with it.
  platform::Point mouseLocation() override {
    const NSPoint location = NSEvent.mouseLocation;
    return platform::Point{location.x, location.y};
  }

  std::uint64_t pressedMouseButtons() override { return static_cast<std::uint64_t>(NSEvent.pressedMouseButtons); }

 private:
  MacContext& context_;
};

}  // namespace

std::unique_ptr<platform::Monitors> makeMonitors(MacContext& context) { return std::make_unique<MacMonitors>(context); }

}  // namespace larkspire::macos_backend
