// Which parts of a window the screen does not show as the window's own.
#pragma once

#include <vector>

namespace larkspire::linux_backend {

// A rectangle of whole pixels.
struct PixelRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool operator==(const PixelRect&) const = default;
};

// The parts of `frame` (screen coordinates) that lie off `screen` or under
// a window stacked above it (`above`, their outer rectangles), as disjoint
// rectangles relative to the frame's top-left corner, top to bottom, left
// to right. Empty when the screen shows the whole frame.
std::vector<PixelRect> hiddenParts(const PixelRect& frame, const PixelRect& screen,
                                   const std::vector<PixelRect>& above);

}  // namespace larkspire::linux_backend
