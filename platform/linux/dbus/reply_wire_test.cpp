// Reading messages from their bytes: what GIO writes, and messages written
// by hand (the other byte order, bytes that break the rules).
#include "platform/linux/dbus/reply_wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace larkspire::linux_backend::atspi {
namespace {

// A message written by hand, in either byte order; alignment counts from
// its first byte.
class Message {
 public:
  explicit Message(bool bigEndian = false, std::uint8_t type = 2) : big_(bigEndian) {
    bytes_ = {bigEndian ? 'B' : 'l', static_cast<char>(type), 0, 1};
    u32(0);  // body length, set by bytes()
    u32(1);  // serial
    u32(0);  // header fields' length, set by endFields()
  }

  Message& pad(std::size_t to) {
    while (bytes_.size() % to != 0) bytes_.push_back(0);
    return *this;
  }
  Message& u8(std::uint8_t v) {
    bytes_.push_back(static_cast<char>(v));
    return *this;
  }
  Message& u32(std::uint32_t v) {
    pad(4);
    for (int k = 0; k < 4; ++k) u8(static_cast<std::uint8_t>(v >> (big_ ? 24 - 8 * k : 8 * k)));
    return *this;
  }
  Message& sig(const std::string& s) {
    u8(static_cast<std::uint8_t>(s.size()));
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    return u8(0);
  }
  Message& str(const std::string& s) {
    u32(static_cast<std::uint32_t>(s.size()));
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    return u8(0);
  }
  // A header field holding one number or a signature.
  Message& field(std::uint8_t code, std::uint32_t number) {
    pad(8).u8(code).sig("u");
    return u32(number);
  }
  Message& signatureField(const std::string& s) {
    pad(8).u8(8).sig("g");
    return sig(s);
  }
  // Ends the header fields and starts the body.
  Message& endFields() {
    setU32(12, static_cast<std::uint32_t>(bytes_.size() - 16));
    pad(8);
    bodyStart_ = bytes_.size();
    return *this;
  }
  // A reply to call 7 with arguments of `signature`.
  static Message reply(const std::string& signature, bool bigEndian = false) {
    Message m(bigEndian);
    m.field(5, 7);
    if (!signature.empty()) m.signatureField(signature);
    return m.endFields();
  }

  std::vector<char> bytes() {
    setU32(4, static_cast<std::uint32_t>(bytes_.size() - bodyStart_));
    return bytes_;
  }

 private:
  void setU32(std::size_t at, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) bytes_[at + k] = static_cast<char>(v >> (big_ ? 24 - 8 * k : 8 * k));
  }

  bool big_;
  std::vector<char> bytes_;
  std::size_t bodyStart_ = 0;
};

std::optional<WireMessage> read(std::vector<char> bytes) {
  EXPECT_EQ(wireMessageLength(bytes.data(), 1 << 20), bytes.size());
  return readWireMessage(bytes.data(), bytes.size());
}

std::string printed(const WireMessage& m) {
  GlibString text(g_variant_print(m.arguments.get(), TRUE));
  return text.get();
}

TEST(ReplyWire, ArgumentsArriveAsGioWroteThem) {
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
           "(true, byte 7, int16 -2, uint16 9, int64 -3, uint64 10, signature 'a(so)', @ay [1, 2, 3])",
           "({'a': <int32 1>, 'b': <@as []>}, @a{sv} {})",
           "()",
       }) {
    Variant sent(g_variant_ref_sink(g_variant_new_parsed(text)));
    Object<GDBusMessage> message(g_dbus_message_new_method_call(nullptr, "/o", "i.f", "M"));
    g_dbus_message_set_body(message.get(), sent.get());
    g_dbus_message_set_serial(message.get(), 1);
    gsize length = 0;
    guchar* bytes = g_dbus_message_to_blob(message.get(), &length, G_DBUS_CAPABILITY_FLAGS_NONE, nullptr);
    ASSERT_TRUE(bytes) << text;
    auto received = readWireMessage(reinterpret_cast<const char*>(bytes), length);
    g_free(bytes);
    ASSERT_TRUE(received) << text;
    EXPECT_EQ(received->type, kCallMessage);
    ASSERT_TRUE(received->arguments) << text;
    EXPECT_TRUE(g_variant_equal(sent.get(), received->arguments.get()))
        << text << " came back as " << printed(*received);
  }
}

