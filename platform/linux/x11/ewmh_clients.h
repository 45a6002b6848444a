// The window manager's client windows as the application services need
// them: who owns each, what it says of its application, whether it is an
// ordinary window; the active window and how to activate one.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/values.h"

typedef struct _XDisplay Display;

namespace larkspire::linux_backend::ewmh {

using XWindow = unsigned long;

struct ClientWindow {
  XWindow window = 0;
  std::optional<platform::Pid> pid;          // _NET_WM_PID
  std::optional<std::string> applicationId;  // _GTK_APPLICATION_ID
  std::vector<std::string> wmClass;          // WM_CLASS instance, class
  // An ordinary window of the kind that puts an application on the task
  // bar: type normal or dialog (or none given) and not skipping the task bar.
  bool ordinary = false;
};

// The client windows the window manager lists, in mapping order (oldest
// first). Empty when the display is null or no EWMH window manager runs.
std::vector<ClientWindow> clientWindows(Display* display);

// Just the window numbers, for comparing before and after a launch.
std::vector<XWindow> clientWindowNumbers(Display* display);

// The client windows bottom to top, when the manager keeps that list.
std::vector<XWindow> stackingOrder(Display* display);

// The window _NET_ACTIVE_WINDOW names, when there is one.
std::optional<XWindow> activeWindow(Display* display);
std::optional<platform::Pid> windowPid(Display* display, XWindow window);

// The desktop to switch to before activating a window on desktop
// windowDesktop (_NET_WM_DESKTOP) while currentDesktop is shown; none when
// it is shown already or is on every desktop.
std::optional<unsigned long> desktopToShow(std::optional<unsigned long> windowDesktop,
                                           std::optional<unsigned long> currentDesktop);

// Asks the window manager to activate a window, switching to its desktop
// first (as a pager would, so that focus-stealing prevention lets it
// through), and raises it.
bool activateWindow(Display* display, XWindow window);

// True when the window type list and state list (atom names) describe an
// ordinary window.
bool isOrdinaryWindow(const std::vector<std::string>& types, const std::vector<std::string>& states);

}  // namespace larkspire::linux_backend::ewmh
