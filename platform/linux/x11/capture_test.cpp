// Which part of a drawable a window's picture is read from.
#include "platform/linux/x11/capture.h"

#include <gtest/gtest.h>

namespace larkspire::linux_backend {
namespace {

TEST(ReadableBoxTest, KeepsThePartOfThePictureTheDrawableHolds) {
  // Wholly inside: the picture itself.
  EXPECT_EQ(readableBox(10, 20, 100, 50, 1600, 1000), (PixelBox{10, 20, 110, 70}));
  // A window hanging off the top-left and the bottom-right of the screen.
  EXPECT_EQ(readableBox(-30, -5, 100, 50, 1600, 1000), (PixelBox{0, 0, 70, 45}));
  EXPECT_EQ(readableBox(1550, 980, 100, 50, 1600, 1000), (PixelBox{1550, 980, 1600, 1000}));
  // A frame larger than the window's pixmap on every side.
  EXPECT_EQ(readableBox(-2, -20, 604, 430, 600, 400), (PixelBox{0, 0, 600, 400}));
}

TEST(ReadableBoxTest, IsNoneWhenThePictureLiesWhollyOutside) {
  EXPECT_EQ(readableBox(1600, 0, 100, 50, 1600, 1000), std::nullopt);
  EXPECT_EQ(readableBox(0, -50, 100, 50, 1600, 1000), std::nullopt);
  EXPECT_EQ(readableBox(-100, 10, 100, 50, 1600, 1000), std::nullopt);
}

}  // namespace
}  // namespace larkspire::linux_backend
