#include "platform/linux/dbus/message_values.h"

#include <gtest/gtest.h>

#include "platform/linux/atspi/translate.h"
#include "platform/linux/dbus/libdbus_handles.h"
#include "platform/linux/dbus/peer_connection.h"
#include "platform/linux/dbus/reply_wire.h"

namespace larkspire::linux_backend::atspi {
namespace {

DBusMessageHandle call() { return DBusMessageHandle(dbus_message_new_method_call(nullptr, "/o", "i.f", "M")); }

// The bytes libdbus sends for a message.
std::vector<char> bytesOf(DBusMessage* message) {
  if (dbus_message_get_serial(message) == 0) dbus_message_set_serial(message, 1);
  char* bytes = nullptr;
  int length = 0;
  EXPECT_TRUE(dbus_message_marshal(message, &bytes, &length));
  std::vector<char> out(bytes, bytes + length);
  dbus_free(bytes);
  return out;
}

// A message as the other side receives it: written by libdbus, read here.
std::optional<WireMessage> overTheWire(DBusMessage* message) {
  const auto bytes = bytesOf(message);
  return readWireMessage(bytes.data(), bytes.size());
}

TEST(LibdbusMessages, ArgumentsArriveAsTheyWereSent) {
  // What the accessibility calls send and their replies carry, and the rest
  // of what D-Bus can.
  for (const char* text : {
           "('org.a11y.atspi.Accessible', 'Name')",
           "(uint32 0,)",
           "(@a(so) [],)",
           "([(':1.7', objectpath '/a'), (':1.8', objectpath '/b')],)",
           "(@au [1, 4294967295],)",
           "(<'Sélection'>,)",
           "(<(':1.7', objectpath '/org/a11y/atspi/null')>,)",
           "((1, -2, 3, 4),)",
           "([('click', 'Clicks', '<Alt>c')],)",
           "('org.a11y.atspi.Value', 'CurrentValue', <2.5>)",
           "(true, byte 7, int16 -2, uint16 9, int64 -3, uint64 10, signature 'a(so)')",
           "({'a': <int32 1>, 'b': <@as []>},)",
           "()",
       }) {
    Variant sent(g_variant_ref_sink(g_variant_new_parsed(text)));
    DBusMessageHandle message = call();
    ASSERT_TRUE(appendArguments(message.get(), sent.get())) << text;
    auto received = overTheWire(message.get());
    ASSERT_TRUE(received) << text;
    ASSERT_TRUE(received->arguments) << text;
    EXPECT_TRUE(g_variant_equal(sent.get(), received->arguments.get()))
        << text << " came back as " << GlibString(g_variant_print(received->arguments.get(), TRUE)).get();
  }
}

TEST(LibdbusMessages, WhatDBusCannotCarryIsNotSent) {
  for (const char* text : {"(@mi nothing,)", "(handle 0,)", "((),)"}) {
    Variant sent(g_variant_ref_sink(g_variant_new_parsed(text)));
    DBusMessageHandle message = call();
    EXPECT_FALSE(appendArguments(message.get(), sent.get())) << text;
  }
  DBusMessageHandle message = call();
  Variant bare(g_variant_ref_sink(g_variant_new_int32(1)));
  EXPECT_FALSE(appendArguments(message.get(), bare.get())) << "arguments come as a tuple";
}

TEST(LibdbusMessages, AReplyIsItsValueOrItsErrorAsAGDBusCallWouldGiveThem) {
  DBusMessageHandle asked = call();
  dbus_message_set_serial(asked.get(), 7);
  DBusMessageHandle ok(dbus_message_new_method_return(asked.get()));
  dbus_uint32_t role = 42;
  dbus_message_append_args(ok.get(), DBUS_TYPE_UINT32, &role, DBUS_TYPE_INVALID);
  auto okRead = [&] {
    auto m = overTheWire(ok.get());
    EXPECT_TRUE(m);
    EXPECT_EQ(m->replySerial, 7u);
    return std::move(*m);
  };
  auto message = okRead();
  Reply r = replyOf(message, "(u)");
  ASSERT_TRUE(r.ok());
  Variant value(g_variant_get_child_value(r.value.get(), 0));
  EXPECT_EQ(g_variant_get_uint32(value.get()), 42u);
  message = okRead();
  EXPECT_TRUE(replyOf(message, nullptr).ok()) << "no type asked: any";

  message = okRead();
  Reply wrong = replyOf(message, "(s)");
  EXPECT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error, platform::kAXErrorCannotComplete);

  DBusMessageHandle unknown(dbus_message_new_error(asked.get(), "org.freedesktop.DBus.Error.UnknownObject", "gone"));
  auto unknownRead = overTheWire(unknown.get());
  ASSERT_TRUE(unknownRead);
  Reply gone = replyOf(*unknownRead, "(u)");
  EXPECT_EQ(gone.error, errorForDBus("org.freedesktop.DBus.Error.UnknownObject", false));
  EXPECT_FALSE(gone.timedOut);
  EXPECT_FALSE(gone.lostConnection);

  DBusMessageHandle late(dbus_message_new_error(asked.get(), "org.freedesktop.DBus.Error.NoReply", "late"));
  auto lateRead = overTheWire(late.get());
  ASSERT_TRUE(lateRead);
  EXPECT_TRUE(replyOf(*lateRead, "(u)").timedOut);
}

}  // namespace
}  // namespace larkspire::linux_backend::atspi
