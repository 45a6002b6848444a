#include "platform/macos/macos_platform.h"

namespace larkspire::platform {
namespace {

class MacNativePlatform final : public NativePlatform {
 public:
  MacNativePlatform()
      : clock_(macos_backend::makeClock()),
        runLoop_(macos_backend::makeRunLoop(context_)),
        accessibility_(macos_backend::makeAccessibility()),
        workspace_(macos_backend::makeWorkspace()),
        bundles_(macos_backend::makeBundles()),
        screenCapture_(macos_backend::makeScreenCapture()),
        session_(macos_backend::makeSession()),
        events_(macos_backend::makeEvents()),
        monitors_(macos_backend::makeMonitors(context_)),
        platform_{*accessibility_, *workspace_, *bundles_, *screenCapture_, *session_,
                  *events_,        *monitors_,  *clock_,   *runLoop_} {}

  Platform& platform() override { return platform_; }

 private:
  macos_backend::MacContext context_;
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

}  // namespace

// Both programs make their platform on the main thread, first thing; the
// shared application object exists before any operation runs.
std::unique_ptr<NativePlatform> makeNativePlatform() {
  macos_backend::joinWindowServer();
  return std::make_unique<MacNativePlatform>();
}

}  // namespace larkspire::platform
