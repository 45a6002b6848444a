// Feeds arbitrary bytes to the reader of D-Bus messages, next to libdbus.
// Whatever libdbus takes, the reader must take too, with the same
// arguments (unless they refer to file descriptors, which it does not take): libdbus writes what the reader read back
// into the same bytes. What the reader takes that libdbus refuses (names it
// does not check) only has to be read without fault.
#include <dbus/dbus.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/linux/dbus/libdbus_handles.h"
#include "platform/linux/dbus/reply_wire.h"

namespace {

using namespace larkspire::linux_backend;
using namespace larkspire::linux_backend::atspi;

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "broken invariant: %s\n", what);
    std::abort();
  }
}

std::uint32_t bodyLength(const char* bytes) {
  std::uint32_t v = 0;
  for (int k = 3; k >= 0; --k) v = (v << 8) | static_cast<std::uint8_t>(bytes[4 + k]);
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 16) return 0;
  const char* bytes = reinterpret_cast<const char*>(data);
  auto ours = readWireMessage(bytes, size);
  if (wireMessageLength(bytes, size) != size) {
    check(!ours, "a message of another length than its header says was read");
    return 0;
  }
  DBusErrorSlot error;
  DBusMessageHandle theirs(dbus_message_demarshal(bytes, static_cast<int>(size), error.out()));
  if (!theirs) return 0;
  const char* signature = dbus_message_get_signature(theirs.get());
  check(ours.has_value(), "a message libdbus reads was refused");
  check(ours->type == dbus_message_get_type(theirs.get()), "another type");
  check(ours->replySerial == dbus_message_get_reply_serial(theirs.get()), "another reply serial");
  check(ours->signature == signature, "another signature");
  const char* errorName = dbus_message_get_error_name(theirs.get());
  check(ours->errorName == (errorName ? errorName : ""), "another error name");
  // libdbus writes little-endian here; file descriptors are not taken.
  if (bytes[0] != 'l' || !ours->arguments) return 0;
  Object<GDBusMessage> again(g_dbus_message_new_method_call(nullptr, "/a", "i.f", "M"));
  g_dbus_message_set_body(again.get(), ours->arguments.get());
  g_dbus_message_set_serial(again.get(), 1);
  gsize length = 0;
  guchar* written = g_dbus_message_to_blob(again.get(), &length, G_DBUS_CAPABILITY_FLAGS_NONE, nullptr);
  check(written != nullptr, "arguments GIO cannot write");
  const std::uint32_t body = bodyLength(bytes);
  check(bodyLength(reinterpret_cast<const char*>(written)) == body &&
            std::memcmp(written + length - body, bytes + size - body, body) == 0,
        "arguments written back differ from the message's");
  g_free(written);
  return 0;
}
