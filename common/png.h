// PNG encoding of captured pictures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace larkspire::png {

// Encodes 8-bit RGBA pixels (row-major, no row padding) as PNG file bytes.
// The compression level runs from 0 (none) to 9 (smallest); screenshots use
// a fast level because they are encoded once and read once. None when the
// size is empty or too large, or the encoder fails.
std::optional<std::vector<std::uint8_t>> encodePng(const std::uint8_t* rgba, int width, int height,
                                                   int compressionLevel = 1);

// Rows [first, end) of a picture, 8-bit RGBA pixels, width * 4 bytes a row: a
// pointer to them where the source already holds them, else written at
// `scratch` (which has room for them) and `scratch` returned. The encoder
// asks for bands of rows, from several threads at once.
using RowSource = std::function<const std::uint8_t*(int first, int end, std::uint8_t* scratch)>;

// The order of the bytes of a pixel: R, G, B, A or B, G, R, A.
enum class ChannelOrder { rgba, bgra };

// The same encoding of a picture whose rows are made as the encoder goes,
// so that all of them never need to be in memory at once; their pixels may
// also come as B, G, R, A. `opaque` says every alpha is 255 (the PNG then
// stores RGB, and alphas are not read).
std::optional<std::vector<std::uint8_t>> encodePng(const RowSource& rows, int width, int height, bool opaque,
                                                   int compressionLevel = 1, ChannelOrder order = ChannelOrder::rgba);

// Whether every one of `pixels` RGBA pixels has alpha 255.
bool isOpaque(const std::uint8_t* rgba, std::size_t pixels);

}  // namespace larkspire::png
