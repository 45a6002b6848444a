#include "platform/linux/dbus/message_values.h"

#include <gtest/gtest.h>

#include "platform/linux/atspi/translate.h"
#include "platform/linux/dbus/libdbus_handles.h"
#include "platform/linux/dbus/peer_connection.h"

namespace larkspire::linux_backend::atspi {
namespace {

DBusMessageHandle call() { return DBusMessageHandle(dbus_message_new_method_call(nullptr, "/o", "i.f", "M")); }

// A message as the other side receives it: written out and read back.
DBusMessageHandle overTheWire(DBusMessage* message) {
  dbus_message_set_serial(message, 1);
  char* bytes = nullptr;
  int length = 0;
  EXPECT_TRUE(dbus_message_marshal(message, &bytes, &length));
  DBusErrorSlot error;
  DBusMessageHandle read(dbus_message_demarshal(bytes, length, error.out()));
  dbus_free(bytes);
  return read;
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
    DBusMessageHandle received = overTheWire(message.get());
    ASSERT_TRUE(received) << text;
    Variant back = argumentsOf(received.get());
    ASSERT_TRUE(back) << text;
    EXPECT_TRUE(g_variant_equal(sent.get(), back.get()))
        << text << " came back as " << GlibString(g_variant_print(back.get(), TRUE)).get();
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
  DBusMessageHandle asked = overTheWire(call().get());
  DBusMessageHandle ok(dbus_message_new_method_return(asked.get()));
  dbus_uint32_t role = 42;
  dbus_message_append_args(ok.get(), DBUS_TYPE_UINT32, &role, DBUS_TYPE_INVALID);
  Reply r = replyOf(ok.get(), "(u)");
  ASSERT_TRUE(r.ok());
  Variant value(g_variant_get_child_value(r.value.get(), 0));
  EXPECT_EQ(g_variant_get_uint32(value.get()), 42u);
  EXPECT_TRUE(replyOf(ok.get(), nullptr).ok()) << "no type asked: any";

  Reply wrong = replyOf(ok.get(), "(s)");
  EXPECT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error, platform::kAXErrorCannotComplete);

  DBusMessageHandle unknown(dbus_message_new_error(asked.get(), "org.freedesktop.DBus.Error.UnknownObject", "gone"));
  Reply gone = replyOf(unknown.get(), "(u)");
  EXPECT_EQ(gone.error, errorForDBus("org.freedesktop.DBus.Error.UnknownObject", false));
  EXPECT_FALSE(gone.timedOut);
  EXPECT_FALSE(gone.lostConnection);

  DBusMessageHandle late(dbus_message_new_error(asked.get(), "org.freedesktop.DBus.Error.NoReply", "late"));
  EXPECT_TRUE(replyOf(late.get(), "(u)").timedOut);
}

}  // namespace
}  // namespace larkspire::linux_backend::atspi
