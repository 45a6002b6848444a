// The connections the Linux services share, and the two permission answers
// that are made of them.
//
// Every connection is opened on first use, at most once, and only from what
// the environment names: the display from $DISPLAY, the session bus from
// $DBUS_SESSION_BUS_ADDRESS (never autolaunched: a helper must not start
// daemons on a machine that has no session), the accessibility bus from the
// address org.a11y.Bus gives on the session bus. Each D-Bus exchange has a
// short timeout, so a hung bus makes an answer false instead of a helper
// that never answers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <xcb/xcb.h>
#include <gio/gio.h>
#include <glib.h>

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

#include "platform/linux/handles.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/x11/server_grab.h"

namespace larkspire::linux_backend {
namespace {

using Clock = std::chrono::steady_clock;

// Generous for a local bus, short enough that a dead one cannot stall a reply.
constexpr int kCallTimeoutMs = 2000;
constexpr std::chrono::seconds kConnectTimeout{2};
// The whole accessibility answer, however many exchanges it takes: the
// permission report must come within a few seconds whatever the buses do.
constexpr std::chrono::milliseconds kAccessibilityAnswerTime{1800};
// An X server answers its connection setup in milliseconds; one that has
// not after this long is stopped or is not an X server at all.
constexpr std::chrono::milliseconds kDisplayConnectTimeout{1500};

constexpr std::chrono::seconds kRetryAfter{1};

// Milliseconds left before a deadline for one call, at least 1 (0 would
// mean GLib's default of 25 seconds), at most the usual call timeout.
int millisecondsLeft(std::optional<Clock::time_point> deadline) {
  if (!deadline) return kCallTimeoutMs;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 1, kCallTimeoutMs));
}

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

// Connects to a bus by address, bounded by a timeout: authentication with a
// bus that accepts but never answers would otherwise block for good. The
// connection is made on the calling thread (not GLib's worker pool), and a
// watchdog thread cancels it when time is up.
Object<GDBusConnection> connectBus(const std::string& address, std::optional<Clock::time_point> deadline) {
  if (address.empty() || !g_dbus_is_supported_address(address.c_str(), nullptr)) return nullptr;
  auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(kConnectTimeout);
  if (deadline) limit = std::chrono::milliseconds(std::min<long long>(limit.count(), millisecondsLeft(deadline)));

  Object<GCancellable> cancellable(g_cancellable_new());
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(mutex);
    if (!finished.wait_for(lock, limit, [&] { return done; })) g_cancellable_cancel(cancellable.get());
  });

  Object<GDBusConnection> connection(g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, cancellable.get(), nullptr));

  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  finished.notify_one();
  watchdog.join();

  // A lost bus must never end the process.
  if (connection) g_dbus_connection_set_exit_on_close(connection.get(), FALSE);
  return connection;
}

// One synchronous method call with the short timeout, or what is left
// before the deadline; null on any error. Services are not started by
// it: only "permissions" may start the accessibility bus.
Variant callMethod(GDBusConnection* bus, const char* destination, const char* path, const char* interface,
                     const char* method, GVariant* parameters, const GVariantType* replyType,
                     std::optional<Clock::time_point> deadline = std::nullopt, bool mayStartService = false) {
  return Variant(g_dbus_connection_call_sync(
      bus, destination, path, interface, method, parameters, replyType,
      mayStartService ? G_DBUS_CALL_FLAGS_NONE : G_DBUS_CALL_FLAGS_NO_AUTO_START, millisecondsLeft(deadline), nullptr,
      nullptr));
}

bool busAnswers(GDBusConnection* bus, std::optional<Clock::time_point> deadline) {
  return callMethod(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId", nullptr,
                    G_VARIANT_TYPE("(s)"), deadline) != nullptr;
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

constexpr const char* kA11yService = "org.a11y.Bus";
constexpr const char* kA11yPath = "/org/a11y/bus";
constexpr const char* kStatusInterface = "org.a11y.Status";

}  // namespace

struct LinuxContext::Impl {
  // One lock per connection: a display that is slow to open must not hold
  // up the buses, nor the other way round.
  std::mutex displayMutex;
  bool displayOpened = false;
  Display* display = nullptr;
  bool displayStuck = false;
  std::atomic<bool> displayLost{false};

  std::mutex busMutex;
  Object<GDBusConnection> sessionBus;
  Object<GDBusConnection> accessibilityBus;
  // After a failed attempt a bus is not tried again before this time, so
  // that a bus that is stuck costs one timeout now and then, not one per
  // call.
  Clock::time_point sessionRetryAt{};
  bool sessionBusWasConnected = false;
  Clock::time_point accessibilityRetryAt{};

  static void keepRunningOnXIOError(Display*, void* self) {
    // Xlib marks the connection dead and turns later calls into no-ops; we
    // only stop handing it out.
    static_cast<Impl*>(self)->displayLost = true;
  }
};

LinuxContext::LinuxContext() : impl_(std::make_unique<Impl>()) {}

