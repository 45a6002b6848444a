// Screen-capture permission, shareable windows, one-window capture, PNG.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/values.h"

namespace larkspire::platform {

struct ShareableWindow {
  std::optional<Pid> owningProcess;  // absent when no owning application is known
  int layer = 0;                     // 0 for normal windows; higher for panels, menus...
  Rect frame;                        // screen points, top-left origin
  // The window's inside without the decoration a window manager draws
  // around it, where that differs from the frame; some toolkits give this
  // to accessibility as the window's position and size.
  std::optional<Rect> contentFrame;
  std::uint32_t windowID = 0;
  std::optional<std::string> title;
  std::shared_ptr<const void> native;  // backend's own handle, if it needs one
};

// A captured picture of width x height pixels: 8-bit RGBA, row-major, no
// padding; or, where the backend keeps its own form of the image (from
// which pngData makes the PNG), that form, and no RGBA.
struct CapturedImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgba;
  std::shared_ptr<const void> native;  // backend's own image, if it keeps one
};

struct CaptureConfiguration {
  int width = 0;   // pixels
  int height = 0;  // pixels
  bool showsCursor = false;
  bool ignoreShadowsSingleWindow = true;
};

class ScreenCapture {
 public:
  virtual ~ScreenCapture() = default;

  virtual bool preflightScreenCaptureAccess() = 0;
  // The same, telling a permission not granted from a capture service that
  // is gone or does not answer.
  virtual PermissionState screenCaptureState() {
    return preflightScreenCaptureAccess() ? PermissionState::granted : PermissionState::notGranted;
  }
  // May prompt the user; the answer is the state at this instant.
  virtual bool requestScreenCaptureAccess() = 0;

  // Every window of every application; blocks until the content arrives.
  // Throws PlatformError when it cannot be obtained.
  virtual std::vector<ShareableWindow> shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) = 0;
  // Captures one window by itself at a pixel size. Throws PlatformError.
  virtual CapturedImage captureWindow(const ShareableWindow& window, const CaptureConfiguration& configuration) = 0;
  // PNG file bytes of an image, or none.
  virtual std::optional<std::vector<std::uint8_t>> pngData(const CapturedImage& image) = 0;
  // Whether shareableContent, captureWindow and pngData may run on a
  // thread of their own while the accessibility service is used on
  // another.
  virtual bool capturesAlongsideAccessibility() const { return false; }

  // The window a click at this screen point would reach: the number (as
  // shareableContent gives it) of the topmost window there, whatever its
  // layer; none when the point is on no screen or on no window.
  virtual std::optional<std::uint32_t> windowAtPoint(Point point) = 0;
};

}  // namespace larkspire::platform
