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
#include <gio/gio.h>
#include <glib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "platform/linux/linux_platform.h"

namespace larkspire::linux_backend {
namespace {

// Generous for a local bus, short enough that a dead one cannot stall a reply.
constexpr int kCallTimeoutMs = 2000;
constexpr std::chrono::seconds kConnectTimeout{2};

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
GDBusConnection* connectBus(const std::string& address) {
  if (address.empty() || !g_dbus_is_supported_address(address.c_str(), nullptr)) return nullptr;

  GCancellable* cancellable = g_cancellable_new();
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(mutex);
    if (!finished.wait_for(lock, kConnectTimeout, [&] { return done; })) g_cancellable_cancel(cancellable);
  });

  GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, cancellable, nullptr);

  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  finished.notify_one();
  watchdog.join();
  g_object_unref(cancellable);

  // A lost bus must never end the process.
  if (connection != nullptr) g_dbus_connection_set_exit_on_close(connection, FALSE);
  return connection;
}

// One synchronous method call with the short timeout; null on any error.
GVariant* callMethod(GDBusConnection* bus, const char* destination, const char* path, const char* interface,
                     const char* method, GVariant* parameters, const GVariantType* replyType) {
  return g_dbus_connection_call_sync(bus, destination, path, interface, method, parameters, replyType,
                                     G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, nullptr);
}

bool busAnswers(GDBusConnection* bus) {
  GVariant* reply = callMethod(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "GetId", nullptr, G_VARIANT_TYPE("(s)"));
  if (reply == nullptr) return false;
  g_variant_unref(reply);
  return true;
}

constexpr const char* kA11yService = "org.a11y.Bus";
constexpr const char* kA11yPath = "/org/a11y/bus";
constexpr const char* kStatusInterface = "org.a11y.Status";

}  // namespace

struct LinuxContext::Impl {
  std::mutex mutex;

  bool displayOpened = false;
  Display* display = nullptr;
  std::atomic<bool> displayLost{false};

  bool sessionOpened = false;
  GDBusConnection* sessionBus = nullptr;

  GDBusConnection* accessibilityBus = nullptr;

  static void keepRunningOnXIOError(Display*, void* self) {
    // Xlib marks the connection dead and turns later calls into no-ops; we
    // only stop handing it out.
    static_cast<Impl*>(self)->displayLost = true;
  }
};

LinuxContext::LinuxContext() : impl_(std::make_unique<Impl>()) {}

LinuxContext::~LinuxContext() {
  if (impl_->accessibilityBus != nullptr) g_object_unref(impl_->accessibilityBus);
  if (impl_->sessionBus != nullptr) g_object_unref(impl_->sessionBus);
  // A lost display is left alone: closing it would write to a dead socket.
  if (impl_->display != nullptr && !impl_->displayLost) XCloseDisplay(impl_->display);
}

Display* LinuxContext::display() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (!impl_->displayOpened) {
    impl_->displayOpened = true;
    std::string name = environmentValue("DISPLAY");
    if (!name.empty()) {
      initXThreads();
      impl_->display = XOpenDisplay(name.c_str());
      if (impl_->display != nullptr) XSetIOErrorExitHandler(impl_->display, &Impl::keepRunningOnXIOError, impl_.get());
    }
  }
  return impl_->displayLost ? nullptr : impl_->display;
}

GDBusConnection* LinuxContext::sessionBus() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (!impl_->sessionOpened) {
    impl_->sessionOpened = true;
    impl_->sessionBus = connectBus(environmentValue("DBUS_SESSION_BUS_ADDRESS"));
  }
  return impl_->sessionBus;
}

GDBusConnection* LinuxContext::accessibilityBus() {
  GDBusConnection* session = sessionBus();
  if (session == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  // The bus is asked again once the cached connection has closed (the
  // accessibility bus is restarted with the session's launcher).
  if (impl_->accessibilityBus != nullptr && g_dbus_connection_is_closed(impl_->accessibilityBus)) {
    g_object_unref(impl_->accessibilityBus);
    impl_->accessibilityBus = nullptr;
  }
  if (impl_->accessibilityBus == nullptr) {
    GVariant* reply = callMethod(session, kA11yService, kA11yPath, kA11yService, "GetAddress", nullptr,
                                 G_VARIANT_TYPE("(s)"));
    if (reply != nullptr) {
      const char* address = nullptr;
      g_variant_get(reply, "(&s)", &address);
      impl_->accessibilityBus = connectBus(address);
      g_variant_unref(reply);
    }
  }
  return impl_->accessibilityBus;
}

bool accessibilityEnabled(LinuxContext& context, bool prompt) {
  GDBusConnection* session = context.sessionBus();
  if (session == nullptr) return false;

  if (prompt) {
    // What turning accessibility on means here: toolkits that watch this
    // property start exposing their trees. Nobody waits for them to do so.
    GVariant* reply = callMethod(session, kA11yService, kA11yPath, "org.freedesktop.DBus.Properties", "Set",
                                 g_variant_new("(ssv)", kStatusInterface, "IsEnabled", g_variant_new_boolean(TRUE)),
                                 nullptr);
    if (reply != nullptr) g_variant_unref(reply);
  }

  GDBusConnection* bus = context.accessibilityBus();
  if (bus == nullptr || !busAnswers(bus)) return false;

  GVariant* reply = callMethod(session, kA11yService, kA11yPath, "org.freedesktop.DBus.Properties", "Get",
                               g_variant_new("(ss)", kStatusInterface, "IsEnabled"), G_VARIANT_TYPE("(v)"));
  if (reply == nullptr) return false;
  GVariant* value = nullptr;
  g_variant_get(reply, "(v)", &value);
  bool enabled = g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(value);
  g_variant_unref(value);
  g_variant_unref(reply);
  return enabled;
}

// Window capture reads pixels as 8-bit red, green and blue: it needs the
// display and a TrueColor visual of depth 24 or 32 on the default screen.
// (The capture itself uses Composite's window pixmaps where the server has
// the extension and falls back to XGetImage, so neither is required here.)
bool screenCaptureAvailable(LinuxContext& context) {
  Display* display = context.display();
  if (display == nullptr) return false;
  int screen = DefaultScreen(display);
  XVisualInfo info;
  return XMatchVisualInfo(display, screen, 24, TrueColor, &info) != 0 ||
         XMatchVisualInfo(display, screen, 32, TrueColor, &info) != 0;
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
