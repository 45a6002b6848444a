#include "platform/linux/picture/x11_image.h"

#include <bit>
#include <cstddef>

namespace larkspire::linux_backend {
namespace {

struct Channel {
  int shift = 0;
  int bits = 0;
  std::uint32_t mask = 0;
};

Channel channelOf(std::uint32_t mask) {
  Channel c;
  c.mask = mask;
  if (mask == 0) return c;
  c.shift = std::countr_zero(mask);
  c.bits = std::popcount(mask);
  return c;
}

// Widens a channel value to 8 bits, repeating its bit pattern so that the
// largest value becomes 255 and the smallest 0.
std::uint8_t widen(std::uint32_t pixel, const Channel& c) {
  if (c.bits == 0) return 0;
  std::uint32_t v = (pixel & c.mask) >> c.shift;
  if (c.bits >= 8) return static_cast<std::uint8_t>(v >> (c.bits - 8));
  std::uint32_t result = 0;
  int filled = 0;
  while (filled < 8) {
    result = (result << c.bits) | v;
    filled += c.bits;
  }
  return static_cast<std::uint8_t>(result >> (filled - 8));
}

std::uint32_t readPixel(const std::uint8_t* p, int bytes, bool msbFirst) {
  std::uint32_t v = 0;
  if (msbFirst) {
    for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
  } else {
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  }
  return v;
}

std::uint8_t unpremultiply(std::uint8_t value, std::uint8_t alpha) {
  if (alpha == 0) return 0;
  if (alpha == 255) return value;
  const unsigned v = (value * 255u + alpha / 2u) / alpha;
  return static_cast<std::uint8_t>(v > 255 ? 255 : v);
}

}  // namespace

std::uint32_t alphaMask(const PixelLayout& layout) {
  if (layout.depth != 32 || layout.bitsPerPixel != 32) return 0;
  return ~(layout.redMask | layout.greenMask | layout.blueMask);
}

bool opaqueServerOrder(const PixelLayout& layout, int width) {
  return layout.bitsPerPixel == 32 && !layout.msbFirst && layout.redMask == 0xff0000 && layout.greenMask == 0x00ff00 &&
         layout.blueMask == 0x0000ff && alphaMask(layout) == 0 && width > 0 &&
         static_cast<std::int64_t>(layout.bytesPerLine) == static_cast<std::int64_t>(width) * 4;
}

bool convertible(const PixelLayout& layout, int width) {
  const int bpp = layout.bitsPerPixel;
  if (bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return false;
  if (layout.redMask == 0 || layout.greenMask == 0 || layout.blueMask == 0) return false;
  const std::uint64_t limit = bpp == 32 ? 0xffffffffull : ((1ull << bpp) - 1);
  const std::uint64_t all = static_cast<std::uint64_t>(layout.redMask) | layout.greenMask | layout.blueMask;
  if ((all & ~limit) != 0) return false;
  if (width < 0) return false;
  return static_cast<std::int64_t>(layout.bytesPerLine) >= static_cast<std::int64_t>(width) * (bpp / 8);
}

bool convertToRgba(const std::uint8_t* data, int width, int height, const PixelLayout& layout,
                   std::vector<std::uint8_t>& out) {
  if (!data || height < 0 || !convertible(layout, width)) return false;
  out.resize(static_cast<std::size_t>(width) * height * 4);
  if (out.empty()) return true;
  return convertToRgba(data, width, height, layout, out.data(), static_cast<std::size_t>(width) * 4);
}

bool convertToRgba(const std::uint8_t* data, int width, int height, const PixelLayout& layout, std::uint8_t* out,
                   std::size_t outStride) {
  if (!data || !out || height < 0 || !convertible(layout, width)) return false;
  const Channel red = channelOf(layout.redMask);
  const Channel green = channelOf(layout.greenMask);
  const Channel blue = channelOf(layout.blueMask);
  const Channel alpha = channelOf(alphaMask(layout));
  const int bytes = layout.bitsPerPixel / 8;

  // The layout of nearly every desktop: 32-bit pixels, 8-bit channels in
  // the low three bytes (B, G, R in memory on little-endian servers).
  const bool common = bytes == 4 && !layout.msbFirst && layout.redMask == 0xff0000 && layout.greenMask == 0x00ff00 &&
                      layout.blueMask == 0x0000ff;

  for (int y = 0; y < height; ++y) {
    const std::uint8_t* row = data + static_cast<std::size_t>(y) * layout.bytesPerLine;
    std::uint8_t* target = out + static_cast<std::size_t>(y) * outStride;
    if (common && alpha.bits == 0) {
      for (int x = 0; x < width; ++x) {
        target[x * 4 + 0] = row[x * 4 + 2];
        target[x * 4 + 1] = row[x * 4 + 1];
        target[x * 4 + 2] = row[x * 4 + 0];
        target[x * 4 + 3] = 255;
      }
      continue;
    }
    if (common && alpha.mask == 0xff000000u) {
      // An ARGB visual: B, G, R, A in memory, and most pixels opaque.
      for (int x = 0; x < width; ++x) {
        const std::uint8_t* p = row + x * 4;
        const std::uint8_t a = p[3];
        std::uint8_t* t = target + x * 4;
        if (a == 255) {
          t[0] = p[2];
          t[1] = p[1];
          t[2] = p[0];
        } else {
          t[0] = unpremultiply(p[2], a);
          t[1] = unpremultiply(p[1], a);
          t[2] = unpremultiply(p[0], a);
        }
        t[3] = a;
      }
      continue;
    }
    for (int x = 0; x < width; ++x) {
      const std::uint32_t pixel = readPixel(row + static_cast<std::size_t>(x) * bytes, bytes, layout.msbFirst);
      std::uint8_t r = widen(pixel, red);
      std::uint8_t g = widen(pixel, green);
      std::uint8_t b = widen(pixel, blue);
      std::uint8_t a = 255;
      if (alpha.bits > 0) {
        a = widen(pixel, alpha);
        r = unpremultiply(r, a);
        g = unpremultiply(g, a);
        b = unpremultiply(b, a);
      }
      target[x * 4 + 0] = r;
      target[x * 4 + 1] = g;
      target[x * 4 + 2] = b;
      target[x * 4 + 3] = a;
    }
  }
  return true;
}

}  // namespace larkspire::linux_backend
