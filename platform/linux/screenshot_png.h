// PNG encoding of screenshots, tuned for speed: they are encoded once, sent
// once and decoded once.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace larkspire::linux_backend {

// 8-bit RGBA pixels (row-major, no padding) as PNG file bytes; none when the
// size is empty or the encoder fails. `opaque` drops the alpha channel.
std::optional<std::vector<std::uint8_t>> encodeScreenshotPng(const std::uint8_t* rgba, int width, int height,
                                                             bool opaque);

}  // namespace larkspire::linux_backend
