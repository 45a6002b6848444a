// The services a program reaches the desktop through, wired once in main.
#pragma once

#include <memory>
#include <utility>

#include "platform/accessibility.h"
#include "platform/bundles.h"
#include "platform/events.h"
#include "platform/hung_application_guard.h"
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

// Owns one of each service and the Platform that refers to them. Built with
// braces, the services are made in the order of the parameters. Calls to
// accessibility go through a HungApplicationGuard, which tells applications
// apart with `applicationOf`.
class OwnedServices {
 public:
  OwnedServices(std::unique_ptr<Clock> clock, std::unique_ptr<RunLoop> runLoop,
                std::unique_ptr<Accessibility> accessibility, HungApplicationGuard::ApplicationOf applicationOf,
                std::unique_ptr<Workspace> workspace, std::unique_ptr<Bundles> bundles,
                std::unique_ptr<ScreenCapture> screenCapture, std::unique_ptr<Session> session,
                std::unique_ptr<Events> events, std::unique_ptr<Monitors> monitors)
      : clock_(std::move(clock)),
        runLoop_(std::move(runLoop)),
        accessibility_(
            std::make_unique<HungApplicationGuard>(std::move(accessibility), *clock_, std::move(applicationOf))),
        workspace_(std::move(workspace)),
        bundles_(std::move(bundles)),
        screenCapture_(std::move(screenCapture)),
        session_(std::move(session)),
        events_(std::move(events)),
        monitors_(std::move(monitors)),
        platform_{*accessibility_, *workspace_, *bundles_, *screenCapture_, *session_,
                  *events_,        *monitors_,  *clock_,   *runLoop_} {}
  OwnedServices(const OwnedServices&) = delete;
  OwnedServices& operator=(const OwnedServices&) = delete;

  Platform& platform() { return platform_; }

 private:
  std::unique_ptr<Clock> clock_;
  std::unique_ptr<RunLoop> runLoop_;
  std::unique_ptr<Accessibility> accessibility_;
  std::unique_ptr<Workspace> workspace_;
  std::unique_ptr<Bundles> bundles_;
  std::unique_ptr<ScreenCapture> screenCapture_;
  std::unique_ptr<Session> session_;
  std::unique_ptr<Events> events_;
  std::unique_ptr<Monitors> monitors_;
  Platform platform_;
};

// The desktop of the machine the program was built for. Defined once per
// operating system (platform/linux, platform/macos).
class NativePlatform {
 public:
  virtual ~NativePlatform() = default;
  virtual Platform& platform() = 0;
  // Gives back what the platform borrowed from the desktop for a while (on
  // X11, spare keycodes bound for typing), when the process is about to end
  // while an operation may still be running. Callable from any thread.
  virtual void releaseBeforeExit() {}
};

std::unique_ptr<NativePlatform> makeNativePlatform();

}  // namespace larkspire::platform
