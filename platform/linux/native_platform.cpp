#include "platform/linux/linux_platform.h"

namespace larkspire::platform {
namespace {

class LinuxNativePlatform final : public NativePlatform {
 public:
  LinuxNativePlatform()
      : clock_(linux_backend::makeClock()),
        runLoop_(linux_backend::makeRunLoop(context_)),
        accessibility_(linux_backend::makeAccessibility(context_)),
        workspace_(linux_backend::makeWorkspace(context_)),
        bundles_(linux_backend::makeBundles(context_)),
        screenCapture_(linux_backend::makeScreenCapture(context_)),
        session_(linux_backend::makeSession(context_)),
        events_(linux_backend::makeEvents(context_)),
        monitors_(linux_backend::makeMonitors(context_)),
        platform_{*accessibility_, *workspace_, *bundles_, *screenCapture_, *session_,
                  *events_,        *monitors_,  *clock_,   *runLoop_} {}

  Platform& platform() override { return platform_; }

 private:
  linux_backend::LinuxContext context_;
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

std::unique_ptr<NativePlatform> makeNativePlatform() {
  linux_backend::silenceLibraryMessages();
  return std::make_unique<LinuxNativePlatform>();
}

}  // namespace larkspire::platform
