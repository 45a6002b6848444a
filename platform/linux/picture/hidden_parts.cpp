#include "platform/linux/picture/hidden_parts.h"

#include <pixman.h>

namespace larkspire::linux_backend {
namespace {

// A pixman region that frees itself.
class Region {
 public:
  Region() { pixman_region32_init(&region_); }
  explicit Region(const PixelRect& r) {
    if (r.width > 0 && r.height > 0) {
      pixman_region32_init_rect(&region_, r.x, r.y, static_cast<unsigned>(r.width), static_cast<unsigned>(r.height));
    } else {
      pixman_region32_init(&region_);
    }
  }
  ~Region() { pixman_region32_fini(&region_); }
  Region(const Region&) = delete;
  Region& operator=(const Region&) = delete;

  pixman_region32_t* get() { return &region_; }

 private:
  pixman_region32_t region_;
};

}  // namespace

std::vector<PixelRect> hiddenParts(const PixelRect& frame, const PixelRect& screen,
                                   const std::vector<PixelRect>& above) {
  Region whole(frame);
  Region shown(frame);
  Region onScreen(screen);
  pixman_region32_intersect(shown.get(), shown.get(), onScreen.get());
  for (const PixelRect& window : above) {
    Region covering(window);
    pixman_region32_subtract(shown.get(), shown.get(), covering.get());
  }
  Region hidden;
  pixman_region32_subtract(hidden.get(), whole.get(), shown.get());
  pixman_region32_translate(hidden.get(), -frame.x, -frame.y);
  int count = 0;
  const pixman_box32_t* boxes = pixman_region32_rectangles(hidden.get(), &count);
  std::vector<PixelRect> parts;
  for (int i = 0; i < count; ++i) {
    parts.push_back({boxes[i].x1, boxes[i].y1, boxes[i].x2 - boxes[i].x1, boxes[i].y2 - boxes[i].y1});
  }
  return parts;
}

}  // namespace larkspire::linux_backend
