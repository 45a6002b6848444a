#include "computer/windows/observation.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>

#include "common/alongside.h"
#include "common/text.h"
#include "computer/accessibility/attributes.h"
#include "computer/accessibility/inspection.h"
#include "computer/apps/launch.h"
#include "computer/failure.h"
#include "computer/windows/window_resolution.h"

namespace larkspire::computer {

namespace {

constexpr double kLongerSidePixels = 1600;
constexpr double kLargestScale = 2.0;
constexpr std::size_t kMaximumTitleLength = 200;

int pixels(double points, double longest) {
  // w * (1600 / longest) can land just below a whole number (1033.07 points
  // would give 1599 pixels); dividing last rounds only once, so the longer
  // side is exactly 1600 and the shorter one truncates as it should.
  double exact =
      longest > kLongerSidePixels / kLargestScale ? points * kLongerSidePixels / longest : points * kLargestScale;
  if (!std::isfinite(exact) || exact < 1) return 1;
  return static_cast<int>(std::min(std::trunc(exact), kLongerSidePixels));
}

}  // namespace

PixelSize captureSize(double widthPoints, double heightPoints) {
  double longest = std::max(widthPoints, heightPoints);
  return PixelSize{pixels(widthPoints, longest), pixels(heightPoints, longest)};
}

std::optional<PixelSize> pngSize(const std::vector<std::uint8_t>& png) {
  // The signature, then the IHDR chunk: length 13, type, width, height.
  static constexpr std::uint8_t kStart[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n',
                                            0,    0,   0,   13,  'I',  'H',  'D',  'R'};
  if (png.size() < sizeof kStart + 8 || !std::equal(std::begin(kStart), std::end(kStart), png.begin())) {
    return std::nullopt;
  }
  auto bigEndian = [&](std::size_t at) {
    return std::uint32_t{png[at]} << 24 | std::uint32_t{png[at + 1]} << 16 | std::uint32_t{png[at + 2]} << 8 |
           std::uint32_t{png[at + 3]};
  };
  const std::uint32_t width = bigEndian(16), height = bigEndian(20);
  // The format allows sizes up to 2^31 - 1 and never zero.
  if (width == 0 || height == 0 || width > 0x7FFFFFFF || height > 0x7FFFFFFF) return std::nullopt;
  return PixelSize{static_cast<int>(width), static_cast<int>(height)};
}

std::string newSnapshotId() {
  std::random_device device;
  std::array<std::uint8_t, 16> bytes{};
  for (std::size_t i = 0; i < bytes.size(); i += 4) {
    auto word = static_cast<std::uint32_t>(device());
    for (std::size_t k = 0; k < 4; ++k) bytes[i + k] = static_cast<std::uint8_t>(word >> (8 * k));
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string id;
  id.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) id.push_back('-');
    id.push_back(kHex[bytes[i] >> 4]);
    id.push_back(kHex[bytes[i] & 0x0F]);
  }
  return id;
}

Observation observe(platform::Platform& platform, const json::Json& request) {
  const auto appIdMember = json::stringMember(request, "appId");
  if (!appIdMember) fail(kInvalidRequest);
  const std::string& appId = *appIdMember;

  // Without its window server no application's windows can be found: a
  // failed service, not a target that changed.
  if (platform.screenCapture.screenCaptureState() == platform::PermissionState::serviceFailed) fail(kUnavailable);
  auto app = targetApp(platform, appId);

  const auto windowId = json::stringMember(request, "windowId");

  auto resolved = window(platform, app, windowId);
  const auto& frame = resolved.capture.frame;

  auto size = captureSize(platform::width(frame), platform::height(frame));
  const platform::CaptureConfiguration configuration{size.width, size.height, false, true};
  auto picture = [&capture = platform.screenCapture, window = resolved.capture, configuration] {
    return capture.pngData(capture.captureWindow(window, configuration));
  };
  // Reading the elements mostly waits on the application, the picture is
  // work of our own: where the backend allows, it is made meanwhile. It is
  // only used once the inventory has succeeded; a refused window's picture
  // is dropped unseen (and an error of the inventory is the answer, as when
  // the inventory comes first). Elsewhere the inventory comes first, and a
  // window that cannot be inventoried costs no capture.
  auto made = alongside(platform.screenCapture.capturesAlongsideAccessibility(), picture);
  auto inspected = inspect(platform.accessibility, resolved.accessibility, frame);
  auto png = made.get();
  if (!png || png->size() > kMaximumPngBytes) fail(kUnavailable);
  // The size reported is the picture's own: a capture service may deliver
  // another size than the one asked for.
  auto pictureSize = pngSize(*png);
  if (!pictureSize) fail(kUnavailable);

  json::Json windows = json::Json::array();
  for (const auto& paired : resolved.paired) {
    std::string title =
        paired.title ? text::graphemePrefix(text::sanitizeUtf8(*paired.title), kMaximumTitleLength) : std::string();
    windows.push_back({{"windowId", std::to_string(paired.windowID)}, {"title", std::move(title)}});
  }

  json::Json record{
      {"snapshotId", newSnapshotId()},
      {"appId", appId},
      {"windowId", std::to_string(resolved.capture.windowID)},
      {"pid", app->processIdentifier()},
      {"bounds", rectangle(frame)},
      {"elements", std::move(inspected.nodes)},
      {"windows", std::move(windows)},
      {"image", {{"mimeType", "image/png"}, {"width", pictureSize->width}, {"height", pictureSize->height}}},
  };

  Observation observation;
  observation.payload = record;
  observation.payload["image"]["data"] = text::base64Encode(*png);
  observation.bound = NativeObservation{std::move(record), resolved.accessibility, std::move(inspected.references)};
  return observation;
}

}  // namespace larkspire::computer
