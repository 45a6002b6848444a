#include "platform/linux/linux_platform.h"
#include "platform/linux/linux_run_loop.h"
#include "platform/linux/x11/borrowed_keys.h"

namespace larkspire::platform {
namespace {

// The clock and the run loop come first: the services that wait or watch
// are given them.
OwnedServices makeServices(linux_backend::LinuxContext& context) {
  std::unique_ptr<Clock> clock = linux_backend::makeClock();
  std::unique_ptr<linux_backend::LinuxRunLoop> runLoop = linux_backend::makeRunLoop(*clock);
  Clock& time = *clock;
  linux_backend::LinuxRunLoop& loop = *runLoop;
  return {std::move(clock),
          std::move(runLoop),
          linux_backend::makeAccessibility(context),
          linux_backend::applicationOf,
          linux_backend::makeWorkspace(context, time),
          linux_backend::makeBundles(context),
          linux_backend::makeScreenCapture(context, time),
          linux_backend::makeSession(context),
          linux_backend::makeEvents(context, time),
          linux_backend::makeMonitors(context, loop)};
}

class LinuxNativePlatform final : public NativePlatform {
 public:
  // Nearly every request needs both buses; they connect while the display
  // opens and the request begins.
  LinuxNativePlatform() : services_(makeServices(context_)) { context_.connectBusesAhead(); }

  Platform& platform() override { return services_.platform(); }
  void releaseBeforeExit() override { linux_backend::giveBackBorrowedKeysBeforeExit(); }

 private:
  linux_backend::LinuxContext context_;  // before the services, which keep references to it
  OwnedServices services_;
};

}  // namespace

std::unique_ptr<NativePlatform> makeNativePlatform() {
  linux_backend::silenceLibraryMessages();
  return std::make_unique<LinuxNativePlatform>();
}

}  // namespace larkspire::platform
