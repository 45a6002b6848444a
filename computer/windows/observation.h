// The "observe" operation: the inventory and picture of the target's window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/json.h"
#include "platform/platform.h"

namespace larkspire::computer {

// What a later "act" needs of an observation: the record without the
// picture data, the observed accessibility window and the live element of
// every "ref".
struct NativeObservation {
  json::Json snapshot;
  platform::Element window;
  std::map<std::string, platform::Element> references;
};

// The pixel size a window of w x h points is captured at: the longer side
// 1600 pixels, at most 2 pixels per point, never below 1 pixel.
struct PixelSize {
  int width = 0;
  int height = 0;
  bool operator==(const PixelSize&) const = default;
};
PixelSize captureSize(double widthPoints, double heightPoints);

// The pixel size a PNG file declares in its header; none when the bytes do
// not start as a PNG file does.
std::optional<PixelSize> pngSize(const std::vector<std::uint8_t>& png);

// The largest encoded picture an observation carries, in bytes (inclusive).
inline constexpr std::size_t kMaximumPngBytes = 8 * 1024 * 1024;

// A fresh random UUID (version 4) in upper-case 8-4-4-4-12 form.
std::string newSnapshotId();

struct Observation {
  json::Json payload;  // the observation record with the picture data
  NativeObservation bound;
};

// Throws NativeFailure, or PlatformError for a failed platform service.
Observation observe(platform::Platform& platform, const json::Json& request);

}  // namespace larkspire::computer
