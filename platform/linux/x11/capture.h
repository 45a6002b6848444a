// The X11 screen-capture service, for callers that bring their own display
// (benchmarks and probes); the programs use makeScreenCapture of
// linux_platform.h, which takes it from the LinuxContext.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/run_loop.h"
#include "platform/screen_capture.h"

typedef struct _XDisplay Display;

namespace larkspire::linux_backend {

// `display` is asked on every call (null: no display); `available` answers
// the permission questions; the wait for repainted windows is measured on
// `clock`.
std::unique_ptr<platform::ScreenCapture> makeX11ScreenCapture(std::function<Display*()> display,
                                                              std::function<bool()> available, platform::Clock& clock);

// A window's pixels as read, before they are scaled: the native form of
// the pictures this service captures (their `rgba` stays empty). The
// picture is made from them as its PNG is encoded. Rows of width * 4
// bytes: RGBA, or where `serverOrder`, as the server stores opaque pixels
// (B, G, R and an unused byte), read into memory shared with it and kept.
struct WindowPixels {
  int width = 0;
  int height = 0;
  bool serverOrder = false;
  std::shared_ptr<const std::uint8_t> bytes;
};

// The RGBA pixels of a picture this service captured, scaled to its size:
// for callers that want the pixels themselves rather than a PNG. Empty
// when the picture holds none.
std::vector<std::uint8_t> pictureRgba(const platform::CapturedImage& image);

// The rectangle of a drawable that holds part of a picture: the picture is
// width x height with its top-left corner at (originX, originY) of a
// drawable of sourceWidth x sourceHeight. In the drawable's coordinates,
// x1 and y1 past the end; none when the two do not meet.
struct PixelBox {
  int x0 = 0;
  int y0 = 0;
  int x1 = 0;
  int y1 = 0;
  bool operator==(const PixelBox&) const = default;
};
std::optional<PixelBox> readableBox(int originX, int originY, int width, int height, int sourceWidth, int sourceHeight);

}  // namespace larkspire::linux_backend
