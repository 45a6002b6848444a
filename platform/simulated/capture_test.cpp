// Shareable windows, one-window capture, PNG data, the session, posted
// events and the global monitors.
#include <gtest/gtest.h>

#include "platform/simulated/desktop.h"

namespace larkspire::simulated {
namespace {

using namespace platform;

class SimCaptureTest : public ::testing::Test {
 protected:
  Desktop desktop;
  ScreenCapture& capture = desktop.platform().screenCapture;
};

TEST_F(SimCaptureTest, ShareableContentListsEveryWindowWithOwnerAndUniqueNumbers) {
  SimApp& a = desktop.addApp({.pid = 10});
  SimApp& b = desktop.addApp({.pid = 11});
  SimWindow& w1 = a.addWindow({.title = "One", .frame = {{0, 0}, {100, 50}}});
  b.addWindow({.title = std::nullopt, .frame = {{5, 5}, {10, 10}}, .layer = 3, .windowID = 7});
  a.addWindow({.title = "Secret", .shareable = false});
  ShareableWindow backdrop;  // the desktop picture: no owner, far below
  backdrop.layer = -2147483624;
  backdrop.frame = {{0, 0}, {1440, 900}};
  desktop.addOrphanWindow(backdrop);

  auto windows = capture.shareableContent(false, false);
  ASSERT_EQ(windows.size(), 3u);
  EXPECT_EQ(windows[0].owningProcess, 10);
  EXPECT_EQ(windows[0].title, "One");
  EXPECT_EQ(windows[0].windowID, w1.windowID());
  EXPECT_EQ(windows[1].owningProcess, 11);
  EXPECT_EQ(windows[1].layer, 3);
  EXPECT_EQ(windows[1].windowID, 7u);
  EXPECT_FALSE(windows[1].title);
  EXPECT_FALSE(windows[2].owningProcess);
  EXPECT_NE(windows[0].windowID, windows[2].windowID);
  EXPECT_NE(windows[0].windowID, 0u);
  EXPECT_EQ(desktop.shareableContentRequests, 1);

  b.terminate();
  EXPECT_EQ(capture.shareableContent(false, false).size(), 2u);
}

TEST_F(SimCaptureTest, ErrorsAreThrownAndCounted) {
  desktop.shareableContentError = "no content";
  EXPECT_THROW(capture.shareableContent(false, false), PlatformError);
  EXPECT_EQ(desktop.shareableContentRequests, 1);

  desktop.shareableContentError.reset();
  SimWindow& w = desktop.addApp({}).addWindow({.frame = {{0, 0}, {10, 10}}});
  desktop.captureError = "capture failed";
  EXPECT_THROW(capture.captureWindow(w.capture(), {.width = 10, .height = 10}), PlatformError);
  EXPECT_EQ(desktop.captures.size(), 1u);
}

TEST_F(SimCaptureTest, CaptureHasTheRequestedSizeAndIsRecorded) {
  SimApp& app = desktop.addApp({});
  SimWindow& first = app.addWindow({.frame = {{0, 0}, {400, 300}}});
  SimWindow& second = app.addWindow({.frame = {{0, 0}, {400, 300}}});
  auto image = capture.captureWindow(first.capture(), {.width = 200, .height = 150, .showsCursor = false});
  EXPECT_EQ(image.width, 200);
  EXPECT_EQ(image.height, 150);
  EXPECT_EQ(image.rgba.size(), 200u * 150u * 4u);
  ASSERT_EQ(desktop.captures.size(), 1u);
  EXPECT_EQ(desktop.captures[0].width, 200);
  EXPECT_FALSE(desktop.captures[0].showsCursor);

  auto other = capture.captureWindow(second.capture(), {.width = 200, .height = 150});
  EXPECT_NE(image.rgba, other.rgba);
  EXPECT_EQ(image.rgba, capture.captureWindow(first.capture(), {.width = 200, .height = 150}).rgba);

  EXPECT_THROW(capture.captureWindow(first.capture(), {.width = 0, .height = 10}), PlatformError);
  const ShareableWindow closed = second.capture();
  app.closeWindow(second);
  EXPECT_THROW(capture.captureWindow(closed, {.width = 1, .height = 1}), PlatformError);
  EXPECT_NO_THROW(capture.captureWindow(first.capture(), {.width = 1, .height = 1}));
}

TEST_F(SimCaptureTest, PngDataEncodesOrAnswersTheOverride) {
  SimWindow& w = desktop.addApp({}).addWindow({.frame = {{0, 0}, {20, 10}}});
  auto image = capture.captureWindow(w.capture(), {.width = 20, .height = 10});
  auto png = capture.pngData(image);
  ASSERT_TRUE(png);
  ASSERT_GT(png->size(), 8u);
  EXPECT_EQ((*png)[1], 'P');

  desktop.pngOverride = std::optional<std::vector<std::uint8_t>>{};
  EXPECT_FALSE(capture.pngData(image));
  desktop.pngOverride = std::optional<std::vector<std::uint8_t>>{std::vector<std::uint8_t>(5, 1)};
  EXPECT_EQ(capture.pngData(image)->size(), 5u);

  desktop.pngOverride.reset();
  image.rgba.pop_back();  // inconsistent with its size: refused, not read past
  EXPECT_FALSE(capture.pngData(image));
}

TEST_F(SimCaptureTest, PermissionsAndScreenLock) {
  desktop.screenRecordingGranted = false;
  EXPECT_FALSE(capture.preflightScreenCaptureAccess());
  EXPECT_FALSE(capture.requestScreenCaptureAccess());
  EXPECT_EQ(desktop.screenCaptureRequests, 1);

  Session& session = desktop.platform().session;
  EXPECT_TRUE(session.currentDictionary()->empty());
  desktop.setScreenLocked(true);
  EXPECT_EQ(std::get<bool>(session.currentDictionary()->at("CGSSessionScreenIsLocked")), true);
  desktop.setScreenLocked(false);
  EXPECT_EQ(std::get<bool>(session.currentDictionary()->at("CGSSessionScreenIsLocked")), false);
  desktop.sessionDictionary.reset();
  EXPECT_FALSE(session.currentDictionary());
}

TEST(SimEventsTest, PostedEventsAreRecordedInOrder) {
  Desktop desktop;
  Events& events = desktop.platform().events;
  std::vector<std::size_t> seen;
  desktop.onPost = [&](const PostedEvent& e) { seen.push_back(e.index()); };

  auto down = events.createKeyboardEvent(0x24, true);
  ASSERT_TRUE(down);
  down->flags = kCGEventFlagMaskCommand;
  events.post(*down);
  auto click = events.createMouseEvent(MouseEventType::leftMouseDown, {30, 40});
  events.post(*click);
  auto scroll = events.createScrollWheelEvent(-120);
  events.post(*scroll);

  ASSERT_EQ(desktop.posted.size(), 3u);
  EXPECT_EQ(std::get<KeyboardEvent>(desktop.posted[0]).flags, kCGEventFlagMaskCommand);
  EXPECT_EQ(std::get<MouseEvent>(desktop.posted[1]).location, (Point{30, 40}));
  EXPECT_EQ(std::get<ScrollEvent>(desktop.posted[2]).pixels, -120);
  // The click moved the pointer; the scroll event was made where it was.
  EXPECT_EQ(std::get<ScrollEvent>(desktop.posted[2]).location, (Point{30, 40}));
  EXPECT_EQ(seen, (std::vector<std::size_t>{0, 1, 2}));

  desktop.failKeyboardEvents = desktop.failMouseEvents = desktop.failScrollEvents = true;
  EXPECT_FALSE(events.createKeyboardEvent(1, true));
  EXPECT_FALSE(events.createMouseEvent(MouseEventType::leftMouseUp, {}));
  EXPECT_FALSE(events.createScrollWheelEvent(1));
}

TEST(SimMonitorsTest, UserInputReachesInstalledMonitorsUntilTheirHandleGoes) {
  Desktop desktop;
  Monitors& monitors = desktop.platform().monitors;
  std::vector<std::string> log;
  auto downs = monitors.addGlobalMonitor(MonitorKind::leftMouseDown, [&](const MonitorEvent&) {
    log.push_back("down pressed=" + std::to_string(monitors.pressedMouseButtons()));
  });
  auto ups = monitors.addGlobalMonitor(MonitorKind::leftMouseUp, [&](const MonitorEvent& e) {
    log.push_back("up clicks=" + std::to_string(e.clickCount) +
                  " pressed=" + std::to_string(monitors.pressedMouseButtons()));
  });
  auto keys = monitors.addGlobalMonitor(MonitorKind::keyDown, [&](const MonitorEvent& e) {
    log.push_back("key shift=" + std::to_string((e.modifierFlags & kCGEventFlagMaskShift) != 0));
  });
  EXPECT_EQ(desktop.monitorCount(), 3u);

  desktop.userMouseDown({5, 6});
  EXPECT_EQ(monitors.mouseLocation(), (Point{5, 6}));
  desktop.userMouseUp({50, 60}, 2);
  desktop.userKeyDown(kCGEventFlagMaskShift);
  EXPECT_EQ(log, (std::vector<std::string>{"down pressed=1", "up clicks=2 pressed=0", "key shift=1"}));
  EXPECT_EQ(monitors.mouseLocation(), (Point{50, 60}));

  ups.reset();
  EXPECT_EQ(desktop.monitorCount(), 2u);
  desktop.userMouseUp({0, 0});
  EXPECT_EQ(log.size(), 3u);
}

TEST(SimMonitorsTest, AHandlerMayRemoveItsOwnMonitor) {
  Desktop desktop;
  std::unique_ptr<MonitorHandle> handle;
  int calls = 0;
  handle = desktop.platform().monitors.addGlobalMonitor(MonitorKind::keyDown, [&](const MonitorEvent&) {
    ++calls;
    handle.reset();
  });
  desktop.userKeyDown(0);
  desktop.userKeyDown(0);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(desktop.monitorCount(), 0u);
}

}  // namespace
}  // namespace larkspire::simulated
