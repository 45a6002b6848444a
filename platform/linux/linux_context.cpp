// The connections the Linux services share, and the screen-capture
// permission that is made of the display. The buses are dbus/session_buses.
//
// Every connection is opened on first use, or ahead of it, at most once,
// and only from what the environment names: the display from $DISPLAY, the
// buses as dbus/session_buses says.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gio/gio.h>
#include <glib.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "platform/linux/atspi/bus_port.h"
#include "platform/linux/dbus/session_buses.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/x11/server_grab.h"
#include "platform/linux/x11/xcb_replies.h"

namespace larkspire::linux_backend {
namespace {

// An X server answers its connection setup in milliseconds; one that has
// not after this long is stopped or is not an X server at all.
constexpr std::chrono::milliseconds kDisplayConnectTimeout{1500};
// A connection's setup and two round trips, to read a property of the root
// window. Without it in this time the accessibility bus is asked for on the
// session bus.
constexpr std::chrono::milliseconds kAnnouncementWait{250};
// Longer than any address of a bus.
constexpr long kLongestAnnouncement = 4096;
// Longer than any server grab of ours lasts on a loaded machine.
constexpr std::chrono::seconds kLongestOwnGrab{3};

void initXThreads() {
  // Services use the display from the request worker and the run loop alike.
  static std::once_flag once;
  std::call_once(once, [] { XInitThreads(); });
}

int ignoreXError(Display*, XErrorEvent*) {
  // Callers learn of a failed request from its result (a null image, a
  // zero status); the default handler would print and exit.
  return 0;
}

int quietXIOError(Display*) {
  // Returning hands over to the display's exit handler (keepRunningOnXIOError
  // for our display), which keeps the process alive.
  return 0;
}

std::string environmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

// Runs `work` on a thread of its own and waits at most `limit` for its
// answer: none when time ran out or no thread could be started. A thread
// that is late is left behind to finish alone; `work` must clean up after
// itself or leave what it made to be lost.
template <class T>
std::optional<T> runWithin(std::chrono::milliseconds limit, std::function<T()> work) {
  struct Attempt {
    std::mutex mutex;
    std::condition_variable done;
    std::optional<T> answer;
  };
  auto attempt = std::make_shared<Attempt>();
  try {
    std::thread([attempt, work = std::move(work)] {
      T answer = work();
      std::lock_guard<std::mutex> lock(attempt->mutex);
      attempt->answer = std::move(answer);
      attempt->done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return std::nullopt;
  }
  std::unique_lock<std::mutex> lock(attempt->mutex);
  if (!attempt->done.wait_for(lock, limit, [&] { return attempt->answer.has_value(); })) return std::nullopt;
  return std::move(attempt->answer);
}

}  // namespace

// A server that accepts the connection but never answers its setup
// (stopped, or not an X server) would block Xlib for good.
Display* openDisplayWithin(const std::string& name, std::chrono::milliseconds limit, bool& stuck) {
  // A connection that arrives too late is kept open, unused: closing it
  // would talk to a server that has just shown it may not answer.
  auto display = runWithin<Display*>(limit, [name] { return XOpenDisplay(name.c_str()); });
  if (!display) {
    stuck = true;
    return nullptr;
  }
  return *display;
}

namespace {

enum class ProbeResult { answers, refused, silent };

// Whether a fresh connection's setup is answered within the limit. Over
// XCB, not Xlib: Xlib holds a process-wide lock while it opens a display,
// and a thread of ours that holds a server grab may need that lock to let
// the grab go.
ProbeResult probeDisplayWithin(const std::string& name, std::chrono::milliseconds limit) {
  auto answered = runWithin<bool>(limit, [name] {
    xcb_connection_t* connection = xcb_connect(name.c_str(), nullptr);
    const bool answered = connection != nullptr && xcb_connection_has_error(connection) == 0;
    // One that answers too late is closed all the same: the server
    // answered, so closing does not block.
    if (connection != nullptr) xcb_disconnect(connection);
    return answered;
  });
  if (!answered) return ProbeResult::silent;
  return *answered ? ProbeResult::answers : ProbeResult::refused;
}

// The accessibility bus address that the session's launcher puts on the
// root window, where the toolkits look for it before asking the session
// bus: empty when there is none. Read over a connection of its own, so
// that it neither waits for the shared one to open nor takes its lock.
std::string announcedAccessibilityBus(const std::string& displayName) {
  int screenNumber = 0;
  std::unique_ptr<xcb_connection_t, Release<xcb_disconnect>> connection(
      xcb_connect(displayName.c_str(), &screenNumber));
  xcb_connection_t* c = connection.get();
  if (c == nullptr || xcb_connection_has_error(c) != 0) return {};
  static constexpr char kName[] = "AT_SPI_BUS";
  auto atom = xcbReply(c, xcb_intern_atom_reply, xcb_intern_atom(c, 1, sizeof kName - 1, kName));
  auto screens = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screenNumber && screens.rem > 0; ++i) xcb_screen_next(&screens);
  if (!atom || atom->atom == XCB_ATOM_NONE || screens.rem == 0) return {};
  const PropertyReply property{
      xcbReply(c, xcb_get_property_reply,
               xcb_get_property(c, 0, screens.data->root, atom->atom, XCB_ATOM_STRING, 0, kLongestAnnouncement / 4))};
  if (!property.exists() || property.reply->bytes_after != 0) return {};
  return std::string(property.bytes());
}

}  // namespace

struct LinuxContext::Impl {
  Impl()
      : buses([]() -> std::string {
          // Never the reason the accessibility bus is late: a display that
          // does not answer is not waited for.
          std::string name = environmentValue("DISPLAY");
          if (name.empty()) return {};
          return runWithin<std::string>(kAnnouncementWait, [name] { return announcedAccessibilityBus(name); })
              .value_or(std::string());
        }) {}

