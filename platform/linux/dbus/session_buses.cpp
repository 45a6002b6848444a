// The session and accessibility buses, and the accessibility permission
// read from org.a11y.Status on the session's org.a11y.Bus.
#include "platform/linux/dbus/session_buses.h"

#include <gio/gio.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "common/alongside.h"
#include "platform/linux/linux_platform.h"

namespace larkspire::linux_backend {
namespace {

using Clock = std::chrono::steady_clock;

// Generous for a local bus, short enough that a dead one cannot stall a reply.
constexpr int kCallTimeoutMs = 2000;
constexpr std::chrono::seconds kConnectTimeout{2};
// The whole accessibility answer, however many exchanges it takes: the
// permission report must come within a few seconds whatever the buses do.
constexpr std::chrono::milliseconds kAccessibilityAnswerTime{1800};

constexpr std::chrono::seconds kRetryAfter{1};

constexpr const char* kA11yService = "org.a11y.Bus";
constexpr const char* kA11yPath = "/org/a11y/bus";
constexpr const char* kStatusInterface = "org.a11y.Status";

std::string environmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

// Milliseconds left before a deadline for one call, at least 1 (0 would
// mean GLib's default of 25 seconds), at most the usual call timeout.
int millisecondsLeft(std::optional<Clock::time_point> deadline) {
  if (!deadline) return kCallTimeoutMs;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 1, kCallTimeoutMs));
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
  return Variant(g_dbus_connection_call_sync(bus, destination, path, interface, method, parameters, replyType,
                                             mayStartService ? G_DBUS_CALL_FLAGS_NONE : G_DBUS_CALL_FLAGS_NO_AUTO_START,
                                             millisecondsLeft(deadline), nullptr, nullptr));
}

bool busAnswers(GDBusConnection* bus, std::optional<Clock::time_point> deadline) {
  return callMethod(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId", nullptr,
                    G_VARIANT_TYPE("(s)"), deadline) != nullptr;
}

// org.a11y.Status.IsEnabled: none when it cannot be read.
std::optional<bool> switchState(GDBusConnection* session, std::optional<Clock::time_point> deadline) {
  Variant reply = callMethod(session, kA11yService, kA11yPath, "org.freedesktop.DBus.Properties", "Get",
                             g_variant_new("(ss)", kStatusInterface, "IsEnabled"), G_VARIANT_TYPE("(v)"), deadline);
  if (!reply) return std::nullopt;
  GVariant* raw = nullptr;
  g_variant_get(reply.get(), "(v)", &raw);
  Variant value(raw);
  return g_variant_is_of_type(value.get(), G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(value.get());
}

// What turning accessibility on means here: toolkits that watch
// org.a11y.Status.IsEnabled start exposing their trees. Nobody waits for
// them to do so. A switch that is on already is left alone; otherwise the
// session's launcher is started when it is not running yet. Whether it was
// on already.
bool switchOn(LinuxContext& context, GDBusConnection* session, std::optional<Clock::time_point> deadline) {
  if (switchState(session, deadline) == true) return true;
  callMethod(session, kA11yService, kA11yPath, "org.freedesktop.DBus.Properties", "Set",
             g_variant_new("(ssv)", kStatusInterface, "IsEnabled", g_variant_new_boolean(TRUE)), nullptr, deadline,
             /*mayStartService=*/true);
  context.accessibilityMayHaveStarted();
  return false;
}

}  // namespace

SessionBuses::SessionBuses(Announcement announced) : announced_(std::move(announced)) {}

SessionBuses::~SessionBuses() { disconnect(); }

GDBusConnection* SessionBuses::sessionBus(Deadline deadline) {
  std::lock_guard<std::mutex> lock(sessionMutex_);
  // A bus that closed is connected to again: a session's bus restarted at
  // the same address is picked up again.
  if (session_ && g_dbus_connection_is_closed(session_.get())) session_.reset();
  if (!session_ && Clock::now() >= sessionRetryAt_) {
    session_ = connectBus(environmentValue("DBUS_SESSION_BUS_ADDRESS"), deadline);
    if (!session_)
      sessionRetryAt_ = Clock::now() + kRetryAfter;
    else
      sessionWasConnected_ = true;
  }
  return session_.get();
}

bool SessionBuses::sessionBusLost() {
  if (sessionBus(std::nullopt) != nullptr) return false;
  std::lock_guard<std::mutex> lock(sessionMutex_);
  return sessionWasConnected_;
}

GDBusConnection* SessionBuses::accessibilityBus(Deadline deadline) {
  if (sessionBus(deadline) == nullptr) return nullptr;
  return connectAccessibility(deadline);
}

