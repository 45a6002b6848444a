#include "platform/linux/picture/image_scale.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace larkspire::linux_backend {
namespace {

using Image = std::vector<std::uint8_t>;

// An image whose every channel of pixel (x, y) is value(x, y), alpha opaque.
template <typename F>
Image grey(int width, int height, F value) {
  Image image;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const auto v = static_cast<std::uint8_t>(value(x, y));
      image.insert(image.end(), {v, v, v, 255});
    }
  }
  return image;
}

int channel(const Image& image, int width, int x, int y, int c = 0) {
  return image[(static_cast<std::size_t>(y) * width + x) * 4 + c];
}

TEST(ImageScale, DownscaleAveragesEachCoveredBlock) {
  // 4x4 of four 2x2 blocks with distinct contents -> 2x2 of the block means.
  const Image src = grey(4, 4, [](int x, int y) {
    static const int values[4][4] = {{0, 10, 100, 100}, {20, 30, 100, 100}, {200, 200, 1, 2}, {202, 204, 3, 4}};
    return values[y][x];
  });
  const Image out = scaleRgba(src.data(), 4, 4, 2, 2);
  ASSERT_EQ(out.size(), 2u * 2u * 4u);
  EXPECT_EQ(channel(out, 2, 0, 0), 15);
  EXPECT_EQ(channel(out, 2, 1, 0), 100);
  EXPECT_EQ(channel(out, 2, 0, 1), 202);
  EXPECT_EQ(channel(out, 2, 1, 1), 3);  // 2.5 rounds up
  EXPECT_EQ(channel(out, 2, 1, 1, 3), 255);
}

TEST(ImageScale, DownscaleByFractionWeighsPartialPixels) {
  // 3 -> 2 columns: output 0 covers source 0 fully and half of 1.
  const Image src = grey(3, 1, [](int x, int) { return x == 0 ? 0 : (x == 1 ? 90 : 180); });
  const Image out = scaleRgba(src.data(), 3, 1, 2, 1);
  EXPECT_EQ(channel(out, 2, 0, 0), 30);   // (0*1 + 90*0.5) / 1.5
  EXPECT_EQ(channel(out, 2, 1, 0), 150);  // (90*0.5 + 180*1) / 1.5
}

TEST(ImageScale, FlatImagesStayFlatAtEverySize) {
  const Image src = grey(7, 5, [](int, int) { return 201; });
  for (auto [w, h] : {std::pair{3, 2}, {1, 1}, {13, 9}, {7, 1}, {2, 11}}) {
    const Image out = scaleRgba(src.data(), 7, 5, w, h);
    ASSERT_EQ(out.size(), static_cast<std::size_t>(w) * h * 4);
    for (std::size_t i = 0; i < out.size(); i += 4) {
      ASSERT_EQ(out[i], 201) << w << "x" << h << " at " << i / 4;
      ASSERT_EQ(out[i + 3], 255);
    }
  }
}

TEST(ImageScale, OnePixelOutputIsTheMeanOfEverything) {
  const Image src = grey(4, 2, [](int x, int y) { return x * 10 + y * 100; });
  const Image out = scaleRgba(src.data(), 4, 2, 1, 1);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[0], 65);  // mean of 0,10,20,30,100,110,120,130
}

TEST(ImageScale, LargeReductionsWeighEveryPixelAlike) {
  // 100 bright pixels out of 1000: the mean is 25.5, wherever they sit.
  for (int start : {0, 450, 900}) {
    const Image src = grey(1000, 1, [start](int x, int) { return x >= start && x < start + 100 ? 255 : 0; });
    const Image out = scaleRgba(src.data(), 1000, 1, 1, 1);
    EXPECT_NEAR(out[0], 25.5, 1.0) << "bright run at " << start;
  }
  // Same in the other direction, through the vertical pass.
  const Image column = grey(1, 1000, [](int, int y) { return y < 100 ? 255 : 0; });
  EXPECT_NEAR(scaleRgba(column.data(), 1, 1000, 1, 1)[0], 25.5, 1.0);
}

