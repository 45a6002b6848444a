#include "platform/linux/screenshot_png.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdint>
#include <vector>

namespace larkspire::linux_backend {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Decodes with libpng's simplified reader, independent of the writer's code.
Bytes decodeRgba(const Bytes& file, int& width, int& height, bool& hasAlpha) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) return {};
  width = static_cast<int>(image.width);
  height = static_cast<int>(image.height);
  hasAlpha = (image.format & PNG_FORMAT_FLAG_ALPHA) != 0;
  image.format = PNG_FORMAT_RGBA;
  Bytes pixels(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return {};
  return pixels;
}

Bytes pattern(int width, int height, bool opaque) {
  Bytes rgba;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      rgba.push_back(static_cast<std::uint8_t>(x * 37 + y));
      rgba.push_back(static_cast<std::uint8_t>(y * 11));
      rgba.push_back(static_cast<std::uint8_t>((x ^ y) * 5));
      rgba.push_back(opaque ? 255 : static_cast<std::uint8_t>(x * 60));
    }
  }
  return rgba;
}

TEST(ScreenshotPng, OpaquePicturesRoundTripAsRgb) {
  const Bytes rgba = pattern(7, 5, true);
  auto file = encodeScreenshotPng(rgba.data(), 7, 5, true);
  ASSERT_TRUE(file);
  int width = 0, height = 0;
  bool hasAlpha = true;
  EXPECT_EQ(decodeRgba(*file, width, height, hasAlpha), rgba);
  EXPECT_EQ(width, 7);
  EXPECT_EQ(height, 5);
  EXPECT_FALSE(hasAlpha);
}

TEST(ScreenshotPng, TransparencyIsKept) {
  const Bytes rgba = pattern(4, 3, false);
  auto file = encodeScreenshotPng(rgba.data(), 4, 3, false);
  ASSERT_TRUE(file);
  int width = 0, height = 0;
  bool hasAlpha = false;
  EXPECT_EQ(decodeRgba(*file, width, height, hasAlpha), rgba);
  EXPECT_TRUE(hasAlpha);
}

TEST(ScreenshotPng, LargePictureRoundTrips) {
  const Bytes rgba = pattern(1600, 40, true);
  auto file = encodeScreenshotPng(rgba.data(), 1600, 40, true);
  ASSERT_TRUE(file);
  int width = 0, height = 0;
  bool hasAlpha = false;
  EXPECT_EQ(decodeRgba(*file, width, height, hasAlpha), rgba);
}

TEST(ScreenshotPng, EmptyPicturesGiveNothing) {
  const Bytes rgba(16, 0);
  EXPECT_FALSE(encodeScreenshotPng(rgba.data(), 0, 4, true));
  EXPECT_FALSE(encodeScreenshotPng(rgba.data(), 2, -1, true));
  EXPECT_FALSE(encodeScreenshotPng(nullptr, 2, 2, true));
}

}  // namespace
}  // namespace larkspire::linux_backend
