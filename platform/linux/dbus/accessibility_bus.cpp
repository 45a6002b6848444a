#include "platform/linux/dbus/accessibility_bus.h"

#include <chrono>

#include "platform/linux/atspi/translate.h"
#include "platform/linux/linux_platform.h"

namespace larkspire::linux_backend::atspi {
namespace {

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

Reply replyFrom(Variant value, const GError* error) {
  Reply reply;
  if (value) {
    reply.value = std::move(value);
  } else {
    reply.error = errorFor(error);
    reply.lostConnection = connectionLost(error);
    reply.timedOut = isTimeout(error);
  }
  return reply;
}

double monotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// One round of calls in flight: where their replies go, and how many are
// still to come.
struct Round {
  std::vector<Reply>& replies;
  int remaining = 0;
};
// What the reply callback of one call is given.
struct Pending {
  Round* round = nullptr;
  std::size_t index = 0;
};

constexpr const char* kApplicationRootPath = "/org/a11y/atspi/accessible/root";

void onReply(GObject* source, GAsyncResult* result, gpointer data) {
  auto* pending = static_cast<Pending*>(data);
  ErrorSlot error;
  Variant value(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, error.out()));
  pending->round->replies[pending->index] = replyFrom(std::move(value), error.get());
  --pending->round->remaining;
}

}  // namespace

platform::AXError errorFor(const GError* error) {
  if (!error) return platform::kAXErrorCannotComplete;
  if (g_dbus_error_is_remote_error(error)) {
    GlibString name(g_dbus_error_get_remote_error(error));
    return errorForDBus(name ? name.get() : "", false);
  }
  if (error->domain == G_IO_ERROR) {
    if (error->code == G_IO_ERROR_TIMED_OUT) return errorForDBus("", true);
    if (error->code == G_IO_ERROR_CLOSED) return platform::kAXErrorCannotComplete;
  }
  if (error->domain == G_DBUS_ERROR) {
    switch (error->code) {
      case G_DBUS_ERROR_UNKNOWN_OBJECT:
        return errorForDBus("org.freedesktop.DBus.Error.UnknownObject", false);
      case G_DBUS_ERROR_SERVICE_UNKNOWN:
        return errorForDBus("org.freedesktop.DBus.Error.ServiceUnknown", false);
      case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
        return errorForDBus("org.freedesktop.DBus.Error.NameHasNoOwner", false);
      case G_DBUS_ERROR_UNKNOWN_METHOD:
        return errorForDBus("org.freedesktop.DBus.Error.UnknownMethod", false);
      case G_DBUS_ERROR_UNKNOWN_INTERFACE:
        return errorForDBus("org.freedesktop.DBus.Error.UnknownInterface", false);
      case G_DBUS_ERROR_UNKNOWN_PROPERTY:
        return errorForDBus("org.freedesktop.DBus.Error.UnknownProperty", false);
      case G_DBUS_ERROR_NO_REPLY:
      case G_DBUS_ERROR_TIMEOUT:
      case G_DBUS_ERROR_TIMED_OUT:
        return errorForDBus("", true);
      case G_DBUS_ERROR_INVALID_ARGS:
        return errorForDBus("org.freedesktop.DBus.Error.InvalidArgs", false);
      default:
        break;
    }
  }
  return platform::kAXErrorCannotComplete;
}

