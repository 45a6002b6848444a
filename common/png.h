// PNG encoding of captured pictures.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace larkspire::png {

// Encodes 8-bit RGBA pixels (row-major, no row padding) as PNG file bytes.
// The compression level runs from 0 (none) to 9 (smallest); screenshots use
// a fast level because they are encoded once and read once. None when the
// size is empty or too large, or the encoder fails.
std::optional<std::vector<std::uint8_t>> encodePng(const std::uint8_t* rgba, int width, int height,
                                                   int compressionLevel = 1);

}  // namespace larkspire::png
