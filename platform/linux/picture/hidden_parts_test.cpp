// The parts of a window to wait for after it is redirected.
#include "platform/linux/picture/hidden_parts.h"

#include <gtest/gtest.h>

namespace larkspire::linux_backend {
namespace {

const PixelRect kScreen{0, 0, 1600, 1000};

TEST(HiddenParts, NoneWhenTheWholeFrameIsOnScreenAndUncovered) {
  EXPECT_TRUE(hiddenParts({100, 50, 600, 400}, kScreen, {}).empty());
  // Windows above that do not meet it, or only touch its edge.
  EXPECT_TRUE(hiddenParts({100, 50, 600, 400}, kScreen, {{700, 50, 200, 200}, {0, 0, 100, 1000}}).empty());
  // The frame filling the screen exactly.
  EXPECT_TRUE(hiddenParts(kScreen, kScreen, {}).empty());
}

TEST(HiddenParts, CoveredPartsInFrameCoordinates) {
  // One window over the middle, one over the bottom-right corner and past it.
  const auto parts = hiddenParts({100, 50, 600, 400}, kScreen, {{200, 150, 100, 50}, {650, 400, 300, 300}});
  EXPECT_EQ(parts, (std::vector<PixelRect>{{100, 100, 100, 50}, {550, 350, 50, 50}}));
}

TEST(HiddenParts, PartsOffTheScreenAreHidden) {
  // Hanging off the left and the bottom edge.
  const auto parts = hiddenParts({-30, 900, 200, 150}, kScreen, {});
  EXPECT_EQ(parts, (std::vector<PixelRect>{{0, 0, 30, 100}, {0, 100, 200, 50}}));
  // Wholly off the screen: all of it.
  EXPECT_EQ(hiddenParts({1700, 10, 50, 40}, kScreen, {}), (std::vector<PixelRect>{{0, 0, 50, 40}}));
}

TEST(HiddenParts, OverlappingCoversCountOnceAndAWholeCoverHidesAll) {
  const auto parts = hiddenParts({0, 0, 100, 100}, kScreen, {{10, 10, 50, 50}, {30, 30, 50, 50}});
  long area = 0;
  for (const auto& p : parts) area += static_cast<long>(p.width) * p.height;
  EXPECT_EQ(area, 50 * 50 * 2 - 30 * 30);
  EXPECT_EQ(hiddenParts({10, 10, 100, 100}, kScreen, {{0, 0, 500, 500}}), (std::vector<PixelRect>{{0, 0, 100, 100}}));
}

}  // namespace
}  // namespace larkspire::linux_backend
