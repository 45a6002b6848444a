// Resampling of captured RGBA pictures to the pixel size the caller asked for.
#pragma once

#include <cstdint>
#include <vector>

namespace larkspire::linux_backend {

// Scales 8-bit RGBA pixels (row-major, no padding) from srcWidth x srcHeight
// to dstWidth x dstHeight. Each axis is filtered on its own: area averaging
// (every source pixel weighted by how much of it an output pixel covers) where
// the axis shrinks, bilinear interpolation between pixel centres where it
// grows, a plain copy where it keeps its size. Pictures that only grow are
// interpolated by pixman (to 1/128 of a pixel). Sizes must be positive; the
// result has exactly dstWidth * dstHeight * 4 bytes.
std::vector<std::uint8_t> scaleRgba(const std::uint8_t* src, int srcWidth, int srcHeight, int dstWidth, int dstHeight);

}  // namespace larkspire::linux_backend
