// Global monitors of the user's mouse and keyboard, pointer state.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/events.h"
#include "platform/values.h"

namespace larkspire::platform {

enum class MonitorKind { leftMouseDown, leftMouseUp, keyDown };

struct MonitorEvent {
  int clickCount = 0;
  EventFlags modifierFlags = 0;  // Command/Shift... as kCGEventFlagMask* bits
};

// Keeps a monitor installed for as long as it lives.
class MonitorHandle {
 public:
  virtual ~MonitorHandle() = default;
};

class Monitors {
 public:
  virtual ~Monitors() = default;
  // The handler runs on the main thread (the run loop's thread), only for
  // events meant for other applications.
  virtual std::unique_ptr<MonitorHandle> addGlobalMonitor(MonitorKind kind,
                                                          std::function<void(const MonitorEvent&)> handler) = 0;
  // The pointer position in screen coordinates.
  virtual Point mouseLocation() = 0;
  // A bit per pressed mouse button; 0 when none is pressed.
  virtual std::uint64_t pressedMouseButtons() = 0;
};

}  // namespace larkspire::platform
