// Placeholder: X11 window listing, capture, scaling and PNG land here.
#include "platform/linux/linux_platform.h"

namespace larkspire::linux_backend {
namespace {
using namespace platform;
class Stub final : public ScreenCapture {
 public:
  explicit Stub(LinuxContext& c) : c_(c) {}
  bool preflightScreenCaptureAccess() override { return screenCaptureAvailable(c_); }
  bool requestScreenCaptureAccess() override { return screenCaptureAvailable(c_); }
  std::vector<ShareableWindow> shareableContent(bool, bool) override { throw PlatformError("not available"); }
  CapturedImage captureWindow(const ShareableWindow&, const CaptureConfiguration&) override {
    throw PlatformError("not available");
  }
  std::optional<std::vector<std::uint8_t>> pngData(const CapturedImage&) override { return std::nullopt; }

 private:
  LinuxContext& c_;
};
class StubSession final : public Session {
 public:
  std::optional<std::map<std::string, Value>> currentDictionary() override { return std::nullopt; }
};
}  // namespace
std::unique_ptr<ScreenCapture> makeScreenCapture(LinuxContext& context) { return std::make_unique<Stub>(context); }
std::unique_ptr<Session> makeSession(LinuxContext&) { return std::make_unique<StubSession>(); }
}  // namespace larkspire::linux_backend
