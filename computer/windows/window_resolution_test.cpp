// Frame comparison, the pairing rule, finding an observed element again,
// and window resolution on the simulated desktop.
#include "computer/windows/window_resolution.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "computer/failure.h"
#include "platform/simulated/desktop.h"

namespace larkspire::computer {
namespace {

using platform::Rect;

TEST(SameWindowBounds, ToleranceIsStrictlyUnderOnePoint) {
  Rect base{{100, 50}, {800, 600}};
  EXPECT_TRUE(sameWindowBounds(base, {{100.99, 49.01}, {800.99, 599.01}}));
  EXPECT_FALSE(sameWindowBounds(base, {{101, 50}, {800, 600}}));
  EXPECT_FALSE(sameWindowBounds(base, {{100, 49}, {800, 600}}));
  EXPECT_FALSE(sameWindowBounds(base, {{100, 50}, {801, 600}}));
  EXPECT_FALSE(sameWindowBounds(base, {{100, 50}, {800, 599}}));
}

TEST(SameWindowBounds, ComparesNormalisedRectangles) {
  EXPECT_TRUE(sameWindowBounds({{900, 650}, {-800, -600}}, {{100, 50}, {800, 600}}));
  EXPECT_FALSE(sameWindowBounds({{100, 50}, {-800, 600}}, {{100, 50}, {800, 600}}));
}

TEST(UniqueWindowMatches, PairsOnlyUnambiguousWindows) {
  Rect a{{0, 0}, {400, 300}}, b{{500, 0}, {400, 300}}, c{{0, 400}, {200, 100}};
  // Captures a, a (stacked exactly), c; accessibility in another order.
  auto matches = uniqueWindowMatches({a, a, c}, {c, a, a});
  EXPECT_EQ(matches, (std::vector<WindowMatch>{{2, 0}}));

  EXPECT_EQ(uniqueWindowMatches({b, a}, {a, b}), (std::vector<WindowMatch>{{0, 1}, {1, 0}}));
  // One accessibility window fitting two captures leaves both captures out.
  EXPECT_TRUE(uniqueWindowMatches({a, {{0.5, 0}, {400, 300}}}, {a}).empty());
  // One capture fitting two accessibility windows is left out too.
  EXPECT_TRUE(uniqueWindowMatches({a}, {a, Rect{{0.5, 0}, {400, 300}}}).empty());
}

TEST(UniqueWindowMatches, AWindowPairsOnItsFrameOrItsInsideButStillOnlyOnce) {
  const Rect frame{{100, 80}, {602, 425}}, inside{{101, 100}, {600, 400}};
  const Rect other{{900, 0}, {300, 200}};
  // Each window pairs on whichever of its rectangles its accessibility
  // frame is.
  EXPECT_EQ(uniqueWindowMatchesByFrameOrContent({{frame, inside}, {other, std::nullopt}}, {other, inside}),
            (std::vector<WindowMatch>{{0, 1}, {1, 0}}));
  EXPECT_EQ(uniqueWindowMatchesByFrameOrContent({{frame, inside}}, {Rect{{100.5, 80}, {602, 425}}}),
            (std::vector<WindowMatch>{{0, 0}}));
  // Within one point, as for the frame.
  EXPECT_TRUE(uniqueWindowMatchesByFrameOrContent({{frame, inside}}, {Rect{{102, 100}, {600, 400}}}).empty());
  // Two accessibility windows, one on the frame and one on the inside of
  // the same capture window: neither is sure.
  EXPECT_TRUE(uniqueWindowMatchesByFrameOrContent({{frame, inside}}, {frame, inside}).empty());
  // One window's inside that is another's frame: ambiguous, both refused.
  EXPECT_TRUE(uniqueWindowMatchesByFrameOrContent({{frame, inside}, {inside, std::nullopt}}, {inside}).empty());
}

TEST(UniqueWindowMatches, OneUnreadableAccessibilityFrameBlocksEveryPair) {
  Rect a{{0, 0}, {400, 300}}, b{{500, 0}, {400, 300}};
  EXPECT_TRUE(uniqueWindowMatches({a, b}, {a, std::nullopt, b}).empty());
  EXPECT_TRUE(uniqueWindowMatches({}, {a}).empty());
}

TEST(ObservedReference, NeedsTheSameElementAndEqualMetadata) {
  using Meta = std::vector<std::string>;
  auto same = [](int a, int b) { return a % 10 == b % 10; };  // 3 and 13 are "the same element"
  std::vector<std::pair<int, Meta>> candidates{
      {4, {"AXButton", "OK"}}, {13, {"AXButton", "Cancel"}}, {23, {"AXButton", "OK"}}, {3, {"AXButton", "OK"}}};
  EXPECT_EQ(observedReference(3, Meta{"AXButton", "OK"}, candidates, same), 23);
  EXPECT_EQ(observedReference(3, Meta{"AXButton", "Cancel"}, candidates, same), 13);
  EXPECT_EQ(observedReference(3, Meta{"AXButton", "Other"}, candidates, same), std::nullopt);
  EXPECT_EQ(observedReference(5, Meta{"AXButton", "OK"}, candidates, same), std::nullopt);
}

class WindowResolution : public ::testing::Test {
 protected:
  simulated::Desktop desktop;
  simulated::SimApp& app = desktop.addApp({.bundleIdentifier = "com.example.Notes", .name = "Notes", .pid = 42});
  simulated::SimApp& other = desktop.addApp({.bundleIdentifier = "com.example.Other", .name = "Other"});

