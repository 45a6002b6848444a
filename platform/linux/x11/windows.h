// The X11 top-level windows as the capture service lists them: owner, layer,
// frame, number and title, read from the EWMH properties the window manager
// and the toolkits maintain.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/values.h"

typedef struct _XDisplay Display;

namespace larkspire::linux_backend {

// Layers follow the macOS window levels the core already understands:
// only layer 0 holds ordinary application windows.
//
//   _NET_WM_WINDOW_TYPE                 layer
//   NORMAL, DIALOG, none given            0
//   NORMAL/DIALOG with _NET_WM_STATE_BELOW -1
//   NORMAL/DIALOG with _NET_WM_STATE_ABOVE  3  (floating)
//   UTILITY, TOOLBAR, MENU (torn off)     3  (floating)
//   SPLASH                                8  (modal panel)
//   DOCK                                 20  (dock)
//   NOTIFICATION                         25  (status)
//   DROPDOWN_MENU, POPUP_MENU, COMBO    101  (pop-up menu)
//   TOOLTIP                             200  (help)
//   DND                                 500  (dragging)
//   DESKTOP                      -2147483623 (desktop)
//
// The first type in the list that the table knows decides (EWMH lists
// them in order of preference). An override-redirect window that would
// get layer 0 or less is a pop-up the window manager never sees: 101.
inline constexpr int kDesktopLayer = -2147483623;
int windowLayer(const std::vector<std::string>& types, const std::vector<std::string>& states, bool overrideRedirect);

// _NET_FRAME_EXTENTS: the decoration the window manager adds on each side.
struct FrameExtents {
  long left = 0;
  long right = 0;
  long top = 0;
  long bottom = 0;
};

// The window-manager frame around a client whose inside starts at
// (clientX, clientY) on the root window: the rectangle toolkits report to
// accessibility as the window's position and size.
platform::Rect frameFromClient(int clientX, int clientY, int width, int height,
                               const std::optional<FrameExtents>& extents);

// The client's own area when the window manager decorates it (extents not
// all zero), none otherwise: what Qt reports to accessibility as the
// window's position and size, where GTK reports the frame.
std::optional<platform::Rect> contentWithinFrame(int clientX, int clientY, int width, int height,
                                                 const std::optional<FrameExtents>& extents);

// Window titles are bytes of whatever the client set; Latin-1 (the STRING
// type) is converted, anything else is made valid UTF-8.
std::string latin1ToUtf8(std::string_view bytes);

struct X11Window {
  unsigned long client = 0;    // the application's window: its number
  unsigned long topLevel = 0;  // the root's child holding it (frame or client)
  std::optional<platform::Pid> pid;
  int layer = 0;
  platform::Rect frame;
  std::optional<platform::Rect> content;  // contentWithinFrame
  std::optional<std::string> title;
  bool viewable = false;
  bool managed = false;
};

// Every top-level window, frontmost first: the window manager's clients
// (mapped or not, minimised ones too) and the mapped override-redirect
// windows (menus, tooltips). Answers nothing when the display is null.
std::vector<X11Window> listTopLevelWindows(Display* display);

// The application window a click at this root point would reach: the
// topmost viewable window there that takes input (override-redirect pop-ups
// and panels kept above included), as its client window; none when the
// point lies off the screen or only on the root window.
std::optional<unsigned long> windowAtPoint(Display* display, int x, int y);

// One window as listTopLevelWindows describes it, read afresh; none when it
// no longer exists.
std::optional<X11Window> describeWindow(Display* display, unsigned long window);

}  // namespace larkspire::linux_backend