LinuxContext::~LinuxContext() {
  // The buses go with impl_; a display that never answered has no
  // connection to close.
  impl_->accessibilityBus.reset();
  impl_->sessionBus.reset();
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
    // nothing; the grab's end showed that the server answers.
    const std::uint64_t grabsBefore = serverGrabsBegun();
    const bool grabbedBefore = serverGrabHeld();
    const ProbeResult result = probeDisplayWithin(DisplayString(open), kDisplayConnectTimeout);
    if (result == ProbeResult::answers || grabbedBefore || serverGrabsBegun() != grabsBefore) {
      return DisplayState::open;
    }
    return result == ProbeResult::silent ? DisplayState::notAnswering : DisplayState::lost;
  }
  std::lock_guard<std::mutex> lock(impl_->displayMutex);
  if (impl_->displayLost) return DisplayState::lost;
  if (impl_->displayStuck) return DisplayState::notAnswering;
  return environmentValue("DISPLAY").empty() ? DisplayState::none : DisplayState::unreachable;
}

GDBusConnection* LinuxContext::sessionBus() { return sessionBus(std::nullopt); }

bool LinuxContext::sessionBusLost() {
  if (sessionBus() != nullptr) return false;
  std::lock_guard<std::mutex> lock(impl_->busMutex);
  return impl_->sessionBusWasConnected;
}

GDBusConnection* LinuxContext::sessionBus(std::optional<std::chrono::steady_clock::time_point> deadline) {
  std::lock_guard<std::mutex> lock(impl_->busMutex);
  // A bus that closed is connected to again: a session's bus restarted at
  // the same address is picked up again.
  if (impl_->sessionBus && g_dbus_connection_is_closed(impl_->sessionBus.get())) impl_->sessionBus.reset();
  if (!impl_->sessionBus && Clock::now() >= impl_->sessionRetryAt) {
    impl_->sessionBus = connectBus(environmentValue("DBUS_SESSION_BUS_ADDRESS"), deadline);
    if (!impl_->sessionBus) impl_->sessionRetryAt = Clock::now() + kRetryAfter;
    else impl_->sessionBusWasConnected = true;
  }
  return impl_->sessionBus.get();
}

GDBusConnection* LinuxContext::accessibilityBus() { return accessibilityBus(std::nullopt); }

GDBusConnection* LinuxContext::accessibilityBus(std::optional<std::chrono::steady_clock::time_point> deadline) {
  GDBusConnection* session = sessionBus(deadline);
  if (session == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(impl_->busMutex);
  // The bus is asked again once the cached connection has closed (the
  // accessibility bus is restarted with the session's launcher).
  if (impl_->accessibilityBus && g_dbus_connection_is_closed(impl_->accessibilityBus.get())) {
    impl_->accessibilityBus.reset();
  }
  if (!impl_->accessibilityBus && Clock::now() >= impl_->accessibilityRetryAt) {
    // Not started here: a launcher that is gone took with it the bus every
    // application was registered on, and a new one would know none of them.
    Variant reply = callMethod(session, kA11yService, kA11yPath, kA11yService, "GetAddress", nullptr,
                               G_VARIANT_TYPE("(s)"), deadline);
    if (reply) {
      const char* address = nullptr;
      g_variant_get(reply.get(), "(&s)", &address);
      impl_->accessibilityBus = connectBus(address, deadline);
    }
    if (!impl_->accessibilityBus) impl_->accessibilityRetryAt = Clock::now() + kRetryAfter;
  }
  return impl_->accessibilityBus.get();
}

platform::PermissionState accessibilityState(LinuxContext& context, bool prompt) {
  using platform::PermissionState;
  if (environmentValue("DBUS_SESSION_BUS_ADDRESS").empty()) return PermissionState::notGranted;
  const auto deadline = Clock::now() + kAccessibilityAnswerTime;
  GDBusConnection* session = context.sessionBus(deadline);
  if (session == nullptr) return PermissionState::serviceFailed;

  if (prompt) {
    // What turning accessibility on means here: toolkits that watch this
    // property start exposing their trees. Nobody waits for them to do so.
    // The session's launcher is started when it is not running yet.
    callMethod(session, kA11yService, kA11yPath, "org.freedesktop.DBus.Properties", "Set",
               g_variant_new("(ssv)", kStatusInterface, "IsEnabled", g_variant_new_boolean(TRUE)), nullptr, deadline,
               /*mayStartService=*/true);
  }

  // A session whose accessibility bus is missing, unreachable or silent
  // has a broken service, not a switch that is off.
  GDBusConnection* bus = context.accessibilityBus(deadline);
  if (bus == nullptr || !busAnswers(bus, deadline)) return PermissionState::serviceFailed;

  Variant reply = callMethod(session, kA11yService, kA11yPath, "org.freedesktop.DBus.Properties", "Get",
                             g_variant_new("(ss)", kStatusInterface, "IsEnabled"), G_VARIANT_TYPE("(v)"), deadline);
  if (!reply) return PermissionState::serviceFailed;
  GVariant* raw = nullptr;
  g_variant_get(reply.get(), "(v)", &raw);
  Variant value(raw);
  bool enabled = g_variant_is_of_type(value.get(), G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(value.get());
  return enabled ? PermissionState::granted : PermissionState::notGranted;
}

bool accessibilityEnabled(LinuxContext& context, bool prompt) {
  return accessibilityState(context, prompt) == platform::PermissionState::granted;
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