  ResolvedWindow resolve(std::optional<std::string> windowId = std::nullopt) {
    return window(desktop.platform(), app.handle(), windowId);
  }
  std::string failureCode(std::optional<std::string> windowId = std::nullopt) {
    try {
      resolve(windowId);
    } catch (const NativeFailure& failure) {
      EXPECT_TRUE(failure.notExecuted);
      return failure.code;
    }
    return "none";
  }
  static std::vector<std::uint32_t> numbers(const std::vector<platform::ShareableWindow>& windows) {
    std::vector<std::uint32_t> list;
    for (const auto& w : windows) list.push_back(w.windowID);
    return list;
  }
};

TEST_F(WindowResolution, PermissionsComeBeforeTheLock) {
  app.addWindow({.title = "Doc", .frame = {{0, 0}, {400, 300}}, .accessibilityFrame = std::nullopt});
  desktop.setScreenLocked(true);
  desktop.accessibilityTrusted = false;
  desktop.screenRecordingGranted = false;
  EXPECT_EQ(failureCode(), kPermissionRequired);
  desktop.accessibilityTrusted = true;
  EXPECT_EQ(failureCode(), kPermissionRequired);
  desktop.screenRecordingGranted = true;
  EXPECT_EQ(failureCode(), kScreenLocked);
  EXPECT_EQ(desktop.shareableContentRequests, 0);
  desktop.setScreenLocked(false);
  EXPECT_EQ(failureCode(), "none");
}

TEST_F(WindowResolution, AFailedServiceIsUnavailableNotAMissingPermission) {
  app.addWindow({.title = "Doc", .frame = {{0, 0}, {400, 300}}, .accessibilityFrame = std::nullopt});
  desktop.accessibilityServiceFailed = true;
  EXPECT_EQ(failureCode(), kUnavailable);
  desktop.accessibilityServiceFailed = false;
  desktop.captureServiceFailed = true;
  EXPECT_EQ(failureCode(), kUnavailable);
  // A permission that is off still comes first, and asks the user.
  desktop.accessibilityTrusted = false;
  EXPECT_EQ(failureCode(), kPermissionRequired);
  EXPECT_EQ(desktop.shareableContentRequests, 0);
}

TEST_F(WindowResolution, LockStateComesOnlyFromABooleanEntry) {
  app.addWindow({.title = "Doc", .frame = {{0, 0}, {400, 300}}, .accessibilityFrame = std::nullopt});
  desktop.sessionDictionary = std::map<std::string, platform::Value>{{"CGSSessionScreenIsLocked", std::int64_t{1}}};
  EXPECT_FALSE(screenLocked(desktop.platform().session));
  desktop.sessionDictionary = std::nullopt;
  EXPECT_FALSE(screenLocked(desktop.platform().session));
  desktop.sessionDictionary = std::map<std::string, platform::Value>{{"CGSSessionScreenIsLocked", true}};
  EXPECT_TRUE(screenLocked(desktop.platform().session));
}

TEST_F(WindowResolution, ChoosesTheFirstPairOrTheNamedWindow) {
  auto& first = app.addWindow(
      {.title = "One", .frame = {{0, 0}, {400, 300}}, .accessibilityFrame = std::nullopt, .windowID = 123});
  auto& second = app.addWindow({.title = "Two",
                                .frame = {{500, 0}, {400, 300}},
                                .accessibilityFrame = Rect{{500.5, 0.9}, {399.1, 300.99}},
                                .windowID = 124});
  other.addWindow({.title = "Theirs", .frame = {{0, 0}, {400, 300}}, .accessibilityFrame = std::nullopt});
  auto resolved = resolve();
  EXPECT_EQ(resolved.capture.windowID, 123u);
  EXPECT_EQ(resolved.accessibility, first.element().element());
  EXPECT_EQ(numbers(resolved.paired), (std::vector<std::uint32_t>{123, 124}));

  auto named = resolve("124");
  EXPECT_EQ(named.capture.windowID, 124u);
  EXPECT_EQ(named.accessibility, second.element().element());
  EXPECT_EQ(failureCode("0123"), kTargetChanged);
  EXPECT_EQ(failureCode(" 123"), kTargetChanged);
  EXPECT_EQ(failureCode("999"), kTargetChanged);
  // The application element was asked to expose its tree.
  auto manual = app.element().answer("AXManualAccessibility");
  ASSERT_TRUE(manual && manual->value);
  EXPECT_EQ(std::get<bool>(*manual->value), true);
}

TEST_F(WindowResolution, ToolkitsThatReportTheInsidePairOnIt) {
  // One window reports its decorated frame (as GTK 3 does), the other the
  // inside of its decoration (as Qt does); both pair, and the picture and
  // the bounds stay those of the frame.
  const Rect gtkFrame{{500, 300}, {602, 425}};
  const Rect qtFrame{{449, 237}, {702, 525}};
  const Rect qtInside{{450, 257}, {700, 500}};
  auto& gtk = app.addWindow({.title = "G", .frame = gtkFrame, .contentFrame = Rect{{501, 320}, {600, 400}}});
  auto& qt = app.addWindow({.title = "Q", .frame = qtFrame, .accessibilityFrame = qtInside, .contentFrame = qtInside});
  auto resolved = resolve(std::to_string(qt.windowID()));
  EXPECT_EQ(resolved.accessibility, qt.element().element());
  EXPECT_EQ(resolved.capture.frame, qtFrame);
  EXPECT_EQ(numbers(resolved.paired), (std::vector<std::uint32_t>{gtk.windowID(), qt.windowID()}));
  // Without the inside known, the Qt window cannot be paired.
  app.addWindow({.title = "Q2", .frame = {{0, 600}, {702, 325}}, .accessibilityFrame = Rect{{1, 620}, {700, 300}}});
  EXPECT_EQ(numbers(resolve().paired), (std::vector<std::uint32_t>{gtk.windowID(), qt.windowID()}));
}

TEST_F(WindowResolution, StackedWindowsAreNeverResolved) {
  app.addWindow({.title = "A", .frame = {{0, 0}, {400, 300}}, .accessibilityFrame = std::nullopt});
  app.addWindow({.title = "B", .frame = {{0, 0}, {400, 300}}, .accessibilityFrame = std::nullopt});
  EXPECT_EQ(failureCode(), kTargetChanged);
  auto& third = app.addWindow({.title = "C", .frame = {{600, 0}, {300, 200}}, .accessibilityFrame = std::nullopt});
  auto resolved = resolve();
  EXPECT_EQ(resolved.accessibility, third.element().element());
  EXPECT_EQ(numbers(resolved.paired), (std::vector<std::uint32_t>{third.windowID()}));
}

TEST_F(WindowResolution, OneUnreadableAccessibilityWindowBlocksAll) {
  app.addWindow({.title = "A", .frame = {{0, 0}, {400, 300}}, .accessibilityFrame = std::nullopt});
  auto& b = app.addWindow({.title = "B", .frame = {{600, 0}, {300, 200}}, .accessibilityFrame = std::nullopt});
  b.element().fail("AXSize", platform::kAXErrorNoValue);
  EXPECT_EQ(failureCode(), kTargetChanged);
  // Unless the application did not answer: then nothing is known to have
  // changed.
  b.element().fail("AXPosition", platform::kAXErrorCannotComplete);
  EXPECT_EQ(failureCode(), kUnavailable);
}

TEST_F(WindowResolution, OnlyNormalWindowsWithAnAreaAreCandidates) {
  auto& panel =
      app.addWindow({.title = "Panel", .frame = {{0, 0}, {400, 300}}, .accessibilityFrame = std::nullopt, .layer = 3});
  app.addWindow({.title = "Flat", .frame = {{0, 400}, {400, 0}}, .accessibilityFrame = std::nullopt});
  EXPECT_EQ(failureCode(), kTargetChanged);
  EXPECT_EQ(failureCode(std::to_string(panel.windowID())), kTargetChanged);
  // A frame one point off is not the same window.
  app.addWindow({.title = "Off", .frame = {{0, 600}, {400, 300}}, .accessibilityFrame = Rect{{0, 600}, {401, 300}}});
  EXPECT_EQ(failureCode(), kTargetChanged);
}

TEST_F(WindowResolution, UnreadableWindowListAndPlatformErrors) {
  app.addWindow({.title = "A", .frame = {{0, 0}, {400, 300}}, .accessibilityFrame = std::nullopt});
  // The same answers whether the window server is asked first or alongside
  // the application.
  for (bool alongside : {false, true}) {
    SCOPED_TRACE(alongside ? "alongside" : "one after the other");
    desktop.capturesAlongsideAccessibility = alongside;
    desktop.shareableContentError.reset();
    // An application that does not answer is unavailable; one that is gone
    // has changed.
    app.element().fail("AXWindows", platform::kAXErrorCannotComplete);
    EXPECT_EQ(failureCode(), kUnavailable);
    app.element().fail("AXWindows", platform::kAXErrorInvalidUIElement);
    EXPECT_EQ(failureCode(), kTargetChanged);
    app.element().unset("AXWindows");
    EXPECT_EQ(failureCode(), "none");
    // The window server's failure comes first.
    desktop.shareableContentError = "content unavailable";
    EXPECT_THROW(resolve(), platform::PlatformError);
    app.element().fail("AXWindows", platform::kAXErrorCannotComplete);
    EXPECT_THROW(resolve(), platform::PlatformError);
    app.element().unset("AXWindows");
  }
}

}  // namespace
}  // namespace larkspire::computer
