#include "platform/linux/linux_platform.h"
#include "platform/linux/x11/borrowed_keys.h"

namespace larkspire::platform {
namespace {

class LinuxNativePlatform final : public NativePlatform {
 public:
  LinuxNativePlatform()
      : services_{linux_backend::makeClock(),
                  linux_backend::makeRunLoop(context_),
                  linux_backend::makeAccessibility(context_),
                  linux_backend::applicationOf,
                  linux_backend::makeWorkspace(context_),
                  linux_backend::makeBundles(context_),
                  linux_backend::makeScreenCapture(context_),
                  linux_backend::makeSession(context_),
                  linux_backend::makeEvents(context_),
                  linux_backend::makeMonitors(context_)} {}

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
