// The observation: capture size, snapshot identifiers, and the whole
// operation on the simulated desktop.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "computer/windows/observation.h"

namespace larkspire::computer {
namespace {

TEST(CaptureSize, LongerSideIs1600AndScaleAtMostTwo) {
  EXPECT_EQ(captureSize(400, 300), (PixelSize{800, 600}));
  EXPECT_EQ(captureSize(3200, 1800), (PixelSize{1600, 900}));
  EXPECT_EQ(captureSize(1000, 1000), (PixelSize{1600, 1600}));
  EXPECT_EQ(captureSize(0.5, 3000), (PixelSize{1, 1600}));
  EXPECT_EQ(captureSize(800, 10), (PixelSize{1600, 20}));
  EXPECT_EQ(captureSize(0.2, 0.3), (PixelSize{1, 1}));
  // 1033.07 * (1600 / 1033.07) is 1599.999... in floating point.
  EXPECT_EQ(captureSize(1033.07, 500).width, 1600);
  EXPECT_EQ(captureSize(3000, 1000.5).height, 533);
}

TEST(SnapshotId, IsAnUppercaseVersion4UuidAndFreshEachTime) {
  auto wellFormed = [](const std::string& id) {
    if (id.size() != 36) return false;
    for (std::size_t i = 0; i < id.size(); ++i) {
      bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
      bool hex = (id[i] >= '0' && id[i] <= '9') || (id[i] >= 'A' && id[i] <= 'F');
      if (hyphen ? id[i] != '-' : !hex) return false;
    }
    return id[14] == '4' && std::string("89AB").find(id[19]) != std::string::npos;
  };
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    auto id = newSnapshotId();
    EXPECT_TRUE(wellFormed(id)) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 100u);
}

}  // namespace
}  // namespace larkspire::computer
