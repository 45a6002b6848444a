#include "platform/values.h"

#include <algorithm>
#include <cmath>

namespace larkspire::platform {

double minX(const Rect& r) { return std::min(r.origin.x, r.origin.x + r.size.width); }
double minY(const Rect& r) { return std::min(r.origin.y, r.origin.y + r.size.height); }
double maxX(const Rect& r) { return std::max(r.origin.x, r.origin.x + r.size.width); }
double maxY(const Rect& r) { return std::max(r.origin.y, r.origin.y + r.size.height); }
double width(const Rect& r) { return std::fabs(r.size.width); }
double height(const Rect& r) { return std::fabs(r.size.height); }
double midX(const Rect& r) { return (minX(r) + maxX(r)) * 0.5; }
double midY(const Rect& r) { return (minY(r) + maxY(r)) * 0.5; }

bool isNullOrEmpty(const Rect& r) {
  return std::isnan(r.origin.x) || std::isnan(r.origin.y) || !(width(r) > 0) || !(height(r) > 0);
}

bool intersects(const Rect& a, const Rect& b) {
  if (isNullOrEmpty(a) || isNullOrEmpty(b)) return false;
  return minX(a) < maxX(b) && minX(b) < maxX(a) && minY(a) < maxY(b) && minY(b) < maxY(a);
}

bool containsPoint(const Rect& r, Point p) {
  if (isNullOrEmpty(r)) return false;
  return p.x >= minX(r) && p.x < maxX(r) && p.y >= minY(r) && p.y < maxY(r);
}

}  // namespace larkspire::platform