GDBusConnection* SessionBuses::connectAccessibility(Deadline deadline) {
  std::lock_guard<std::mutex> lock(accessibilityMutex_);
  // The bus is asked again once the cached connection has closed (the
  // accessibility bus is restarted with the session's launcher).
  if (accessibility_ && g_dbus_connection_is_closed(accessibility_.get())) accessibility_.reset();
  if (!accessibility_ && Clock::now() >= accessibilityRetryAt_) {
    // Where applications look first. An announcement left behind by a
    // launcher that is gone names a socket nobody listens on any more.
    const std::string announced = announced_ ? announced_() : std::string();
    if (!announced.empty()) accessibility_ = connectBus(announced, deadline);
    GDBusConnection* session = accessibility_ ? nullptr : sessionBus(deadline);
    if (session != nullptr) {
      // Not started here: a launcher that is gone took with it the bus
      // every application was registered on, and a new one would know
      // none of them.
      Variant reply = callMethod(session, kA11yService, kA11yPath, kA11yService, "GetAddress", nullptr,
                                 G_VARIANT_TYPE("(s)"), deadline);
      if (reply) {
        const char* address = nullptr;
        g_variant_get(reply.get(), "(&s)", &address);
        accessibility_ = connectBus(address, deadline);
      }
    }
    if (!accessibility_) accessibilityRetryAt_ = Clock::now() + kRetryAfter;
  }
  return accessibility_.get();
}

void SessionBuses::connectAhead() {
  const Deadline deadline = Clock::now() + kAccessibilityAnswerTime;
  try {
    ahead_.emplace_back([this, deadline] { sessionBus(deadline); });
    ahead_.emplace_back([this, deadline] { connectAccessibility(deadline); });
  } catch (const std::system_error&) {
    // No thread to spare: each bus is connected when first asked for.
  }
}

void SessionBuses::switchSeenOn() { switchSeenOnAt_ = Clock::now().time_since_epoch().count(); }

bool SessionBuses::switchSeenOnWithin(std::chrono::milliseconds span) const {
  const auto seen = switchSeenOnAt_.load();
  return seen != 0 && Clock::now() - Clock::time_point(Clock::duration(seen)) < span;
}

void SessionBuses::retryAccessibilityNow() {
  std::lock_guard<std::mutex> lock(accessibilityMutex_);
  accessibilityRetryAt_ = {};
}

void SessionBuses::disconnect() {
  for (auto& thread : ahead_) {
    if (thread.joinable()) thread.join();
  }
  std::scoped_lock lock(accessibilityMutex_, sessionMutex_);
  accessibility_.reset();
  session_.reset();
}

platform::PermissionState accessibilityState(LinuxContext& context, bool prompt) {
  using platform::PermissionState;
  if (environmentValue("DBUS_SESSION_BUS_ADDRESS").empty()) return PermissionState::notGranted;
  const auto deadline = Clock::now() + kAccessibilityAnswerTime;
  GDBusConnection* session = context.sessionBus(deadline);
  if (session == nullptr) return PermissionState::serviceFailed;

  // The switch as last read: none when not read yet.
  std::optional<bool> enabled;
  if (prompt && switchOn(context, session, deadline)) enabled = true;

  // A session whose accessibility bus is missing, unreachable or silent
  // has a broken service, not a switch that is off. The switch is read
  // meanwhile, on the session bus.
  GDBusConnection* bus = context.accessibilityBus(deadline);
  if (bus == nullptr) return PermissionState::serviceFailed;
  auto read = alongside(!enabled, [session, deadline] { return switchState(session, deadline); });
  if (!busAnswers(bus, deadline)) return PermissionState::serviceFailed;

  if (!enabled) enabled = read.get();
  if (!enabled) return PermissionState::serviceFailed;
  if (*enabled) context.accessibilitySwitchSeenOn();
  return *enabled ? PermissionState::granted : PermissionState::notGranted;
}

void switchAccessibilityOn(LinuxContext& context) {
  // An observe asks right after it found the permission granted.
  if (context.accessibilitySwitchSeenOnRecently()) return;
  if (environmentValue("DBUS_SESSION_BUS_ADDRESS").empty()) return;
  const auto deadline = Clock::now() + kAccessibilityAnswerTime;
  if (GDBusConnection* session = context.sessionBus(deadline)) switchOn(context, session, deadline);
}

bool accessibilityEnabled(LinuxContext& context, bool prompt) {
  return accessibilityState(context, prompt) == platform::PermissionState::granted;
}

}  // namespace larkspire::linux_backend
