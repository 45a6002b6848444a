#include "platform/linux/dbus/call_wire.h"

#include <gtest/gtest.h>

#include "platform/linux/dbus/libdbus_handles.h"
#include "platform/linux/dbus/reply_wire.h"

namespace larkspire::linux_backend::atspi {
namespace {

Variant parsed(const char* text) {
  return Variant(g_variant_ref_sink(g_variant_parse(nullptr, text, nullptr, nullptr, nullptr)));
}

TEST(CallWire, LibdbusReadsTheCallsAsSent) {
  // Two calls in one buffer, as a batch goes out: each must stand alone.
  for (const char* text : {"()", "('org.a11y.atspi.Accessible', 'Name')", "(uint32 3,)", "(-7,)",
                           "(objectpath '/org/a11y/atspi/accessible/9', 'é', true, int64 -5, uint64 6)"}) {
    SCOPED_TRACE(text);
    Variant arguments = parsed(text);
    std::vector<char> wire{'x'};
    ASSERT_TRUE(appendMethodCall(wire, 41, "/org/a11y/atspi/accessible/1", "org.a11y.atspi.Component", "GetExtents",
                                 arguments.get()));
    const std::size_t first = wire.size() - 1;
    ASSERT_TRUE(appendMethodCall(wire, 42, "/a", "i.f", "M", arguments.get()));
    ASSERT_EQ(dbus_message_demarshal_bytes_needed(wire.data() + 1, static_cast<int>(first)), static_cast<int>(first));
    for (auto [at, length, serial, path] : {std::tuple{std::size_t{1}, first, 41u, "/org/a11y/atspi/accessible/1"},
                                            std::tuple{first + 1, wire.size() - first - 1, 42u, "/a"}}) {
      DBusErrorSlot error;
      DBusMessageHandle message(dbus_message_demarshal(wire.data() + at, static_cast<int>(length), error.out()));
      ASSERT_TRUE(message) << error.out()->message;
      EXPECT_EQ(dbus_message_get_type(message.get()), DBUS_MESSAGE_TYPE_METHOD_CALL);
      EXPECT_EQ(dbus_message_get_serial(message.get()), serial);
      EXPECT_STREQ(dbus_message_get_path(message.get()), path);
      EXPECT_EQ(dbus_message_get_destination(message.get()), nullptr);
      EXPECT_FALSE(dbus_message_get_no_reply(message.get()));
      auto read = readWireMessage(wire.data() + at, length);
      ASSERT_TRUE(read);
      EXPECT_TRUE(g_variant_equal(read->arguments.get(), arguments.get()))
          << GlibString(g_variant_print(read->arguments.get(), TRUE)).get();
    }
  }
}

TEST(CallWire, OtherArgumentsAndBadNamesAreLeftToLibdbus) {
  for (const char* text : {"(@as [],)", "(<1>,)", "((1, 2),)", "(2.5,)", "(byte 1,)"}) {
    SCOPED_TRACE(text);
    std::vector<char> wire{'x'};
    EXPECT_FALSE(appendMethodCall(wire, 1, "/a", "i.f", "M", parsed(text).get()));
    EXPECT_EQ(wire, std::vector<char>{'x'});
  }
  std::vector<char> wire;
  EXPECT_FALSE(appendMethodCall(wire, 1, "/a/", "i.f", "M", nullptr));  // an application's malformed path
  EXPECT_FALSE(appendMethodCall(wire, 1, "/a", "i", "M", nullptr));
  EXPECT_FALSE(appendMethodCall(wire, 1, "/a", "i.f", "M.x", nullptr));
  EXPECT_FALSE(appendMethodCall(wire, 0, "/a", "i.f", "M", nullptr));
  EXPECT_TRUE(wire.empty());
}

}  // namespace
}  // namespace larkspire::linux_backend::atspi
