// Frame comparison, the pairing rule and finding an observed element again.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "computer/windows/window_resolution.h"

namespace larkspire::computer {
namespace {

using platform::Rect;

TEST(SameWindowBounds, ToleranceIsStrictlyUnderOnePoint) {
  Rect base{{100, 50}, {800, 600}};
  EXPECT_TRUE(sameWindowBounds(base, {{100.99, 49.01}, {800.99, 599.01}}));
  EXPECT_FALSE(sameWindowBounds(base, {{101, 50}, {800, 600}}));
  EXPECT_FALSE(sameWindowBounds(base, {{100, 49}, {800, 600}}));
  EXPECT_FALSE(sameWindowBounds(base, {{100, 50}, {801, 600}}));
  EXPECT_FALSE(sameWindowBounds(base, {{100, 50}, {800, 599}}));
}

TEST(SameWindowBounds, ComparesNormalisedRectangles) {
  EXPECT_TRUE(sameWindowBounds({{900, 650}, {-800, -600}}, {{100, 50}, {800, 600}}));
  EXPECT_FALSE(sameWindowBounds({{100, 50}, {-800, 600}}, {{100, 50}, {800, 600}}));
}

TEST(UniqueWindowMatches, PairsOnlyUnambiguousWindows) {
  Rect a{{0, 0}, {400, 300}}, b{{500, 0}, {400, 300}}, c{{0, 400}, {200, 100}};
  // Captures a, a (stacked exactly), c; accessibility in another order.
  auto matches = uniqueWindowMatches({a, a, c}, {c, a, a});
  EXPECT_EQ(matches, (std::vector<WindowMatch>{{2, 0}}));

  EXPECT_EQ(uniqueWindowMatches({b, a}, {a, b}), (std::vector<WindowMatch>{{0, 1}, {1, 0}}));
  // One accessibility window fitting two captures leaves both captures out.
  EXPECT_TRUE(uniqueWindowMatches({a, {{0.5, 0}, {400, 300}}}, {a}).empty());
  // One capture fitting two accessibility windows is left out too.
  EXPECT_TRUE(uniqueWindowMatches({a}, {a, Rect{{0.5, 0}, {400, 300}}}).empty());
}

TEST(UniqueWindowMatches, OneUnreadableAccessibilityFrameBlocksEveryPair) {
  Rect a{{0, 0}, {400, 300}}, b{{500, 0}, {400, 300}};
  EXPECT_TRUE(uniqueWindowMatches({a, b}, {a, std::nullopt, b}).empty());
  EXPECT_TRUE(uniqueWindowMatches({}, {a}).empty());
}

TEST(ObservedReference, NeedsTheSameElementAndEqualMetadata) {
  using Meta = std::vector<std::string>;
  auto same = [](int a, int b) { return a % 10 == b % 10; };  // 3 and 13 are "the same element"
  std::vector<std::pair<int, Meta>> candidates{{4, {"AXButton", "OK"}}, {13, {"AXButton", "Cancel"}},
                                               {23, {"AXButton", "OK"}}, {3, {"AXButton", "OK"}}};
  EXPECT_EQ(observedReference(3, Meta{"AXButton", "OK"}, candidates, same), 23);
  EXPECT_EQ(observedReference(3, Meta{"AXButton", "Cancel"}, candidates, same), 13);
  EXPECT_EQ(observedReference(3, Meta{"AXButton", "Other"}, candidates, same), std::nullopt);
  EXPECT_EQ(observedReference(5, Meta{"AXButton", "OK"}, candidates, same), std::nullopt);
}

}  // namespace
}  // namespace larkspire::computer
