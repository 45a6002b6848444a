#include "platform/linux/picture/x11_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace larkspire::linux_backend {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(X11ImageConversion, CommonLittleEndianTrueColour) {
  // Two pixels, B G R X in memory, then two bytes of row padding.
  const Bytes data = {0x30, 0x20, 0x10, 0x00, 0xff, 0x80, 0x01, 0x99, 0xee, 0xee};
  PixelLayout layout;
  layout.bytesPerLine = 10;
  Bytes out;
  ASSERT_TRUE(convertToRgba(data.data(), 2, 1, layout, out));
  EXPECT_EQ(out, (Bytes{0x10, 0x20, 0x30, 255, 0x01, 0x80, 0xff, 255}));
}

TEST(X11ImageConversion, RowsFollowBytesPerLine) {
  PixelLayout layout;
  layout.bytesPerLine = 8;  // one pixel of padding per row
  const Bytes data = {1, 2, 3, 0, 9, 9, 9, 9, 4, 5, 6, 0, 9, 9, 9, 9};
  Bytes out;
  ASSERT_TRUE(convertToRgba(data.data(), 1, 2, layout, out));
  EXPECT_EQ(out, (Bytes{3, 2, 1, 255, 6, 5, 4, 255}));

  // Written in place into a wider picture: each row at its stride, and
  // nothing around the rows touched.
  Bytes picture(3 * 12, 7);
  ASSERT_TRUE(convertToRgba(data.data(), 1, 2, layout, picture.data() + 12 + 4, 12));
  Bytes expected(3 * 12, 7);
  std::copy(out.begin(), out.begin() + 4, expected.begin() + 16);
  std::copy(out.begin() + 4, out.end(), expected.begin() + 28);
  EXPECT_EQ(picture, expected);
}

TEST(X11ImageConversion, BigEndianServerAndSwappedMasks) {
  // MSBFirst 32-bit pixel 0x00112233 with red in the low byte (BGR visual).
  PixelLayout layout;
  layout.msbFirst = true;
  layout.bytesPerLine = 4;
  layout.redMask = 0x0000ff;
  layout.greenMask = 0x00ff00;
  layout.blueMask = 0xff0000;
  const Bytes data = {0x00, 0x11, 0x22, 0x33};
  Bytes out;
  ASSERT_TRUE(convertToRgba(data.data(), 1, 1, layout, out));
  EXPECT_EQ(out, (Bytes{0x33, 0x22, 0x11, 255}));
}

TEST(X11ImageConversion, Rgb565WidensToFullRange) {
  PixelLayout layout;
  layout.bitsPerPixel = 16;
  layout.depth = 16;
  layout.bytesPerLine = 6;
  layout.redMask = 0xf800;
  layout.greenMask = 0x07e0;
  layout.blueMask = 0x001f;
  // white, black, pure red with half green (0b100000) and blue 1.
  const std::uint16_t pixels[3] = {0xffff, 0x0000, static_cast<std::uint16_t>(0xf800 | (0x20 << 5) | 0x01)};
  Bytes data;
  for (auto p : pixels)
    data.insert(data.end(), {static_cast<std::uint8_t>(p & 0xff), static_cast<std::uint8_t>(p >> 8)});
  Bytes out;
  ASSERT_TRUE(convertToRgba(data.data(), 3, 1, layout, out));
  EXPECT_EQ(out, (Bytes{255, 255, 255, 255, 0, 0, 0, 255, 255, 130, 8, 255}));
}

TEST(X11ImageConversion, Packed24BitPixels) {
  PixelLayout layout;
  layout.bitsPerPixel = 24;
  layout.bytesPerLine = 6;
  const Bytes data = {0x03, 0x02, 0x01, 0xc0, 0xb0, 0xa0};
  Bytes out;
  ASSERT_TRUE(convertToRgba(data.data(), 2, 1, layout, out));
  EXPECT_EQ(out, (Bytes{1, 2, 3, 255, 0xa0, 0xb0, 0xc0, 255}));
}

TEST(X11ImageConversion, ArgbVisualTakesAlphaAndUnpremultiplies) {
  PixelLayout layout;
  layout.depth = 32;
  layout.bytesPerLine = 12;
  EXPECT_EQ(alphaMask(layout), 0xff000000u);
  // Half-transparent premultiplied B 0x10, G 0x20, R 0x40 -> straight
  // 0x20, 0x40, 0x80; fully transparent; opaque.
  const Bytes data = {0x10, 0x20, 0x40, 0x80, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0xff};
  Bytes out;
  ASSERT_TRUE(convertToRgba(data.data(), 3, 1, layout, out));
  EXPECT_EQ(out, (Bytes{0x80, 0x40, 0x20, 0x80, 0, 0, 0, 0, 3, 2, 1, 255}));
}

TEST(X11ImageConversion, Depth24IgnoresTheUnusedByte) {
  PixelLayout layout;
  layout.bytesPerLine = 4;
  EXPECT_EQ(alphaMask(layout), 0u);
  const Bytes data = {0x01, 0x02, 0x03, 0x00};
  Bytes out;
  ASSERT_TRUE(convertToRgba(data.data(), 1, 1, layout, out));
  EXPECT_EQ(out[3], 255);
}

TEST(X11ImageConversion, OnlyUnpaddedOpaqueBgrxRowsAreUsedAsTheServerWroteThem) {
  PixelLayout layout;
  layout.bytesPerLine = 40;
  EXPECT_TRUE(opaqueServerOrder(layout, 10));
  EXPECT_FALSE(opaqueServerOrder(layout, 9)) << "padded rows";
  PixelLayout argb = layout;
  argb.depth = 32;
  EXPECT_FALSE(opaqueServerOrder(argb, 10)) << "alpha";
  PixelLayout swapped = layout;
  swapped.redMask = 0x0000ff;
  swapped.blueMask = 0xff0000;
  EXPECT_FALSE(opaqueServerOrder(swapped, 10)) << "R, G, B in memory";
  PixelLayout bigEndian = layout;
  bigEndian.msbFirst = true;
  EXPECT_FALSE(opaqueServerOrder(bigEndian, 10)) << "most significant byte first";
  PixelLayout packed = layout;
  packed.bitsPerPixel = 24;
  packed.bytesPerLine = 30;
  EXPECT_FALSE(opaqueServerOrder(packed, 10)) << "24-bit pixels";
}

TEST(X11ImageConversion, RefusesLayoutsItCannotRead) {
  Bytes out = {7};
  const Bytes data(64, 0);
  PixelLayout layout;
  layout.bytesPerLine = 4;
  EXPECT_FALSE(convertToRgba(data.data(), 2, 1, layout, out)) << "rows shorter than the width";
  layout.bytesPerLine = 16;
  layout.bitsPerPixel = 12;
  EXPECT_FALSE(convertToRgba(data.data(), 2, 1, layout, out)) << "odd pixel size";
  layout.bitsPerPixel = 16;
  EXPECT_FALSE(convertToRgba(data.data(), 2, 1, layout, out)) << "masks wider than the pixel";
  layout.bitsPerPixel = 32;
  layout.greenMask = 0;
  EXPECT_FALSE(convertToRgba(data.data(), 2, 1, layout, out)) << "missing channel";
  EXPECT_EQ(out, Bytes{7});
}

}  // namespace
}  // namespace larkspire::linux_backend
