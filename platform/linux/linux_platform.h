// The Linux desktop backend: AT-SPI2 over D-Bus for accessibility, X11/EWMH
// for windows, XTest for input, XInput2 for global monitors, XDG desktop
// entries for applications. Each service is made by its own factory; the
// services share one LinuxContext (the X connection and the D-Bus buses),
// and the clock and run loop that the native platform makes first.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/platform.h"

typedef struct _XDisplay Display;
typedef struct _GDBusConnection GDBusConnection;

namespace larkspire::linux_backend {

class LinuxRunLoop;
namespace atspi {
struct RegistryListing;
}

// Connections shared by the services, each opened on first use. Every getter
// answers null when the connection cannot be made (no display, no bus); the
// services then answer as the platform would without the service.
class LinuxContext {
 public:
  LinuxContext();
  ~LinuxContext();
  LinuxContext(const LinuxContext&) = delete;
  LinuxContext& operator=(const LinuxContext&) = delete;

  // The X display named by $DISPLAY, connected to within a short time.
  Display* display();
  enum class DisplayState {
    none,          // $DISPLAY names no display
    open,          // connected
    unreachable,   // the connection was refused
    notAnswering,  // the server took the connection but did not answer in time
    lost,          // the connection broke after it was made
  };
  // With `probe`, an open display is asked whether it still answers (over
  // a connection of its own, within a short time; safe while another thread
  // is stuck on the shared one): a stopped server keeps its connections
  // open and blocks whoever waits for it. Without, one round trip on the
  // shared connection notices a broken one (and waits on a stopped server).
  DisplayState displayState(bool probe = false);
  // The session bus was connected once and is gone now (closed, and not
  // to be had again at its address).
  bool sessionBusLost();
  // The session bus named by $DBUS_SESSION_BUS_ADDRESS (never autolaunched),
  // connected to again after it closed.
  GDBusConnection* sessionBus();
  // The accessibility bus the display announces, or whose address the
  // session's org.a11y.Bus gives (never started here).
  GDBusConnection* accessibilityBus();
  // The same, each exchange bounded by what is left before `deadline`.
  GDBusConnection* sessionBus(std::optional<std::chrono::steady_clock::time_point> deadline);
  GDBusConnection* accessibilityBus(std::optional<std::chrono::steady_clock::time_point> deadline);
  // Begins connecting both buses at once, beside whatever else the caller
  // does first; asking for a bus then waits for its connection.
  void connectBusesAhead();
  // The session's accessibility launcher has just been asked to start: a
  // bus that could not be had a moment ago is tried again.
  void accessibilityMayHaveStarted();
  // The accessibility switch was found on; whether that was a moment ago
  // (within a second).
  void accessibilitySwitchSeenOn();
  bool accessibilitySwitchSeenOnRecently();
  // The accessibility registry's applications as last listed by any
  // connection of the process.
  atspi::RegistryListing& registryListing();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Accessibility permission on Linux: the accessibility bus answers and its
// org.a11y.Status.IsEnabled is true. With prompt, IsEnabled is set to true
// first where it is not (without waiting for toolkits to notice; the
// session's launcher is started if need be). Answered within about two
// seconds whatever the buses do. Outside any session: not granted; a session bus or
// accessibility bus that is missing, refuses or does not answer: failed.
platform::PermissionState accessibilityState(LinuxContext& context, bool prompt);
bool accessibilityEnabled(LinuxContext& context, bool prompt);
// IsEnabled set to true, as with prompt, where it is not already; nothing
// is reported.
void switchAccessibilityOn(LinuxContext& context);
// Screen capture permission on Linux: the X display opens and offers what
// window capture needs. No $DISPLAY: not granted; a display that refuses,
// does not answer or was lost: failed.
platform::PermissionState screenCaptureState(LinuxContext& context);
bool screenCaptureAvailable(LinuxContext& context);

// XOpenDisplay within a time limit (on a thread of its own, left behind
// when the time runs out). Null when refused or late; `stuck` tells the two
// apart.
Display* openDisplayWithin(const std::string& name, std::chrono::milliseconds limit, bool& stuck);

// Keeps GLib, GIO and Xlib from ever writing to the standard streams.
void silenceLibraryMessages();

std::unique_ptr<platform::Accessibility> makeAccessibility(LinuxContext& context);
// The application an accessibility element belongs to: its bus name.
std::optional<std::string> applicationOf(const platform::Element& element);
// The services that wait take the process's clock, so that their deadlines
// run in virtual time under test; the monitors add their X connection to
// the process's run loop.
std::unique_ptr<platform::Workspace> makeWorkspace(LinuxContext& context, platform::Clock& clock);
std::unique_ptr<platform::Bundles> makeBundles(LinuxContext& context);
std::unique_ptr<platform::ScreenCapture> makeScreenCapture(LinuxContext& context, platform::Clock& clock);
std::unique_ptr<platform::Session> makeSession(LinuxContext& context);
std::unique_ptr<platform::Events> makeEvents(LinuxContext& context, platform::Clock& clock);
std::unique_ptr<platform::Monitors> makeMonitors(LinuxContext& context, LinuxRunLoop& loop);
std::unique_ptr<platform::Clock> makeClock();
std::unique_ptr<LinuxRunLoop> makeRunLoop(platform::Clock& clock);

}  // namespace larkspire::linux_backend
