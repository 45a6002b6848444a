// The macOS desktop backend: the Accessibility interface (AXUIElement), Core
// Graphics events and session state, ScreenCaptureKit, AppKit (workspace,
// running applications, global event monitors, the shared application) and
// Foundation/Core Services for installed bundles. Each service is made by
// its own factory. Headers stay plain C++; Objective-C lives in .mm files.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace larkspire::macos_backend {

// State the services share.
struct MacContext {
  // Set once a global event monitor is installed: AppKit hands such events
  // out only from the shared application's own event loop, so the run loop
  // then runs that loop instead of the bare main run loop.
  std::atomic<bool> applicationEventLoop{false};
};

// Creates the shared application object; must run on the main thread.
void joinWindowServer();

std::unique_ptr<platform::Accessibility> makeAccessibility();
// The application an accessibility element belongs to: its process.
std::optional<std::string> applicationOf(const platform::Element& element);
// Makes the process multithreaded in Cocoa's sense, as Cocoa requires before
// it is used from a thread other than the main one; call on the main thread.
void becomeMultithreaded();
std::unique_ptr<platform::Workspace> makeWorkspace();
std::unique_ptr<platform::Bundles> makeBundles();
std::unique_ptr<platform::ScreenCapture> makeScreenCapture();
std::unique_ptr<platform::Session> makeSession();
std::unique_ptr<platform::Events> makeEvents();
std::unique_ptr<platform::Monitors> makeMonitors(MacContext& context);
std::unique_ptr<platform::Clock> makeClock();
std::unique_ptr<platform::RunLoop> makeRunLoop(MacContext& context);

}  // namespace larkspire::macos_backend
