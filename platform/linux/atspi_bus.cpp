#include "platform/linux/atspi_bus.h"

#include "platform/linux/atspi_translate.h"
#include "platform/linux/linux_platform.h"

namespace larkspire::linux_backend::atspi {
namespace {

struct ErrorFree {
  void operator()(GError* e) const { if (e) g_error_free(e); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;

Reply replyFrom(GVariant* value, GError* rawError) {
  ErrorPtr error(rawError);
  Reply reply;
  if (value) {
    reply.value.reset(value);
  } else {
    reply.error = errorFor(error.get());
  }
  return reply;
}

struct Pending {
  Reply* out;
  int* remaining;
};

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

Bus::Bus(LinuxContext& context) : context_(context) {}

Bus::~Bus() = default;

GDBusConnection* Bus::connection() { return context_.accessibilityBus(); }

Reply Bus::call(Call c) {
  GDBusConnection* conn = connection();
  if (!conn) {
    if (c.parameters) g_variant_unref(g_variant_ref_sink(c.parameters));
    return Reply{nullptr, platform::kAXErrorCannotComplete};
  }
  GError* error = nullptr;
  GVariant* value = g_dbus_connection_call_sync(conn, c.bus.c_str(), c.path.c_str(), c.interface, c.method, c.parameters,
                                                c.replyType ? G_VARIANT_TYPE(c.replyType) : nullptr,
                                                G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs, nullptr, &error);
  return replyFrom(value, error);
}

std::vector<Reply> Bus::callAll(std::vector<Call> calls) {
  std::vector<Reply> replies(calls.size());
  GDBusConnection* conn = connection();
  if (!conn) {
    for (auto& c : calls)
      if (c.parameters) g_variant_unref(g_variant_ref_sink(c.parameters));
    for (auto& r : replies) r.error = platform::kAXErrorCannotComplete;
    return replies;
  }
  if (calls.size() == 1) {
    replies[0] = call(std::move(calls[0]));
    return replies;
  }
  // Replies are delivered on a private context that only this loop runs, so
  // nothing else of the process is dispatched here.
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  int remaining = static_cast<int>(calls.size());
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const Call& c = calls[i];
    g_dbus_connection_call(conn, c.bus.c_str(), c.path.c_str(), c.interface, c.method, c.parameters,
                           c.replyType ? G_VARIANT_TYPE(c.replyType) : nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START,
                           kCallTimeoutMs, nullptr, onReply, new Pending{&replies[i], &remaining});
  }
  // Every call ends by its own timeout at the latest.
  while (remaining > 0) g_main_context_iteration(context, TRUE);
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
  return replies;
}

Reply Bus::property(const std::string& bus, const std::string& path, const char* interface, const char* name) {
  Reply reply = call(Call{bus, path, "org.freedesktop.DBus.Properties", "Get", g_variant_new("(ss)", interface, name),
                          "(v)"});
  if (!reply.ok()) return reply;
  GVariant* inner = nullptr;
  g_variant_get(reply.value.get(), "(v)", &inner);
  reply.value.reset(inner);
  return reply;
}

}  // namespace larkspire::linux_backend::atspi
