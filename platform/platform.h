// The services a program reaches the desktop through, wired once in main.
#pragma once

#include <memory>

#include "platform/accessibility.h"
#include "platform/bundles.h"
#include "platform/events.h"
#include "platform/monitors.h"
#include "platform/run_loop.h"
#include "platform/screen_capture.h"
#include "platform/session.h"
#include "platform/workspace.h"

namespace larkspire::platform {

struct Platform {
  Accessibility& accessibility;
  Workspace& workspace;
  Bundles& bundles;
  ScreenCapture& screenCapture;
  Session& session;
  Events& events;
  Monitors& monitors;
  Clock& clock;
  RunLoop& runLoop;
};

// The desktop of the machine the program was built for. Defined once per
// operating system (platform/linux, platform/macos).
class NativePlatform {
 public:
  virtual ~NativePlatform() = default;
  virtual Platform& platform() = 0;
};

std::unique_ptr<NativePlatform> makeNativePlatform();

}  // namespace larkspire::platform