bool isTimeout(const GError* error) {
  if (!error) return false;
  if (g_dbus_error_is_remote_error(error)) {
    GlibString name(g_dbus_error_get_remote_error(error));
    std::string_view n(name ? name.get() : "");
    return n == "org.freedesktop.DBus.Error.NoReply" || n == "org.freedesktop.DBus.Error.Timeout" ||
           n == "org.freedesktop.DBus.Error.TimedOut";
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

Bus::Bus(LinuxContext& context, std::function<double()> clock)
    : context_(context), clock_(clock ? std::move(clock) : monotonicSeconds) {}

double Bus::now() { return clock_(); }

GDBusConnection* Bus::connection() { return context_.accessibilityBus(); }

std::shared_ptr<PeerConnection> Bus::peerFor(const std::string& busName) {
  // Only applications offer private connections, and they are called by
  // their unique names; the registry and the bus itself are not.
  if (busName.empty() || busName[0] != ':') return nullptr;
  if (timedOut_.givenUp(busName, now())) return nullptr;
  std::lock_guard<std::mutex> lock(peersMutex_);
  auto found = peers_.find(busName);
  if (found == peers_.end()) found = peers_.emplace(busName, connectPeer(busName)).first;
  std::shared_ptr<PeerConnection>& peer = found->second;
  if (peer && !peer->connected()) peer.reset();
  return peer;
}

RegistryListing& Bus::registryListing() { return context_.registryListing(); }

// Asks the application for its private address and connects to it, each
// within the call timeout; null when it offers none or cannot be reached.
std::shared_ptr<PeerConnection> Bus::connectPeer(const std::string& busName) {
  GDBusConnection* bus = connection();
  if (!bus) return nullptr;
  ErrorSlot error;
  Variant reply(g_dbus_connection_call_sync(bus, busName.c_str(), kApplicationRootPath, "org.a11y.atspi.Application",
                                            "GetApplicationBusAddress", nullptr, G_VARIANT_TYPE("(s)"),
                                            G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs, nullptr, error.out()));
  if (error && isTimeout(error.get())) timedOut_.timedOut(busName, now());
  if (!reply) return nullptr;
  const char* address = nullptr;
  g_variant_get(reply.get(), "(&s)", &address);
  if (!address || !acceptablePeerAddress(address)) return nullptr;
  const double started = now();
  std::shared_ptr<PeerConnection> peer = PeerConnection::open(address, std::chrono::milliseconds(kCallTimeoutMs));
  // Accepted but never answered: the application is not reading.
  if (!peer && now() - started >= kCallTimeoutMs / 1000.0) timedOut_.timedOut(busName, now());
  return peer;
}

void Bus::forgetPeer(const std::string& busName) {
  std::lock_guard<std::mutex> lock(peersMutex_);
  auto found = peers_.find(busName);
  if (found != peers_.end()) found->second.reset();
}

Bus::Route Bus::route(const std::string& busName) {
  if (auto peer = peerFor(busName)) return Route{std::move(peer), nullptr};
  return Route{nullptr, retain(connection())};
}

namespace {

// One call of a batch that goes over the bus.
struct Send {
  std::size_t index;            // into the calls and their replies
  GDBusConnection* connection;  // borrowed
};

// A main context of our own, the thread's default while it lives.
class PrivateContext {
 public:
  PrivateContext() : context_(g_main_context_new()) { g_main_context_push_thread_default(context_.get()); }
  ~PrivateContext() { g_main_context_pop_thread_default(context_.get()); }
  PrivateContext(const PrivateContext&) = delete;
  PrivateContext& operator=(const PrivateContext&) = delete;
  GMainContext* get() const { return context_.get(); }

 private:
  MainContext context_;
};

// Sends every listed call before waiting for any answer. Replies are
// delivered on a private context that only this loop runs, so nothing else
// of the process is dispatched here. The callbacks' data lives here, and
// this returns only once every callback has run.
void sendAll(const std::vector<Call>& calls, const std::vector<Send>& sends, std::vector<Reply>& replies) {
  if (sends.empty()) return;
  PrivateContext context;
  Round round{replies, static_cast<int>(sends.size())};
  std::vector<Pending> pending(sends.size());
  for (std::size_t k = 0; k < sends.size(); ++k) {
    const Send& send = sends[k];
    const Call& c = calls[send.index];
    pending[k] = Pending{&round, send.index};
    g_dbus_connection_call(send.connection, c.bus.c_str(), c.path.c_str(), c.interface, c.method, c.parameters.get(),
                           c.replyType ? G_VARIANT_TYPE(c.replyType) : nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START,
                           kCallTimeoutMs, nullptr, onReply, &pending[k]);
  }
  // Every call ends by its own timeout at the latest.
  while (round.remaining > 0) g_main_context_iteration(context.get(), TRUE);
}

}  // namespace

std::vector<Reply> Bus::callAll(std::vector<Call> calls) {
  std::vector<Reply> replies(calls.size());
  std::map<std::string, Route> routes;  // one lookup per application in the batch; holds the connections
  std::map<PeerConnection*, std::vector<std::size_t>> overPeers;
  std::vector<Send> sends;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    auto known = routes.find(calls[i].bus);
    if (known == routes.end()) known = routes.emplace(calls[i].bus, route(calls[i].bus)).first;
    const Route& way = known->second;
    if ((!way.peer && !way.bus) || timedOut_.givenUp(calls[i].bus, now())) {
      // Not sent, so not a new timeout: a give-up runs out in its time.
      replies[i].error = platform::kAXErrorCannotComplete;
      continue;
    }
    if (way.peer)
      overPeers[way.peer.get()].push_back(i);
    else
      sends.push_back(Send{i, way.bus.get()});
  }
  for (auto& [peer, which] : overPeers) peer->callAll(calls, which, replies, kCallTimeoutMs);
  sendAll(calls, sends, replies);
  noteTimeouts(calls, replies);

  // A private connection that broke (the application closed it, or ended)
  // is given up; its calls go again over the bus, whose answer tells a
  // vanished application from a failing one.
  std::vector<Send> again;
  GDBusConnection* bus = connection();
  for (const auto& [peer, which] : overPeers) {
    for (std::size_t i : which) {
      if (!replies[i].lostConnection) continue;
      forgetPeer(calls[i].bus);
      if (!bus) continue;
      replies[i] = Reply{};
      again.push_back(Send{i, bus});
    }
  }
  sendAll(calls, again, replies);
  noteTimeouts(calls, replies);
  return replies;
}

void Bus::noteTimeouts(const std::vector<Call>& calls, const std::vector<Reply>& replies) {
  const double at = now();
  for (std::size_t i = 0; i < calls.size(); ++i) {
    // The bus daemon and the registry answer for everyone; only an
    // application is given up on.
    if (replies[i].timedOut && !calls[i].bus.empty() && calls[i].bus[0] == ':') timedOut_.timedOut(calls[i].bus, at);
  }
}

}  // namespace larkspire::linux_backend::atspi