TEST(ReplyWire, BigEndianMessagesAreReadToo) {
  auto m = read(Message::reply("uaun", true).u32(42).u32(8).u32(1).u32(0xffffffffu).u8(0xff).u8(0xfe).bytes());
  ASSERT_TRUE(m);
  EXPECT_EQ(m->replySerial, 7u);
  EXPECT_EQ(m->signature, "uaun");
  EXPECT_EQ(printed(*m), "(uint32 42, [uint32 1, 4294967295], int16 -2)");
}

TEST(ReplyWire, BytesThatBreakTheRulesAreRefused) {
  auto deepVariants = [](int depth) {
    Message m = Message::reply("v");
    for (int k = 0; k < depth; ++k) m.sig("v");
    return m.sig("y").u8(1).bytes();
  };
  ASSERT_TRUE(read(deepVariants(20)));
  ASSERT_TRUE(read(Message::reply("su").str("a").u32(1).bytes()));

  struct Case {
    const char* what;
    std::vector<char> bytes;
  };
  std::vector<char> nonZeroPadding = Message::reply("yu").u8(1).u32(2).bytes();
  nonZeroPadding[nonZeroPadding.size() - 6] = 1;
  std::vector<char> missingNul = Message::reply("s").str("abc").bytes();
  missingNul.back() = 'd';
  Case cases[] = {
      {"a boolean other than 0 or 1", Message::reply("b").u32(2).bytes()},
      {"padding that is not zeros", nonZeroPadding},
      {"a string without its NUL", missingNul},
      {"a NUL inside a string", Message::reply("s").str(std::string("a\0b", 3)).bytes()},
      {"a NUL inside an object path", Message::reply("o").str(std::string("/a\0b", 4)).bytes()},
      {"a string that is not UTF-8", Message::reply("s").str("\xff").bytes()},
      {"a malformed object path", Message::reply("o").str("/a//b").bytes()},
      {"an array longer than the message", Message::reply("au").u32(400).u32(1).bytes()},
      {"an array whose last element runs past it", Message::reply("as").u32(6).str("abc").bytes()},
      {"arguments shorter than the signature", Message::reply("uu").u32(1).bytes()},
      {"bytes after the arguments", Message::reply("u").u32(1).u32(2).bytes()},
      {"a variant of two types", Message::reply("v").sig("uu").u32(1).u32(2).bytes()},
      {"an unknown type", Message::reply("w").u32(1).bytes()},
      {"an empty struct", Message::reply("()").bytes()},
      {"a dict entry outside an array", Message::reply("{su}").str("a").u32(1).bytes()},
      {"a return that answers nothing", Message(false).endFields().bytes()},
      {"an error without a name", Message(false, 3).field(5, 7).endFields().bytes()},
      {"a header field of the wrong type", Message(false).field(8, 7).endFields().bytes()},
      {"variants nested past 64", deepVariants(100)},
  };
  for (auto& c : cases) EXPECT_FALSE(read(c.bytes)) << c.what;

  // File descriptors are not taken: such a reply stands without arguments,
  // a failed call rather than a broken connection.
  for (auto bytes :
       {Message::reply("v").sig("h").u32(0).bytes(), Message(false).field(5, 7).field(9, 1).endFields().bytes()}) {
    auto m = read(bytes);
    ASSERT_TRUE(m);
    EXPECT_FALSE(m->arguments);
  }

  auto bytes = Message::reply("u").u32(1).bytes();
  EXPECT_FALSE(readWireMessage(bytes.data(), bytes.size() - 1)) << "a message cut short";
  bytes[3] = 2;
  EXPECT_FALSE(readWireMessage(bytes.data(), bytes.size())) << "another protocol version";
  bytes[0] = 'x';
  EXPECT_EQ(wireMessageLength(bytes.data(), 1 << 20), 0u) << "not a D-Bus header";
  bytes = Message::reply("u").u32(1).bytes();
  EXPECT_EQ(wireMessageLength(bytes.data(), bytes.size() - 1), 0u) << "larger than allowed";
}

}  // namespace
}  // namespace larkspire::linux_backend::atspi
