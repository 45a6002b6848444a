// Resampling of captured RGBA pictures to the pixel size the caller asked for.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace larkspire::linux_backend {

// How the four bytes of a pixel are laid out in memory: R, G, B, A; or B,
// G, R and a byte that is not read (the pixel is opaque), which scales to
// B, G, R, 255.
enum class PixelOrder { rgba, bgrx };

// Scales 8-bit RGBA pixels (row-major, no padding) from srcWidth x srcHeight
// to dstWidth x dstHeight. Each axis is filtered on its own: area averaging
// (every source pixel weighted by how much of it an output pixel covers) where
// the axis shrinks, bilinear interpolation between pixel centres where it
// grows, a plain copy where it keeps its size. Pictures that only grow are
// interpolated by pixman (to 1/128 of a pixel). Sizes must be positive; the
// result has exactly dstWidth * dstHeight * 4 bytes, in the source's order.
std::vector<std::uint8_t> scaleRgba(const std::uint8_t* src, int srcWidth, int srcHeight, int dstWidth, int dstHeight,
                                    PixelOrder order = PixelOrder::rgba);

// The same scaling, a band of output rows at a time: the bands give exactly
// the pixels of the whole. A picture made this way never needs all of its
// rows in memory at once. rows() may run on several threads at once; the
// source must outlive the scaler. Sizes must be positive.
class RgbaScaler {
 public:
  RgbaScaler(const std::uint8_t* src, int srcWidth, int srcHeight, int dstWidth, int dstHeight,
             PixelOrder order = PixelOrder::rgba);
  ~RgbaScaler();
  RgbaScaler(const RgbaScaler&) = delete;
  RgbaScaler& operator=(const RgbaScaler&) = delete;

  // Output rows [first, end), dstWidth * 4 bytes each, in the source's
  // order: where the size is kept and the order is RGBA, a pointer into the
  // source; otherwise written at `scratch`, which has room for them, and
  // `scratch` returned.
  const std::uint8_t* rows(int first, int end, std::uint8_t* scratch) const;

 private:
  struct Filter;
  const std::uint8_t* src_;
  int srcWidth_, srcHeight_, dstWidth_, dstHeight_;
  PixelOrder order_;
  std::unique_ptr<const Filter> filter_;  // none when sizes are kept or both axes grow
};

}  // namespace larkspire::linux_backend
