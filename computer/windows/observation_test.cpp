// The observation: capture size, snapshot identifiers, and the whole
// operation on the simulated desktop.
#include "computer/windows/observation.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>

#include "common/text.h"
#include "computer/failure.h"
#include "platform/simulated/desktop.h"

namespace larkspire::computer {
namespace {

// Bytes of the given length that start as a PNG file of the given size.
std::vector<std::uint8_t> pngOf(std::size_t length, std::uint32_t width, std::uint32_t height) {
  std::vector<std::uint8_t> bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
  for (std::uint32_t value : {width, height}) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<std::uint8_t>(value >> shift));
  }
  bytes.resize(length, 0x42);
  return bytes;
}

TEST(CaptureSize, LongerSideIs1600AndScaleAtMostTwo) {
  EXPECT_EQ(captureSize(400, 300), (PixelSize{800, 600}));
  EXPECT_EQ(captureSize(3200, 1800), (PixelSize{1600, 900}));
  EXPECT_EQ(captureSize(1000, 1000), (PixelSize{1600, 1600}));
  EXPECT_EQ(captureSize(0.5, 3000), (PixelSize{1, 1600}));
  EXPECT_EQ(captureSize(800, 10), (PixelSize{1600, 20}));
  EXPECT_EQ(captureSize(0.2, 0.3), (PixelSize{1, 1}));
  // 1033.07 * (1600 / 1033.07) is 1599.999... in floating point.
  EXPECT_EQ(captureSize(1033.07, 500).width, 1600);
  EXPECT_EQ(captureSize(3000, 1000.5).height, 533);
}

TEST(SnapshotId, IsAnUppercaseVersion4UuidAndFreshEachTime) {
  auto wellFormed = [](const std::string& id) {
    if (id.size() != 36) return false;
    for (std::size_t i = 0; i < id.size(); ++i) {
      bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
      bool hex = (id[i] >= '0' && id[i] <= '9') || (id[i] >= 'A' && id[i] <= 'F');
      if (hyphen ? id[i] != '-' : !hex) return false;
    }
    return id[14] == '4' && std::string("89AB").find(id[19]) != std::string::npos;
  };
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    auto id = newSnapshotId();
    EXPECT_TRUE(wellFormed(id)) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 100u);
}

class Observe : public ::testing::Test {
 protected:
  simulated::Desktop desktop;
  simulated::SimApp& app = desktop.addApp({.bundleIdentifier = "com.example.Notes", .name = "Notes", .pid = 42});
  simulated::SimWindow& main =
      app.addWindow({.title = "Untitled", .frame = {{100, 50}, {400, 300}}, .accessibilityFrame = std::nullopt});

  json::Json request(json::Json extra = json::Json::object()) {
    json::Json r{{"operation", "observe"}, {"appId", "com.example.Notes"}};
    r.update(extra);
    return r;
  }
  std::optional<NativeFailure> failure(const json::Json& r) {
    try {
      observe(desktop.platform(), r);
    } catch (const NativeFailure& f) {
      EXPECT_TRUE(f.notExecuted);
      return f;
    }
    return std::nullopt;
  }
  std::string failureCode(const json::Json& r) {
    auto f = failure(r);
    return f ? f->code : "none";
  }
};

