#include "platform/linux/dbus/accessibility_bus.h"

#include <chrono>
#include <condition_variable>
#include <system_error>
#include <thread>

#include "platform/linux/atspi/translate.h"
#include "platform/linux/linux_platform.h"

namespace larkspire::linux_backend::atspi {
namespace {

struct ErrorFree {
  void operator()(GError* e) const { if (e) g_error_free(e); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;

// An error of the connection itself rather than an answer of the other side
// or a timeout (which a second try would only repeat).
bool connectionLost(const GError* error) {
  if (!error || g_dbus_error_is_remote_error(error)) return false;
  if (error->domain == G_IO_ERROR) return error->code != G_IO_ERROR_TIMED_OUT && error->code != G_IO_ERROR_CANCELLED;
  if (error->domain == G_DBUS_ERROR) {
    return error->code != G_DBUS_ERROR_TIMEOUT && error->code != G_DBUS_ERROR_TIMED_OUT &&
           error->code != G_DBUS_ERROR_NO_REPLY;
  }
  return false;
}

Reply replyFrom(GVariant* value, GError* rawError) {
  ErrorPtr error(rawError);
  Reply reply;
  if (value) {
    reply.value.reset(value);
  } else {
    reply.error = errorFor(error.get());
    reply.lostConnection = connectionLost(error.get());
    reply.timedOut = isTimeout(error.get());
  }
  return reply;
}

double monotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Pending {
  Reply* out;
  int* remaining;
};

constexpr const char* kApplicationRootPath = "/org/a11y/atspi/accessible/root";

// Connects to an application's private address within the call timeout. A
// hung application accepts the socket but never completes the handshake, so
// the connection is made on a thread of its own that is left behind (and
// cleans up after itself) when the time runs out.
GDBusConnection* connectWithin(const std::string& address, std::chrono::milliseconds limit) {
  struct Attempt {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
    GDBusConnection* connection = nullptr;
  };
  auto attempt = std::make_shared<Attempt>();
  try {
    std::thread([attempt, address] {
      GError* error = nullptr;
      GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
          address.c_str(), G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT, nullptr, nullptr, &error);
      if (error) g_error_free(error);
      std::lock_guard<std::mutex> lock(attempt->mutex);
      if (attempt->abandoned) {
        if (connection) g_object_unref(connection);
      } else {
        attempt->connection = connection;
      }
      attempt->finished = true;
      attempt->done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return nullptr;  // no thread to spare: the bus will do
  }
  std::unique_lock<std::mutex> lock(attempt->mutex);
  if (!attempt->done.wait_for(lock, limit, [&] { return attempt->finished; })) {
    attempt->abandoned = true;
    return nullptr;
  }
  return attempt->connection;
}

void onReply(GObject* source, GAsyncResult* result, gpointer data) {
  auto* pending = static_cast<Pending*>(data);
  GError* error = nullptr;
  GVariant* value = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  *pending->out = replyFrom(value, error);
  --*pending->remaining;
  delete pending;
}

}  // namespace

platform::AXError errorFor(const GError* error) {
  if (!error) return platform::kAXErrorCannotComplete;
  if (g_dbus_error_is_remote_error(error)) {
    gchar* name = g_dbus_error_get_remote_error(error);
    auto code = errorForDBus(name ? name : "", false);
    g_free(name);
    return code;
  }
  if (error->domain == G_IO_ERROR) {
    if (error->code == G_IO_ERROR_TIMED_OUT) return errorForDBus("", true);
    if (error->code == G_IO_ERROR_CLOSED) return platform::kAXErrorCannotComplete;
  }
  if (error->domain == G_DBUS_ERROR) {
    switch (error->code) {
      case G_DBUS_ERROR_UNKNOWN_OBJECT: return errorForDBus("org.freedesktop.DBus.Error.UnknownObject", false);
      case G_DBUS_ERROR_SERVICE_UNKNOWN: return errorForDBus("org.freedesktop.DBus.Error.ServiceUnknown", false);
      case G_DBUS_ERROR_NAME_HAS_NO_OWNER: return errorForDBus("org.freedesktop.DBus.Error.NameHasNoOwner", false);
      case G_DBUS_ERROR_UNKNOWN_METHOD: return errorForDBus("org.freedesktop.DBus.Error.UnknownMethod", false);
      case G_DBUS_ERROR_UNKNOWN_INTERFACE: return errorForDBus("org.freedesktop.DBus.Error.UnknownInterface", false);
      case G_DBUS_ERROR_UNKNOWN_PROPERTY: return errorForDBus("org.freedesktop.DBus.Error.UnknownProperty", false);
      case G_DBUS_ERROR_NO_REPLY:
      case G_DBUS_ERROR_TIMEOUT:
      case G_DBUS_ERROR_TIMED_OUT: return errorForDBus("", true);
      case G_DBUS_ERROR_INVALID_ARGS: return errorForDBus("org.freedesktop.DBus.Error.InvalidArgs", false);
      default: break;
    }
  }
  return platform::kAXErrorCannotComplete;
}

bool isTimeout(const GError* error) {
  if (!error) return false;
  if (g_dbus_error_is_remote_error(error)) {
    gchar* name = g_dbus_error_get_remote_error(error);
    std::string_view n(name ? name : "");
    bool timeout = n == "org.freedesktop.DBus.Error.NoReply" || n == "org.freedesktop.DBus.Error.Timeout" ||
                   n == "org.freedesktop.DBus.Error.TimedOut";
    g_free(name);
    return timeout;
  }
  if (error->domain == G_IO_ERROR) return error->code == G_IO_ERROR_TIMED_OUT;
  if (error->domain == G_DBUS_ERROR)
    return error->code == G_DBUS_ERROR_NO_REPLY || error->code == G_DBUS_ERROR_TIMEOUT ||
           error->code == G_DBUS_ERROR_TIMED_OUT;
  return false;
}

void TimedOutApplications::timedOut(const std::string& busName, double now) {
  std::lock_guard<std::mutex> lock(mutex_);
  since_[busName] = now;
}

bool TimedOutApplications::givenUp(const std::string& busName, double now) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = since_.find(busName);
  if (found == since_.end()) return false;
  if (now - found->second < kGiveUpSeconds) return true;
  since_.erase(found);
  return false;
}

bool acceptablePeerAddress(const std::string& address) {
  if (address.find(';') != std::string::npos) return false;  // one address, not a list to try
  return address.rfind("unix:path=", 0) == 0 || address.rfind("unix:abstract=", 0) == 0;
}

Bus::Bus(LinuxContext& context) : context_(context) {}

Bus::~Bus() {
  for (auto& [name, connection] : peers_)
    if (connection) g_object_unref(connection);
}

double Bus::now() { return monotonicSeconds(); }

GDBusConnection* Bus::connection() { return context_.accessibilityBus(); }

GDBusConnection* Bus::peerFor(const std::string& busName) {
  // Only applications offer private connections, and they are called by
  // their unique names; the registry and the bus itself are not.
  if (busName.empty() || busName[0] != ':') return nullptr;
  if (timedOut_.givenUp(busName, monotonicSeconds())) return nullptr;
  std::lock_guard<std::mutex> lock(peersMutex_);
  auto found = peers_.find(busName);
  if (found == peers_.end()) {
    GDBusConnection* peer = nullptr;
    if (GDBusConnection* bus = connection()) {
      GError* error = nullptr;
      GVariant* reply = g_dbus_connection_call_sync(
          bus, busName.c_str(), kApplicationRootPath, "org.a11y.atspi.Application", "GetApplicationBusAddress",
          nullptr, G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs, nullptr, &error);
      if (error) {
        if (isTimeout(error)) timedOut_.timedOut(busName, monotonicSeconds());
        g_error_free(error);
      }
      if (reply) {
        const char* address = nullptr;
        g_variant_get(reply, "(&s)", &address);
        if (address && acceptablePeerAddress(address)) {
          const double started = monotonicSeconds();
          peer = connectWithin(address, std::chrono::milliseconds(kCallTimeoutMs));
          // Accepted but never answered: the application is not reading.
          if (!peer && monotonicSeconds() - started >= kCallTimeoutMs / 1000.0)
            timedOut_.timedOut(busName, monotonicSeconds());
        }
        g_variant_unref(reply);
      }
    }
    found = peers_.emplace(busName, peer).first;
  }
  GDBusConnection* peer = found->second;
  if (!peer) return nullptr;
  if (g_dbus_connection_is_closed(peer)) {
    g_object_unref(peer);
    found->second = nullptr;
    return nullptr;
  }
  return G_DBUS_CONNECTION(g_object_ref(peer));
}

void Bus::forgetPeer(const std::string& busName) {
  std::lock_guard<std::mutex> lock(peersMutex_);
  auto found = peers_.find(busName);
  if (found == peers_.end() || !found->second) return;
  g_object_unref(found->second);
  found->second = nullptr;
}

Bus::Route Bus::route(const std::string& busName) {
  if (GDBusConnection* peer = peerFor(busName)) return Route{peer, true};
  GDBusConnection* bus = connection();
  if (!bus) return Route{};
  return Route{G_DBUS_CONNECTION(g_object_ref(bus)), false};
}

namespace {

struct ConnectionUnref {
  void operator()(GDBusConnection* c) const { g_object_unref(c); }
};
using HeldConnection = std::unique_ptr<GDBusConnection, ConnectionUnref>;

// One call of a batch and the way it goes.
struct Send {
  std::size_t index;            // into the calls and their replies
  GDBusConnection* connection;  // borrowed
  bool peer;                    // the application's private connection: no destination
};

// Sends every listed call before waiting for any answer. Replies are
// delivered on a private context that only this loop runs, so nothing else
// of the process is dispatched here.
void sendAll(const std::vector<Call>& calls, const std::vector<Send>& sends, std::vector<Reply>& replies) {
  if (sends.empty()) return;
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  int remaining = static_cast<int>(sends.size());
  for (const Send& send : sends) {
    const Call& c = calls[send.index];
    g_dbus_connection_call(send.connection, send.peer ? nullptr : c.bus.c_str(), c.path.c_str(), c.interface,
                           c.method, c.parameters.get(), c.replyType ? G_VARIANT_TYPE(c.replyType) : nullptr,
                           G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs, nullptr, onReply,
                           new Pending{&replies[send.index], &remaining});
  }
  // Every call ends by its own timeout at the latest.
  while (remaining > 0) g_main_context_iteration(context, TRUE);
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
}

}  // namespace

std::vector<Reply> Bus::callAll(std::vector<Call> calls) {
  std::vector<Reply> replies(calls.size());
  std::vector<HeldConnection> held;     // the routes' references, released on return
  std::map<std::string, Route> routes;  // one lookup per application in the batch
  std::vector<Send> sends;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    auto known = routes.find(calls[i].bus);
    if (known == routes.end()) {
      Route r = route(calls[i].bus);
      if (r.connection) held.emplace_back(r.connection);
      known = routes.emplace(calls[i].bus, r).first;
    }
    if (!known->second.connection) {
      replies[i].error = platform::kAXErrorCannotComplete;
      continue;
    }
    if (timedOut_.givenUp(calls[i].bus, monotonicSeconds())) {
      // Not sent, so not a new timeout: the give-up runs out in its time.
      replies[i].error = platform::kAXErrorCannotComplete;
      continue;
    }
    sends.push_back(Send{i, known->second.connection, known->second.peer});
  }
  sendAll(calls, sends, replies);
  noteTimeouts(calls, replies);

  // A private connection that broke (the application closed it, or ended)
  // is given up; its calls go again over the bus, whose answer tells a
  // vanished application from a failing one.
  std::vector<Send> again;
  GDBusConnection* bus = connection();
  for (const Send& send : sends) {
    if (!send.peer || !replies[send.index].lostConnection) continue;
    forgetPeer(calls[send.index].bus);
    if (!bus) continue;
    replies[send.index] = Reply{};
    again.push_back(Send{send.index, bus, false});
  }
  sendAll(calls, again, replies);
  noteTimeouts(calls, replies);
  return replies;
}

void Bus::noteTimeouts(const std::vector<Call>& calls, const std::vector<Reply>& replies) {
  const double now = monotonicSeconds();
  for (std::size_t i = 0; i < calls.size(); ++i) {
    // The bus daemon and the registry answer for everyone; only an
    // application is given up on.
    if (replies[i].timedOut && !calls[i].bus.empty() && calls[i].bus[0] == ':') timedOut_.timedOut(calls[i].bus, now);
  }
}

}  // namespace larkspire::linux_backend::atspi
