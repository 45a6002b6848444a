#include "platform/macos/macos_platform.h"

namespace larkspire::platform {
namespace {

class MacNativePlatform final : public NativePlatform {
 public:
  MacNativePlatform()
      : services_{macos_backend::makeClock(),         macos_backend::makeRunLoop(context_),
                  macos_backend::makeAccessibility(), macos_backend::applicationOf,
                  macos_backend::makeWorkspace(),     macos_backend::makeBundles(),
                  macos_backend::makeScreenCapture(), macos_backend::makeSession(),
                  macos_backend::makeEvents(),        macos_backend::makeMonitors(context_)} {}

  Platform& platform() override { return services_.platform(); }

 private:
  macos_backend::MacContext context_;  // before the services, which keep references to it
  OwnedServices services_;
};

}  // namespace

// Both programs make their platform on the main thread, first thing; the
// shared application object exists, and Cocoa knows the process has
// threads, before any operation runs (the computer tool runs requests on a
// worker thread).
std::unique_ptr<NativePlatform> makeNativePlatform() {
  macos_backend::becomeMultithreaded();
  macos_backend::joinWindowServer();
  return std::make_unique<MacNativePlatform>();
}

}  // namespace larkspire::platform
