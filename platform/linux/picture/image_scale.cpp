#include "platform/linux/picture/image_scale.h"

#include <pixman.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "platform/linux/picture/picture_memory.h"

namespace larkspire::linux_backend {
namespace {

// Weights are fixed point with 14 fractional bits; the two passes keep 8
// extra bits between them so that rounding happens once, at the end.
constexpr int kWeightBits = 14;
constexpr std::uint32_t kWeightOne = 1u << kWeightBits;
constexpr int kIntermediateShift = kWeightBits - 8;  // first pass: value * 256
constexpr int kFinalShift = kWeightBits + 8;

// For every output position along one axis: the first source position it
// reads and the weights of the consecutive source positions from there.
struct Taps {
  std::vector<int> first;
  std::vector<int> offset;  // into weights; offset[i + 1] - offset[i] taps
  std::vector<std::uint32_t> weights;
};

void addOutput(Taps& taps, int first, const std::vector<double>& raw) {
  // Quantise the running sum rather than each weight: every weight stays
  // within one unit of its true value and the weights of an output add up
  // to exactly one, so flat areas stay flat even for large reductions.
  double total = 0;
  for (double w : raw) total += std::max(0.0, w);
  if (total <= 0) {
    taps.weights.push_back(kWeightOne);
    taps.first.push_back(first);
    taps.offset.push_back(static_cast<int>(taps.weights.size()));
    return;
  }
  double cumulative = 0;
  std::uint32_t previous = 0;
  for (double w : raw) {
    cumulative += std::max(0.0, w);
    const auto next = static_cast<std::uint32_t>(std::lround(cumulative / total * kWeightOne));
    taps.weights.push_back(next - previous);
    previous = next;
  }
  taps.first.push_back(first);
  taps.offset.push_back(static_cast<int>(taps.weights.size()));
}

Taps makeTaps(int src, int dst) {
  Taps taps;
  taps.offset.push_back(0);
  std::vector<double> raw;
  if (dst == src) {
    for (int i = 0; i < dst; ++i) addOutput(taps, i, {1.0});
  } else if (dst < src) {
    // Area averaging: output i covers source span [i*scale, (i+1)*scale).
    const double scale = static_cast<double>(src) / dst;
    for (int i = 0; i < dst; ++i) {
      const double start = i * scale;
      const double end = std::min(static_cast<double>(src), (i + 1) * scale);
      const int first = std::min(src - 1, static_cast<int>(std::floor(start)));
      const int last = std::max(first, std::min(src - 1, static_cast<int>(std::ceil(end)) - 1));
      raw.clear();
      for (int j = first; j <= last; ++j) {
        const double overlap = std::min(end, j + 1.0) - std::max(start, static_cast<double>(j));
        raw.push_back(overlap / scale);
      }
      addOutput(taps, first, raw);
    }
  } else {
    // Bilinear between the centres of the two nearest source pixels; the
    // edges repeat the outermost pixel.
    const double scale = static_cast<double>(src) / dst;
    for (int i = 0; i < dst; ++i) {
      const double pos = std::clamp((i + 0.5) * scale - 0.5, 0.0, static_cast<double>(src - 1));
      const int first = std::min(src - 1, static_cast<int>(std::floor(pos)));
      const double fraction = pos - first;
      if (first + 1 < src && fraction > 0.0) {
        addOutput(taps, first, {1.0 - fraction, fraction});
      } else {
        addOutput(taps, first, {1.0});
      }
    }
  }
  return taps;
}

// RGBA bytes in memory, whatever the byte order of a 32-bit word.
constexpr pixman_format_code_t kRgbaFormat =
    std::endian::native == std::endian::little ? PIXMAN_a8b8g8r8 : PIXMAN_r8g8b8a8;

struct PixmanImageDeleter {
  void operator()(pixman_image_t* image) const { pixman_image_unref(image); }
};
using PixmanImage = std::unique_ptr<pixman_image_t, PixmanImageDeleter>;

// B, G, R and an unused byte in memory, read as opaque; and B, G, R, A.
constexpr pixman_format_code_t kBgrxFormat =
    std::endian::native == std::endian::little ? PIXMAN_x8r8g8b8 : PIXMAN_b8g8r8x8;
constexpr pixman_format_code_t kBgraFormat =
    std::endian::native == std::endian::little ? PIXMAN_a8r8g8b8 : PIXMAN_b8g8r8a8;

// Growing (no axis shrinks): pixman's bilinear filter, the one the X server
// scales with, between the centres of the source pixels, the edges
// repeating the outermost ones. pixman runs it in vector code; it places a
// sample within 1/128 of a pixel, where the filter below computes it
// exactly. Output rows [first, end) are written at `out`: the source offset
// places the band where it lies in the whole picture.
void growBilinear(const std::uint8_t* src, int srcWidth, int srcHeight, std::uint8_t* out, int dstWidth, int dstHeight,
                  int first, int end, PixelOrder order) {
  // pixman only reads the source, though its interface takes it writable.
  // Both orders keep their channels where they are: pixman converting
  // between orders took eight times as long.
  const bool bgrx = order == PixelOrder::bgrx;
  PixmanImage source(pixman_image_create_bits(bgrx ? kBgrxFormat : kRgbaFormat, srcWidth, srcHeight,
                                              reinterpret_cast<std::uint32_t*>(const_cast<std::uint8_t*>(src)),
                                              srcWidth * 4));
  PixmanImage target(pixman_image_create_bits(bgrx ? kBgraFormat : kRgbaFormat, dstWidth, end - first,
                                              reinterpret_cast<std::uint32_t*>(out), dstWidth * 4));
  if (!source || !target) throw std::bad_alloc();
  pixman_transform_t transform;
  pixman_transform_init_scale(&transform, pixman_double_to_fixed(static_cast<double>(srcWidth) / dstWidth),
                              pixman_double_to_fixed(static_cast<double>(srcHeight) / dstHeight));
  pixman_image_set_transform(source.get(), &transform);
  pixman_image_set_repeat(source.get(), PIXMAN_REPEAT_PAD);
  pixman_image_set_filter(source.get(), PIXMAN_FILTER_BILINEAR, nullptr, 0);
  // Source, not over: each channel is interpolated on its own and stored.
  pixman_image_composite32(PIXMAN_OP_SRC, source.get(), nullptr, target.get(), 0, first, 0, 0, 0, 0, dstWidth,
                           end - first);
}

}  // namespace

// Shrinking along an axis: area averaging in two passes. pixman's separable
// convolution gives the same filter but took twice as long here.
struct RgbaScaler::Filter {
  Taps horizontal;
  Taps vertical;
};

RgbaScaler::RgbaScaler(const std::uint8_t* src, int srcWidth, int srcHeight, int dstWidth, int dstHeight,
                       PixelOrder order)
    : src_(src), srcWidth_(srcWidth), srcHeight_(srcHeight), dstWidth_(dstWidth), dstHeight_(dstHeight), order_(order) {
  // Pictures that keep their size or grow go to pixman (same-size ones
  // with unused bytes too: it copies them and makes those bytes opaque).
  const bool grows = dstWidth >= srcWidth && dstHeight >= srcHeight;
  if (!grows) filter_.reset(new Filter{makeTaps(srcWidth, dstWidth), makeTaps(srcHeight, dstHeight)});
}

RgbaScaler::~RgbaScaler() = default;

const std::uint8_t* RgbaScaler::rows(int first, int end, std::uint8_t* scratch) const {
  const std::size_t midStride = static_cast<std::size_t>(dstWidth_) * 4;
  if (srcWidth_ == dstWidth_ && srcHeight_ == dstHeight_ && order_ == PixelOrder::rgba) {
    return src_ + static_cast<std::size_t>(first) * midStride;
  }
  if (!filter_) {
    growBilinear(src_, srcWidth_, srcHeight_, scratch, dstWidth_, dstHeight_, first, end, order_);
    return scratch;
  }
  const Taps& horizontal = filter_->horizontal;
  const Taps& vertical = filter_->vertical;

  // The source rows the band reads.
  int top = srcHeight_;
  int bottom = 0;
  for (int y = first; y < end; ++y) {
    top = std::min(top, vertical.first[y]);
    bottom = std::max(bottom, vertical.first[y] + (vertical.offset[y + 1] - vertical.offset[y]));
  }

  // Horizontal pass: every source row becomes a row of dstWidth pixels.
  std::vector<std::uint16_t> mid(midStride * static_cast<std::size_t>(std::max(0, bottom - top)));
  for (int y = top; y < bottom; ++y) {
    const std::uint8_t* row = src_ + static_cast<std::size_t>(y) * srcWidth_ * 4;
    std::uint16_t* target = mid.data() + static_cast<std::size_t>(y - top) * midStride;
    for (int x = 0; x < dstWidth_; ++x) {
      std::uint32_t acc[4] = {0, 0, 0, 0};
      const std::uint8_t* p = row + static_cast<std::size_t>(horizontal.first[x]) * 4;
      for (int k = horizontal.offset[x]; k < horizontal.offset[x + 1]; ++k, p += 4) {
        const std::uint32_t w = horizontal.weights[k];
        acc[0] += w * p[0];
        acc[1] += w * p[1];
        acc[2] += w * p[2];
        acc[3] += w * p[3];
      }
      for (int c = 0; c < 4; ++c) {
        target[x * 4 + c] =
            static_cast<std::uint16_t>((acc[c] + (1u << (kIntermediateShift - 1))) >> kIntermediateShift);
      }
    }
  }

  // Vertical pass: every output row is a weighted sum of intermediate rows.
  std::vector<std::uint32_t> acc(midStride);
  for (int y = first; y < end; ++y) {
    std::fill(acc.begin(), acc.end(), 0u);
    int j = vertical.first[y] - top;
    for (int k = vertical.offset[y]; k < vertical.offset[y + 1]; ++k, ++j) {
      const std::uint32_t w = vertical.weights[k];
      const std::uint16_t* row = mid.data() + static_cast<std::size_t>(j) * midStride;
      for (std::size_t i = 0; i < midStride; ++i) acc[i] += w * row[i];
    }
    std::uint8_t* target = scratch + static_cast<std::size_t>(y - first) * midStride;
    for (std::size_t i = 0; i < midStride; ++i) {
      target[i] =
          static_cast<std::uint8_t>(std::min<std::uint32_t>(255, (acc[i] + (1u << (kFinalShift - 1))) >> kFinalShift));
    }
    if (order_ == PixelOrder::bgrx) {
      for (std::size_t i = 3; i < midStride; i += 4) target[i] = 255;
    }
  }
  return scratch;
}

std::vector<std::uint8_t> scaleRgba(const std::uint8_t* src, int srcWidth, int srcHeight, int dstWidth, int dstHeight,
                                    PixelOrder order) {
  std::vector<std::uint8_t> out =
      pictureBuffer(static_cast<std::size_t>(std::max(dstWidth, 0)) * std::max(dstHeight, 0) * 4);
  if (!src || srcWidth <= 0 || srcHeight <= 0 || dstWidth <= 0 || dstHeight <= 0) return out;
  const RgbaScaler scaler(src, srcWidth, srcHeight, dstWidth, dstHeight, order);
  const std::uint8_t* rows = scaler.rows(0, dstHeight, out.data());
  if (rows != out.data()) std::memcpy(out.data(), rows, out.size());
  return out;
}

}  // namespace larkspire::linux_backend
