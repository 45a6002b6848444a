#include "platform/linux/x11/windows.h"

#include <gtest/gtest.h>

namespace larkspire::linux_backend {
namespace {

using Names = std::vector<std::string>;

TEST(X11WindowLayer, ApplicationWindowsAreLayerZero) {
  EXPECT_EQ(windowLayer({}, {}, false), 0);
  EXPECT_EQ(windowLayer({"_NET_WM_WINDOW_TYPE_NORMAL"}, {}, false), 0);
  EXPECT_EQ(windowLayer({"_NET_WM_WINDOW_TYPE_DIALOG"}, {"_NET_WM_STATE_MODAL"}, false), 0);
  // A type the table does not know, then a known one: the known one counts.
  EXPECT_EQ(windowLayer({"_KDE_NET_WM_WINDOW_TYPE_OVERRIDE", "_NET_WM_WINDOW_TYPE_NORMAL"}, {}, false), 0);
  // Minimised and hidden windows keep their layer.
  EXPECT_EQ(windowLayer({"_NET_WM_WINDOW_TYPE_NORMAL"}, {"_NET_WM_STATE_HIDDEN"}, false), 0);
}

TEST(X11WindowLayer, PanelsMenusAndOverlaysAreAboveZero) {
  EXPECT_EQ(windowLayer({"_NET_WM_WINDOW_TYPE_DOCK"}, {}, false), 20);
  EXPECT_EQ(windowLayer({"_NET_WM_WINDOW_TYPE_UTILITY"}, {}, false), 3);
  EXPECT_EQ(windowLayer({"_NET_WM_WINDOW_TYPE_TOOLBAR"}, {}, false), 3);
  EXPECT_EQ(windowLayer({"_NET_WM_WINDOW_TYPE_SPLASH"}, {}, false), 8);
  EXPECT_EQ(windowLayer({"_NET_WM_WINDOW_TYPE_NOTIFICATION"}, {}, true), 25);
  EXPECT_EQ(windowLayer({"_NET_WM_WINDOW_TYPE_POPUP_MENU"}, {}, true), 101);
  EXPECT_EQ(windowLayer({"_NET_WM_WINDOW_TYPE_DROPDOWN_MENU"}, {}, true), 101);
  EXPECT_EQ(windowLayer({"_NET_WM_WINDOW_TYPE_COMBO"}, {}, true), 101);
  EXPECT_EQ(windowLayer({"_NET_WM_WINDOW_TYPE_TOOLTIP"}, {}, true), 200);
  EXPECT_EQ(windowLayer({"_NET_WM_WINDOW_TYPE_DND"}, {}, true), 500);
  // The first known type decides, even when a later one is "normal".
  EXPECT_EQ(windowLayer({"_NET_WM_WINDOW_TYPE_DOCK", "_NET_WM_WINDOW_TYPE_NORMAL"}, {}, false), 20);
}

TEST(X11WindowLayer, StatesMoveOrdinaryWindowsOnly) {
  EXPECT_EQ(windowLayer({"_NET_WM_WINDOW_TYPE_NORMAL"}, {"_NET_WM_STATE_ABOVE"}, false), 3);
  EXPECT_EQ(windowLayer({}, {"_NET_WM_STATE_BELOW"}, false), -1);
  EXPECT_EQ(windowLayer({"_NET_WM_WINDOW_TYPE_DOCK"}, {"_NET_WM_STATE_BELOW"}, false), 20);
  EXPECT_EQ(windowLayer({"_NET_WM_WINDOW_TYPE_TOOLTIP"}, {"_NET_WM_STATE_ABOVE"}, true), 200);
}

TEST(X11WindowLayer, OverrideRedirectWithoutATypeIsAPopUp) {
  EXPECT_EQ(windowLayer({}, {}, true), 101);
  EXPECT_EQ(windowLayer({"_NET_WM_WINDOW_TYPE_NORMAL"}, {}, true), 101);
}

TEST(X11WindowLayer, DesktopWindowsLieBelowEverything) {
  EXPECT_EQ(windowLayer({"_NET_WM_WINDOW_TYPE_DESKTOP"}, {}, false), kDesktopLayer);
  EXPECT_EQ(windowLayer({"_NET_WM_WINDOW_TYPE_DESKTOP"}, {"_NET_WM_STATE_ABOVE"}, true), kDesktopLayer);
  EXPECT_LT(kDesktopLayer, 0);
}

TEST(X11WindowFrame, ExtentsWidenTheClientIntoItsFrame) {
  // Client at (501, 320), 600x400; extents left 1, right 1, top 20, bottom 5.
  const platform::Rect frame = frameFromClient(501, 320, 600, 400, FrameExtents{1, 1, 20, 5});
  EXPECT_EQ(frame, (platform::Rect{{500, 300}, {602, 425}}));
}

TEST(X11WindowFrame, NoExtentsMeansTheClientItself) {
  EXPECT_EQ(frameFromClient(-40, 7, 300, 200, std::nullopt), (platform::Rect{{-40, 7}, {300, 200}}));
  EXPECT_EQ(frameFromClient(10, 10, 30, 20, FrameExtents{}), (platform::Rect{{10, 10}, {30, 20}}));
}

TEST(X11WindowFrame, TheInsideIsKnownOnlyWhereItDiffersFromTheFrame) {
  // FeatherPad's client: at (450, 257), 700x500, extents 1, 1, 20, 5.
  EXPECT_EQ(contentWithinFrame(450, 257, 700, 500, FrameExtents{1, 1, 20, 5}),
            (platform::Rect{{450, 257}, {700, 500}}));
  EXPECT_EQ(contentWithinFrame(450, 257, 700, 500, FrameExtents{}), std::nullopt);
  EXPECT_EQ(contentWithinFrame(450, 257, 700, 500, std::nullopt), std::nullopt);
}

TEST(X11WindowTitle, Latin1BecomesUtf8) {
  EXPECT_EQ(latin1ToUtf8("Caf\xe9 \xa9 x"), "Caf\xc3\xa9 \xc2\xa9 x");
  EXPECT_EQ(latin1ToUtf8("plain"), "plain");
  EXPECT_EQ(latin1ToUtf8(std::string_view("a\0b", 3)), std::string("a\0b", 3));
}

}  // namespace
}  // namespace larkspire::linux_backend