TEST_F(Observe, PayloadAndKeptSnapshotDifferOnlyInThePictureData) {
  auto& ok = main.element().add("AXButton").title("OK").actions({"AXPress"}).frame({{110, 60}, {80, 24}});
  auto observation = observe(desktop.platform(), request());
  const auto& payload = observation.payload;
  const auto& snapshot = observation.bound.snapshot;

  EXPECT_EQ(payload["image"].size(), 4u);
  EXPECT_EQ(snapshot["image"].size(), 3u);
  auto stripped = payload;
  stripped["image"].erase("data");
  EXPECT_EQ(stripped, snapshot);

  EXPECT_EQ(payload["appId"], "com.example.Notes");
  EXPECT_EQ(payload["windowId"], std::to_string(main.windowID()));
  EXPECT_EQ(payload["pid"], 42);
  EXPECT_EQ(payload["bounds"], (json::Json{{"x", 100.0}, {"y", 50.0}, {"width", 400.0}, {"height", 300.0}}));
  EXPECT_EQ(payload["image"]["mimeType"], "image/png");
  EXPECT_EQ(payload["image"]["width"], 800);
  EXPECT_EQ(payload["image"]["height"], 600);
  EXPECT_EQ(payload["windows"],
            (json::Json::array({{{"windowId", std::to_string(main.windowID())}, {"title", "Untitled"}}})));
  ASSERT_EQ(payload["elements"].size(), 2u);
  EXPECT_EQ(payload["elements"][1]["name"], "OK");
  EXPECT_EQ(payload.size(), 8u);

  // The data is the encoded picture, in standard Base64.
  auto png = desktop.platform().screenCapture.pngData(
      desktop.platform().screenCapture.captureWindow(main.capture(), {800, 600, false, true}));
  ASSERT_TRUE(png);
  EXPECT_EQ(payload["image"]["data"], text::base64Encode(*png));

  EXPECT_EQ(observation.bound.window, main.element().element());
  EXPECT_EQ(observation.bound.references,
            (std::map<std::string, platform::Element>{{"e1", main.element().element()}, {"e2", ok.element()}}));
}

TEST_F(Observe, CapturesTheWindowAloneAtTheScaledSize) {
  observe(desktop.platform(), request());
  ASSERT_EQ(desktop.captures.size(), 1u);
  EXPECT_EQ(desktop.captures[0].width, 800);
  EXPECT_EQ(desktop.captures[0].height, 600);
  EXPECT_FALSE(desktop.captures[0].showsCursor);
  EXPECT_TRUE(desktop.captures[0].ignoreShadowsSingleWindow);

  app.addWindow(
      {.title = "Wide", .frame = {{0, 700}, {3200, 1800}}, .accessibilityFrame = std::nullopt, .windowID = 900});
  auto wide = observe(desktop.platform(), request({{"windowId", "900"}}));
  EXPECT_EQ(desktop.captures.back().width, 1600);
  EXPECT_EQ(desktop.captures.back().height, 900);
  EXPECT_EQ(wide.payload["image"]["width"], 1600);
  EXPECT_EQ(wide.payload["windowId"], "900");
}

TEST_F(Observe, AppIdIsCheckedFirstThenTheApplicationThenPermissions) {
  desktop.accessibilityTrusted = false;
  EXPECT_EQ(failureCode({{"operation", "observe"}}), kInvalidRequest);
  EXPECT_EQ(failureCode({{"appId", 12}}), kInvalidRequest);
  EXPECT_EQ(failureCode(request({{"appId", "com.example.Missing"}})), kTargetChanged);
  EXPECT_EQ(failureCode(request()), kPermissionRequired);
  EXPECT_TRUE(desktop.captures.empty());
}

TEST_F(Observe, AWindowServerThatFailedIsUnavailableBeforeAnyApplicationIsLookedFor) {
  desktop.captureServiceFailed = true;
  EXPECT_EQ(failureCode(request({{"appId", "com.example.Missing"}})), kUnavailable);
  EXPECT_EQ(failureCode(request()), kUnavailable);
  EXPECT_EQ(failureCode({{"operation", "observe"}}), kInvalidRequest);
}

TEST_F(Observe, WindowIdOfAnotherTypeCountsAsAbsent) {
  app.addWindow(
      {.title = "Second", .frame = {{600, 50}, {300, 200}}, .accessibilityFrame = std::nullopt, .windowID = 901});
  auto observation = observe(desktop.platform(), request({{"windowId", 901}}));
  EXPECT_EQ(observation.payload["windowId"], std::to_string(main.windowID()));
  EXPECT_EQ(observation.payload["windows"].size(), 2u);
  EXPECT_EQ(failureCode(request({{"windowId", "0901"}})), kTargetChanged);
}

TEST_F(Observe, NoCaptureWhenTheInventoryFails) {
  main.element().add("AXTextField").subrole("AXSecureTextField");
  EXPECT_EQ(failureCode(request()), kAccessDenied);
  EXPECT_TRUE(desktop.captures.empty());
}