TEST(ImageScale, UpscaleInterpolatesBetweenPixelCentres) {
  const Image src = grey(2, 1, [](int x, int) { return x == 0 ? 0 : 200; });
  const Image out = scaleRgba(src.data(), 2, 1, 4, 2);
  // Output centres map to source positions -0.25, 0.25, 0.75, 1.25: the
  // outer ones repeat the edge pixels, the inner ones blend.
  EXPECT_EQ(channel(out, 4, 0, 0), 0);
  EXPECT_EQ(channel(out, 4, 1, 0), 50);
  EXPECT_EQ(channel(out, 4, 2, 0), 150);
  EXPECT_EQ(channel(out, 4, 3, 0), 200);
  for (int x = 0; x < 4; ++x) EXPECT_EQ(channel(out, 4, x, 1), channel(out, 4, x, 0));
}

TEST(ImageScale, GrowingByAnyFactorFollowsRampsInEveryChannel) {
  // Bilinear interpolation reproduces a ramp: each output pixel has the
  // value at its centre's source position (clamped to the outer pixel
  // centres), whatever the factor; half a pixel off would be 6 levels off.
  constexpr int kSrcWidth = 20, kSrcHeight = 3, kDstWidth = 27, kDstHeight = 7;
  Image src;
  for (int y = 0; y < kSrcHeight; ++y) {
    for (int x = 0; x < kSrcWidth; ++x) {
      src.insert(src.end(), {static_cast<std::uint8_t>(x * 12), static_cast<std::uint8_t>(255 - x * 12),
                             static_cast<std::uint8_t>(y * 60), static_cast<std::uint8_t>(255 - x * 5)});
    }
  }
  const Image out = scaleRgba(src.data(), kSrcWidth, kSrcHeight, kDstWidth, kDstHeight);
  auto at = [](int i, int src, int dst) {
    return std::clamp((i + 0.5) * src / dst - 0.5, 0.0, static_cast<double>(src - 1));
  };
  for (int y = 0; y < kDstHeight; ++y) {
    for (int x = 0; x < kDstWidth; ++x) {
      const double sx = at(x, kSrcWidth, kDstWidth), sy = at(y, kSrcHeight, kDstHeight);
      EXPECT_NEAR(channel(out, kDstWidth, x, y, 0), sx * 12, 1.0) << x << "," << y;
      EXPECT_NEAR(channel(out, kDstWidth, x, y, 1), 255 - sx * 12, 1.0) << x << "," << y;
      EXPECT_NEAR(channel(out, kDstWidth, x, y, 2), sy * 60, 1.0) << x << "," << y;
      EXPECT_NEAR(channel(out, kDstWidth, x, y, 3), 255 - sx * 5, 1.0) << x << "," << y;
    }
  }
}

TEST(ImageScale, OnePixelSourceFillsAnyOutput) {
  const Image src = {10, 20, 30, 40};
  const Image out = scaleRgba(src.data(), 1, 1, 3, 2);
  ASSERT_EQ(out.size(), 24u);
  for (std::size_t i = 0; i < out.size(); i += 4) {
    EXPECT_EQ(out[i], 10);
    EXPECT_EQ(out[i + 1], 20);
    EXPECT_EQ(out[i + 2], 30);
    EXPECT_EQ(out[i + 3], 40);
  }
}

TEST(ImageScale, MixedAxesShrinkOneAndGrowTheOther) {
  // Columns shrink 4 -> 2 (averaged pairs), rows grow 1 -> 3 (copied).
  const Image src = grey(4, 1, [](int x, int) { return x * 40; });
  const Image out = scaleRgba(src.data(), 4, 1, 2, 3);
  for (int y = 0; y < 3; ++y) {
    EXPECT_EQ(channel(out, 2, 0, y), 20);
    EXPECT_EQ(channel(out, 2, 1, y), 100);
  }
}

