#include "platform/linux/dbus/call_wire.h"

#include <cstring>
#include <limits>
#include <string_view>

namespace larkspire::linux_backend::atspi {
namespace {

// The message as it grows; alignment counts from its first byte.
class Writer {
 public:
  explicit Writer(std::vector<char>& out) : out_(out), start_(out.size()) {}

  std::size_t size() const { return out_.size() - start_; }
  void align(std::size_t to) {
    while (size() % to != 0) out_.push_back(0);
  }
  void byte(std::uint8_t value) { out_.push_back(static_cast<char>(value)); }
  void uint32(std::uint32_t value) {
    align(4);
    for (int shift = 0; shift < 32; shift += 8) byte(static_cast<std::uint8_t>(value >> shift));
  }
  void uint32At(std::size_t at, std::uint32_t value) {
    for (int k = 0; k < 4; ++k) out_[start_ + at + k] = static_cast<char>(value >> (8 * k));
  }
  void uint64(std::uint64_t value) {
    align(8);
    for (int shift = 0; shift < 64; shift += 8) byte(static_cast<std::uint8_t>(value >> shift));
  }
  // A string or object path: its length, its bytes, a NUL.
  void string(std::string_view text) {
    uint32(static_cast<std::uint32_t>(text.size()));
    out_.insert(out_.end(), text.begin(), text.end());
    byte(0);
  }
  // A signature: a one-byte length.
  void signature(std::string_view text) {
    byte(static_cast<std::uint8_t>(text.size()));
    out_.insert(out_.end(), text.begin(), text.end());
    byte(0);
  }
  // One header field: its code, then a variant of one basic value.
  void field(std::uint8_t code, char type, std::string_view text) {
    align(8);
    byte(code);
    signature(std::string_view(&type, 1));
    if (type == 'g') {
      signature(text);
    } else {
      string(text);
    }
  }
  void dropFrom(std::size_t at) { out_.resize(start_ + at); }

 private:
  std::vector<char>& out_;
  std::size_t start_;
};

// D-Bus's largest message, 128 MiB.
constexpr std::size_t kLargestMessage = 128u * 1024 * 1024;

bool validName(const char* name, bool member) {
  if (!name) return false;
  return member ? g_dbus_is_member_name(name) : g_dbus_is_interface_name(name);
}

// Appends one argument; false for a kind this writer leaves to GIO.
bool appendValue(Writer& body, GVariant* value) {
  switch (g_variant_classify(value)) {
    case G_VARIANT_CLASS_STRING:
    case G_VARIANT_CLASS_OBJECT_PATH: {
      gsize length = 0;
      const char* text = g_variant_get_string(value, &length);
      // GVariant keeps strings valid UTF-8 without NULs, and paths valid.
      body.string(std::string_view(text, length));
      return true;
    }
    case G_VARIANT_CLASS_UINT32:
      body.uint32(g_variant_get_uint32(value));
      return true;
    case G_VARIANT_CLASS_INT32:
      body.uint32(static_cast<std::uint32_t>(g_variant_get_int32(value)));
      return true;
    case G_VARIANT_CLASS_BOOLEAN:
      body.uint32(g_variant_get_boolean(value) ? 1 : 0);
      return true;
    case G_VARIANT_CLASS_INT64:
      body.uint64(static_cast<std::uint64_t>(g_variant_get_int64(value)));
      return true;
    case G_VARIANT_CLASS_UINT64:
      body.uint64(g_variant_get_uint64(value));
      return true;
    default:
      return false;
  }
}

}  // namespace

bool appendMethodCall(std::vector<char>& wire, std::uint32_t serial, const std::string& path, const char* interface,
                      const char* method, GVariant* arguments) {
  if (serial == 0 || !g_variant_is_object_path(path.c_str()) || !validName(interface, false) ||
      !validName(method, true)) {
    return false;
  }
  std::string_view signature;
  if (arguments) {
    if (!g_variant_is_of_type(arguments, G_VARIANT_TYPE_TUPLE)) return false;
    std::string_view tuple = g_variant_get_type_string(arguments);
    signature = tuple.substr(1, tuple.size() - 2);
  }
  Writer message(wire);
  message.byte('l');  // little-endian
  message.byte(G_DBUS_MESSAGE_TYPE_METHOD_CALL);
  message.byte(0);    // flags: a reply is wanted, services may start
  message.byte(1);    // protocol version
  message.uint32(0);  // body length, filled in below
  message.uint32(serial);
  message.uint32(0);  // header fields' length, filled in below
  const std::size_t fieldsStart = message.size();
  message.field(G_DBUS_MESSAGE_HEADER_FIELD_PATH, 'o', path);
  message.field(G_DBUS_MESSAGE_HEADER_FIELD_INTERFACE, 's', interface);
  message.field(G_DBUS_MESSAGE_HEADER_FIELD_MEMBER, 's', method);
  if (!signature.empty()) message.field(G_DBUS_MESSAGE_HEADER_FIELD_SIGNATURE, 'g', signature);
  message.uint32At(fieldsStart - 4, static_cast<std::uint32_t>(message.size() - fieldsStart));
  message.align(8);
  const std::size_t bodyStart = message.size();
  const std::size_t count = arguments ? g_variant_n_children(arguments) : 0;
  for (std::size_t i = 0; i < count; ++i) {
    GVariant* value = g_variant_get_child_value(arguments, i);
    const bool written = appendValue(message, value);
    g_variant_unref(value);
    if (!written) {
      message.dropFrom(0);
      return false;
    }
  }
  const std::size_t bodyLength = message.size() - bodyStart;
  if (bodyLength > kLargestMessage / 2) {
    message.dropFrom(0);
    return false;
  }
  message.uint32At(4, static_cast<std::uint32_t>(bodyLength));
  return true;
}

}  // namespace larkspire::linux_backend::atspi