  // One lock per connection: a display that is slow to open must not hold
  // up the buses, nor the other way round.
  std::mutex displayMutex;
  bool displayOpened = false;
  Display* display = nullptr;
  bool displayStuck = false;
  std::atomic<bool> displayLost{false};

  SessionBuses buses;
  atspi::RegistryListing registry;

  static void keepRunningOnXIOError(Display*, void* self) {
    // Xlib marks the connection dead and turns later calls into no-ops; we
    // only stop handing it out.
    static_cast<Impl*>(self)->displayLost = true;
  }
};

LinuxContext::LinuxContext() : impl_(std::make_unique<Impl>()) {}

LinuxContext::~LinuxContext() {
  // A display that never answered has no connection to close.
  impl_->buses.disconnect();
  // A lost display is left alone: closing it would write to a dead socket.
  if (impl_->display != nullptr && !impl_->displayLost) XCloseDisplay(impl_->display);
}

Display* LinuxContext::display() {
  std::lock_guard<std::mutex> lock(impl_->displayMutex);
  if (!impl_->displayOpened) {
    impl_->displayOpened = true;
    std::string name = environmentValue("DISPLAY");
    if (!name.empty()) {
      initXThreads();
      impl_->display = openDisplayWithin(name, kDisplayConnectTimeout, impl_->displayStuck);
      if (impl_->display != nullptr) XSetIOErrorExitHandler(impl_->display, &Impl::keepRunningOnXIOError, impl_.get());
    }
  }
  return impl_->displayLost ? nullptr : impl_->display;
}

LinuxContext::DisplayState LinuxContext::displayState(bool probe) {
  Display* open = display();
  if (open != nullptr) {
    if (!probe) {
      // One round trip: on a connection that broke it fails and marks the
      // display lost; on a stopped server it waits, which a watchdog on
      // another thread can then tell.
      XSync(open, False);
      return impl_->displayLost ? DisplayState::lost : DisplayState::open;
    }
    // The shared connection is left alone: another thread may be stuck in
    // it, holding its lock. A grab of our own holds up every other
    // connection, this one too, so a probe that overlapped one proves
    // nothing; the grab's end showed that the server answers. Ours last
    // milliseconds: one held for seconds is a server that stopped
    // answering in the middle of it.
    const std::uint64_t grabsBefore = serverGrabsBegun();
    const bool grabbedBefore = serverGrabHeld();
    const ProbeResult result = probeDisplayWithin(DisplayString(open), kDisplayConnectTimeout);
    const bool grabbed = grabbedBefore || serverGrabsBegun() != grabsBefore;
    if (result == ProbeResult::answers || (grabbed && serverGrabHeldFor() < kLongestOwnGrab)) {
      return DisplayState::open;
    }
    return result == ProbeResult::silent ? DisplayState::notAnswering : DisplayState::lost;
  }
  std::lock_guard<std::mutex> lock(impl_->displayMutex);
  if (impl_->displayLost) return DisplayState::lost;
  if (impl_->displayStuck) return DisplayState::notAnswering;
  return environmentValue("DISPLAY").empty() ? DisplayState::none : DisplayState::unreachable;
}

GDBusConnection* LinuxContext::sessionBus() { return impl_->buses.sessionBus(std::nullopt); }

bool LinuxContext::sessionBusLost() { return impl_->buses.sessionBusLost(); }

GDBusConnection* LinuxContext::sessionBus(std::optional<std::chrono::steady_clock::time_point> deadline) {
  return impl_->buses.sessionBus(deadline);
}

atspi::RegistryListing& LinuxContext::registryListing() { return impl_->registry; }

GDBusConnection* LinuxContext::accessibilityBus() { return impl_->buses.accessibilityBus(std::nullopt); }

GDBusConnection* LinuxContext::accessibilityBus(std::optional<std::chrono::steady_clock::time_point> deadline) {
  return impl_->buses.accessibilityBus(deadline);
}

void LinuxContext::connectBusesAhead() { impl_->buses.connectAhead(); }

void LinuxContext::accessibilityMayHaveStarted() { impl_->buses.retryAccessibilityNow(); }

void LinuxContext::accessibilitySwitchSeenOn() { impl_->buses.switchSeenOn(); }

bool LinuxContext::accessibilitySwitchSeenOnRecently() {
  return impl_->buses.switchSeenOnWithin(std::chrono::seconds(1));
}

// Window capture reads pixels as 8-bit red, green and blue: it needs the
// display and a TrueColor visual of depth 24 or 32 on the default screen.
// (The capture itself uses Composite's window pixmaps where the server has
// the extension and falls back to XGetImage, so neither is required here.)
platform::PermissionState screenCaptureState(LinuxContext& context) {
  using platform::PermissionState;
  switch (context.displayState()) {
    case LinuxContext::DisplayState::none:
      return PermissionState::notGranted;
    case LinuxContext::DisplayState::open:
      break;
    default:
      return PermissionState::serviceFailed;
  }
  Display* display = context.display();
  if (display == nullptr) return PermissionState::serviceFailed;
  int screen = DefaultScreen(display);
  XVisualInfo info;
  bool trueColor = XMatchVisualInfo(display, screen, 24, TrueColor, &info) != 0 ||
                   XMatchVisualInfo(display, screen, 32, TrueColor, &info) != 0;
  return trueColor ? PermissionState::granted : PermissionState::notGranted;
}

bool screenCaptureAvailable(LinuxContext& context) {
  return screenCaptureState(context) == platform::PermissionState::granted;
}

void silenceLibraryMessages() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Structured logging (g_log_structured, g_message, g_warning, g_critical
    // from GLib, GIO and AT-SPI) and the classic default handler both end here.
    g_log_set_writer_func([](GLogLevelFlags, const GLogField*, gsize, gpointer) { return G_LOG_WRITER_HANDLED; },
                          nullptr, nullptr);
    g_log_set_default_handler([](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
    g_set_print_handler([](const gchar*) {});
    g_set_printerr_handler([](const gchar*) {});

    initXThreads();
    XSetErrorHandler(&ignoreXError);
    XSetIOErrorHandler(&quietXIOError);
  });
}

}  // namespace larkspire::linux_backend
