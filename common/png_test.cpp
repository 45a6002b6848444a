// PNG encoding: the bytes decode back to the same pixels.
#include "common/png.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstring>

namespace larkspire::png {
namespace {

struct Decoded {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgba;
};

std::optional<Decoded> decode(const std::vector<std::uint8_t>& bytes) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return std::nullopt;
  image.format = PNG_FORMAT_RGBA;
  Decoded out;
  out.width = static_cast<int>(image.width);
  out.height = static_cast<int>(image.height);
  out.rgba.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, out.rgba.data(), 0, nullptr)) return std::nullopt;
  return out;
}

std::vector<std::uint8_t> pattern(int width, int height) {
  std::vector<std::uint8_t> rgba(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
  for (std::size_t i = 0; i < rgba.size(); ++i) rgba[i] = static_cast<std::uint8_t>(i * 7 + i / 5);
  return rgba;
}

TEST(EncodePng, OpaquePicturesAreWrittenWithoutAlpha) {
  auto rgba = pattern(40, 9);
  for (std::size_t i = 3; i < rgba.size(); i += 4) rgba[i] = 255;
  auto bytes = encodePng(rgba.data(), 40, 9);
  ASSERT_TRUE(bytes);
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_memory(&image, bytes->data(), bytes->size()));
  EXPECT_EQ(image.format & PNG_FORMAT_FLAG_ALPHA, 0u);
  png_image_free(&image);
  auto decoded = decode(*bytes);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->rgba, rgba);
}

TEST(EncodePng, RoundTripsPixelsIncludingAlphaAndOddSizes) {
  for (auto [w, h] : {std::pair{1, 1}, std::pair{3, 7}, std::pair{257, 2}}) {
    auto rgba = pattern(w, h);
    for (int level : {0, 1, 9}) {
      auto bytes = encodePng(rgba.data(), w, h, level);
      ASSERT_TRUE(bytes) << w << "x" << h;
      auto decoded = decode(*bytes);
      ASSERT_TRUE(decoded);
      EXPECT_EQ(decoded->width, w);
      EXPECT_EQ(decoded->height, h);
      EXPECT_EQ(decoded->rgba, rgba) << w << "x" << h << " level " << level;
    }
  }
}

TEST(EncodePng, LargePicturesDeflatedInPartsDecodeAsOne) {
  // Megabytes of rows are deflated in parts, on several threads where
  // there are cores; the parts must join into one valid stream.
  for (bool opaque : {true, false}) {
    auto rgba = pattern(1000, 700);
    for (std::size_t i = 0; i < rgba.size() / 2; ++i) rgba[i] = static_cast<std::uint8_t>(i / 4000);  // flat top
    if (opaque)
      for (std::size_t i = 3; i < rgba.size(); i += 4) rgba[i] = 255;
    auto bytes = encodePng(rgba.data(), 1000, 700, 1);
    ASSERT_TRUE(bytes);
    auto decoded = decode(*bytes);
    ASSERT_TRUE(decoded) << "opaque " << opaque;
    EXPECT_EQ(decoded->rgba, rgba) << "opaque " << opaque;
  }
}

TEST(EncodePng, RowsMadeAsTheEncoderGoesDecodeAsTheWholePicture) {
  // A source that writes each band into the scratch it is given, as a
  // scaled capture does, in either byte order: every band asked for must
  // lie in the picture and fit the scratch.
  const int width = 1000, height = 700;
  auto rgba = pattern(width, height);
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
  for (bool opaque : {false, true}) {
    if (opaque)
      for (std::size_t i = 3; i < rgba.size(); i += 4) rgba[i] = 255;
    for (ChannelOrder order : {ChannelOrder::rgba, ChannelOrder::bgra}) {
      auto stored = rgba;
      if (order == ChannelOrder::bgra)
        for (std::size_t i = 0; i < stored.size(); i += 4) std::swap(stored[i], stored[i + 2]);
      RowSource rows = [&](int first, int end, std::uint8_t* scratch) {
        EXPECT_TRUE(0 <= first && first < end && end <= height) << first << ".." << end;
        std::memcpy(scratch, stored.data() + first * rowBytes, (end - first) * rowBytes);
        return static_cast<const std::uint8_t*>(scratch);
      };
      auto bytes = encodePng(rows, width, height, opaque, 1, order);
      ASSERT_TRUE(bytes);
      auto decoded = decode(*bytes);
      ASSERT_TRUE(decoded);
      EXPECT_EQ(decoded->rgba, rgba) << "opaque " << opaque << ", B, G, R " << (order == ChannelOrder::bgra);
    }
  }
}

TEST(EncodePng, RefusesEmptyOrMissingPictures) {
  auto rgba = pattern(2, 2);
  EXPECT_FALSE(encodePng(nullptr, 2, 2));
  EXPECT_FALSE(encodePng(rgba.data(), 0, 2));
  EXPECT_FALSE(encodePng(rgba.data(), 2, -1));
}

TEST(EncodePng, ReportsEncoderErrorsAsNone) {
  // Wider than libpng accepts by default: its error path must come back as
  // none, without touching the pixels.
  std::uint8_t pixel[4] = {1, 2, 3, 4};
  EXPECT_FALSE(encodePng(pixel, 2'000'000, 1));
}

TEST(EncodePng, OutOfRangeLevelsAreClamped) {
  auto rgba = pattern(4, 4);
  auto low = encodePng(rgba.data(), 4, 4, -5);
  auto high = encodePng(rgba.data(), 4, 4, 99);
  ASSERT_TRUE(low && high);
  EXPECT_EQ(decode(*low)->rgba, rgba);
  EXPECT_EQ(decode(*high)->rgba, rgba);
}

}  // namespace
}  // namespace larkspire::png
