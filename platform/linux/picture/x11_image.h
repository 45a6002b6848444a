// Conversion of X server images (any ZPixmap true-colour layout) to RGBA.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace larkspire::linux_backend {

// How the server laid out the pixels of one image: what XImage and the
// drawable's visual say, nothing assumed.
struct PixelLayout {
  int bitsPerPixel = 32;  // 8, 16, 24 or 32
  int bytesPerLine = 0;
  bool msbFirst = false;  // byte order of multi-byte pixels (MSBFirst)
  int depth = 24;
  std::uint32_t redMask = 0xff0000;
  std::uint32_t greenMask = 0x00ff00;
  std::uint32_t blueMask = 0x0000ff;
};

// Alpha lives in the depth bits that no colour mask claims (a 32-bit ARGB
// visual); other visuals are opaque.
std::uint32_t alphaMask(const PixelLayout& layout);

// True when rows of `width` pixels can be used as the server wrote them:
// 32-bit pixels holding B, G, R and an unused byte in memory (the layout of
// nearly every desktop), rows with no padding, no alpha.
bool opaqueServerOrder(const PixelLayout& layout, int width);

// True when the layout can be converted: a supported pixel size, non-empty
// colour masks that fit in the pixel, and rows long enough for the width.
bool convertible(const PixelLayout& layout, int width);

// Converts width x height pixels to 8-bit RGBA (row-major, no padding).
// Channels narrower than 8 bits are widened to the full range; alpha stored
// premultiplied by the server (ARGB visuals) is made straight, as PNG wants.
// Returns false, leaving `out` untouched, when the layout is not convertible.
bool convertToRgba(const std::uint8_t* data, int width, int height, const PixelLayout& layout,
                   std::vector<std::uint8_t>& out);

// The same, written in place: row y at out + y * outStride, which has room
// for width pixels.
bool convertToRgba(const std::uint8_t* data, int width, int height, const PixelLayout& layout, std::uint8_t* out,
                   std::size_t outStride);

}  // namespace larkspire::linux_backend