TEST_F(Observe, APictureTakenAlongsideTheInventoryIsUsedOnlyAfterIt) {
  desktop.capturesAlongsideAccessibility = true;
  auto alone = observe(desktop.platform(), request());
  EXPECT_EQ(desktop.captures.size(), 1u);
  EXPECT_FALSE(alone.payload["image"]["data"].get<std::string>().empty());

  // The inventory's refusal is the answer, whatever became of the picture.
  main.element().add("AXTextField").subrole("AXSecureTextField");
  desktop.captureError = "capture failed";
  EXPECT_EQ(failureCode(request()), kAccessDenied);
  desktop.captureError.reset();
  EXPECT_EQ(failureCode(request()), kAccessDenied);
}

TEST_F(Observe, PngSizeCapIsInclusive) {
  desktop.pngOverride = std::optional<std::vector<std::uint8_t>>(pngOf(kMaximumPngBytes, 800, 600));
  auto observation = observe(desktop.platform(), request());
  EXPECT_EQ(observation.payload["image"]["data"].get<std::string>().size(), kMaximumPngBytes / 3 * 4 + 4);
  desktop.pngOverride = std::optional<std::vector<std::uint8_t>>(pngOf(kMaximumPngBytes + 1, 800, 600));
  EXPECT_EQ(failureCode(request()), kUnavailable);
  desktop.pngOverride = std::optional<std::vector<std::uint8_t>>(std::nullopt);
  EXPECT_EQ(failureCode(request()), kUnavailable);
}

TEST_F(Observe, TheReportedSizeIsThePicturesOwn) {
  // A capture service may deliver another size than the one asked for
  // (ScreenCaptureKit keeps the aspect ratio, for one).
  desktop.pngOverride = std::optional<std::vector<std::uint8_t>>(pngOf(4096, 799, 601));
  auto observation = observe(desktop.platform(), request());
  EXPECT_EQ(desktop.captures.back().width, 800);
  EXPECT_EQ(observation.payload["image"]["width"], 799);
  EXPECT_EQ(observation.payload["image"]["height"], 601);
  EXPECT_EQ(observation.bound.snapshot["image"]["height"], 601);

  // Bytes that are no PNG file have no size to report.
  auto broken = pngOf(4096, 800, 600);
  broken[12] = 'X';
  desktop.pngOverride = std::optional<std::vector<std::uint8_t>>(broken);
  EXPECT_EQ(failureCode(request()), kUnavailable);
  EXPECT_EQ(pngSize(pngOf(64, 0, 600)), std::nullopt);
  EXPECT_EQ(pngSize(pngOf(64, 0x80000000u, 600)), std::nullopt);
  EXPECT_EQ(pngSize(pngOf(23, 1, 1)), std::nullopt);
  EXPECT_EQ(pngSize(pngOf(24, 0x7FFFFFFF, 1)), (PixelSize{0x7FFFFFFF, 1}));
}

TEST_F(Observe, CaptureErrorsPassThrough) {
  desktop.captureError = "capture failed";
  EXPECT_THROW(observe(desktop.platform(), request()), platform::PlatformError);
}

TEST_F(Observe, WindowTitlesAreCutAndMissingTitlesEmpty) {
  std::string longTitle;
  for (int i = 0; i < 250; ++i) longTitle += "e\u0301";  // one character each
  app.addWindow({.title = longTitle, .frame = {{600, 50}, {300, 200}}, .accessibilityFrame = std::nullopt});
  app.addWindow({.title = std::nullopt, .frame = {{600, 300}, {300, 200}}, .accessibilityFrame = std::nullopt});
  auto windows = observe(desktop.platform(), request()).payload["windows"];
  ASSERT_EQ(windows.size(), 3u);
  EXPECT_EQ(windows[1]["title"], longTitle.substr(0, 200 * std::string("e\u0301").size()));
  EXPECT_EQ(windows[2]["title"], "");
}

TEST_F(Observe, EveryObservationHasItsOwnSnapshotId) {
  auto first = observe(desktop.platform(), request());
  auto second = observe(desktop.platform(), request());
  EXPECT_NE(first.payload["snapshotId"], second.payload["snapshotId"]);
  EXPECT_EQ(first.payload["snapshotId"], first.bound.snapshot["snapshotId"]);
}

}  // namespace
}  // namespace larkspire::computer
