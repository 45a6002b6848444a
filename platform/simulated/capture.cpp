// Screen capture of the simulated windows, and the login session.
#include <algorithm>

#include "common/png.h"
#include "platform/simulated/internal.h"

namespace larkspire::simulated {

namespace {
// Larger pictures are refused like a failed capture, so that a wrong scale
// in the code under test shows as an error instead of exhausting memory.
constexpr int kLargestCaptureSide = 16384;
}  // namespace

class SimScreenCapture final : public platform::ScreenCapture {
 public:
  explicit SimScreenCapture(Desktop& desktop) : desktop_(desktop) {}

  bool preflightScreenCaptureAccess() override {
    return desktop_.screenRecordingGranted && !desktop_.captureServiceFailed;
  }
  platform::PermissionState screenCaptureState() override {
    if (desktop_.captureServiceFailed) return platform::PermissionState::serviceFailed;
    return desktop_.screenRecordingGranted ? platform::PermissionState::granted : platform::PermissionState::notGranted;
  }

  bool requestScreenCaptureAccess() override {
    ++desktop_.screenCaptureRequests;
    return desktop_.screenRecordingGranted;
  }

  std::vector<platform::ShareableWindow> shareableContent(bool, bool) override {
    ++desktop_.shareableContentRequests;
    if (desktop_.shareableContentError) throw platform::PlatformError(*desktop_.shareableContentError);
    return currentWindows();
  }

  platform::CapturedImage captureWindow(const platform::ShareableWindow& window,
                                        const platform::CaptureConfiguration& configuration) override {
    desktop_.captures.push_back(configuration);
    if (desktop_.captureError) throw platform::PlatformError(*desktop_.captureError);
    const auto windows = currentWindows();
    if (std::none_of(windows.begin(), windows.end(), [&](const auto& w) { return w.windowID == window.windowID; }))
      throw platform::PlatformError("The window is no longer available.");
    const int w = configuration.width;
    const int h = configuration.height;
    if (w <= 0 || h <= 0 || w > kLargestCaptureSide || h > kLargestCaptureSide)
      throw platform::PlatformError("The capture size is invalid.");

    platform::CapturedImage image;
    image.width = w;
    image.height = h;
    image.rgba.resize(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4);
    // A horizontal and a vertical ramp, tinted by the window number, so that
    // tests can tell pictures of different windows and sizes apart.
    auto* pixel = image.rgba.data();
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        *pixel++ = static_cast<std::uint8_t>(x * 255 / std::max(1, w - 1));
        *pixel++ = static_cast<std::uint8_t>(y * 255 / std::max(1, h - 1));
        *pixel++ = static_cast<std::uint8_t>(window.windowID * 37u);
        *pixel++ = 255;
      }
    }
    return image;
  }

  std::optional<std::vector<std::uint8_t>> pngData(const platform::CapturedImage& image) override {
    if (desktop_.pngOverride) return *desktop_.pngOverride;
    const auto expected =
        static_cast<std::size_t>(std::max(0, image.width)) * static_cast<std::size_t>(std::max(0, image.height)) * 4;
    if (image.rgba.size() != expected) return std::nullopt;
    return png::encodePng(image.rgba.data(), image.width, image.height);
  }

  bool capturesAlongsideAccessibility() const override { return desktop_.capturesAlongsideAccessibility; }

  std::optional<std::uint32_t> windowAtPoint(Point point) override {
    if (std::none_of(desktop_.screens.begin(), desktop_.screens.end(),
                     [&](const Rect& screen) { return platform::containsPoint(screen, point); })) {
      return std::nullopt;
    }
    // A higher layer lies on top; within a layer, the window added later.
    std::optional<platform::ShareableWindow> top;
    for (const auto& window : currentWindows()) {
      if (platform::containsPoint(window.frame, point) && (!top || window.layer >= top->layer)) top = window;
    }
    if (!top) return std::nullopt;
    return top->windowID;
  }

 private:
  std::vector<platform::ShareableWindow> currentWindows() {
    std::vector<platform::ShareableWindow> list;
    for (const auto& entry : desktop_.impl_->captureOrder) {
      if (entry.owner && (!entry.owner->shareable_ || entry.owner->app_->terminated())) continue;
      list.push_back(*entry.window);
    }
    return list;
  }

  Desktop& desktop_;
};

class SimSession final : public platform::Session {
 public:
  explicit SimSession(Desktop& desktop) : desktop_(desktop) {}
  std::optional<std::map<std::string, Value>> currentDictionary() override { return desktop_.sessionDictionary; }
  std::optional<std::string> desktopGone(bool) override { return desktop_.desktopGone; }

 private:
  Desktop& desktop_;
};

std::unique_ptr<platform::ScreenCapture> makeScreenCapture(Desktop& desktop) {
  return std::make_unique<SimScreenCapture>(desktop);
}

std::unique_ptr<platform::Session> makeSession(Desktop& desktop) { return std::make_unique<SimSession>(desktop); }

}  // namespace larkspire::simulated