TEST(ImageScale, ChannelsStaySeparate) {
  const Image src = {255, 0, 0, 255, 0, 0, 255, 0};
  const Image out = scaleRgba(src.data(), 2, 1, 1, 1);
  EXPECT_EQ(out, (Image{128, 0, 128, 128}));
}

TEST(ImageScale, SameSizeIsAnExactCopy) {
  const Image src = grey(3, 2, [](int x, int y) { return x * 7 + y * 50; });
  EXPECT_EQ(scaleRgba(src.data(), 3, 2, 3, 2), src);
}

TEST(ImageScale, BandsOfRowsGiveExactlyThePixelsOfTheWhole) {
  // Pictures are scaled a band at a time while their PNG is made; a band
  // that started from the wrong source row would be off by a line.
  Image src;
  for (int i = 0; i < 37 * 23; ++i) {
    src.insert(src.end(), {static_cast<std::uint8_t>(i * 7), static_cast<std::uint8_t>(i / 3),
                           static_cast<std::uint8_t>(i * 13 + 5), static_cast<std::uint8_t>(255 - i % 50)});
  }
  for (auto [w, h] : {std::pair{37, 23}, std::pair{61, 40}, std::pair{20, 9}, std::pair{50, 11}, std::pair{8, 57}}) {
    const Image whole = scaleRgba(src.data(), 37, 23, w, h);
    const RgbaScaler scaler(src.data(), 37, 23, w, h);
    for (int band : {1, 4, 7}) {
      Image banded;
      Image scratch(static_cast<std::size_t>(w) * band * 4);
      for (int first = 0; first < h; first += band) {
        const int end = std::min(h, first + band);
        const std::uint8_t* rows = scaler.rows(first, end, scratch.data());
        banded.insert(banded.end(), rows, rows + static_cast<std::size_t>(w) * (end - first) * 4);
      }
      EXPECT_EQ(banded, whole) << w << "x" << h << " in bands of " << band;
    }
  }
}

TEST(ImageScale, ServerOrderedPixelsScaleLikeTheirRgbaAndComeOutOpaque) {
  // B, G, R and a byte that is not read: the colours must be those of the
  // same pixels as RGBA, whatever that byte holds, at every kind of size.
  Image bgrx, rgba;
  for (int i = 0; i < 30 * 20; ++i) {
    const auto r = static_cast<std::uint8_t>(i * 7), g = static_cast<std::uint8_t>(i / 3),
               b = static_cast<std::uint8_t>(i * 13 + 5);
    bgrx.insert(bgrx.end(), {b, g, r, static_cast<std::uint8_t>(i * 31)});
    rgba.insert(rgba.end(), {r, g, b, 255});
  }
  for (auto [w, h] : {std::pair{30, 20}, std::pair{47, 33}, std::pair{17, 9}, std::pair{12, 41}}) {
    const Image expected = scaleRgba(rgba.data(), 30, 20, w, h);
    Image scratch(static_cast<std::size_t>(w) * h * 4);
    const std::uint8_t* rows = RgbaScaler(bgrx.data(), 30, 20, w, h, PixelOrder::bgrx).rows(0, h, scratch.data());
    Image got(rows, rows + scratch.size());
    for (std::size_t i = 0; i < got.size(); i += 4) std::swap(got[i], got[i + 2]);
    EXPECT_EQ(got, expected) << w << "x" << h;
  }
}

TEST(ImageScale, EmptyOrInvalidSizesGiveNoPixels) {
  const Image src = {1, 2, 3, 4};
  EXPECT_TRUE(scaleRgba(src.data(), 1, 1, 0, 5).empty());
  EXPECT_TRUE(scaleRgba(src.data(), 1, 1, -3, 5).empty());
  EXPECT_EQ(scaleRgba(nullptr, 1, 1, 2, 2), Image(16, 0));
}

}  // namespace
}  // namespace larkspire::linux_backend
