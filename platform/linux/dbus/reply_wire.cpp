#include "platform/linux/dbus/reply_wire.h"

#include <bit>
#include <cstring>
#include <string_view>
#include <vector>

namespace larkspire::linux_backend::atspi {
namespace {

// D-Bus's limits: arrays of at most 64 MiB; at most 32 arrays and 32
// structs within each other in a signature, 64 containers of any kind
// (variants included) within each other in a message.
constexpr std::uint32_t kLargestArray = 64u * 1024 * 1024;
constexpr int kDeepestSignature = 32;
constexpr int kDeepestValue = 64;

bool basicType(char c) { return std::string_view("ybnqiuxtdsogh").find(c) != std::string_view::npos; }

// Past one complete type at `s` (before `end`), or null when there is
// none: unknown letters, empty structs, dict entries outside arrays or with
// keys that are not basic, nesting beyond D-Bus's limits.
const char* completeType(const char* s, const char* end, int arrays, int structs) {
  if (s == end) return nullptr;
  if (basicType(*s) || *s == 'v') return s + 1;
  if (*s == 'a') {
    if (++arrays > kDeepestSignature) return nullptr;
    if (s + 1 != end && s[1] == '{') {
      if (++structs > kDeepestSignature) return nullptr;
      const char* p = s + 2;
      if (p == end || !basicType(*p)) return nullptr;
      p = completeType(p + 1, end, arrays, structs);
      if (!p || p == end || *p != '}') return nullptr;
      return p + 1;
    }
    return completeType(s + 1, end, arrays, structs);
  }
  if (*s == '(') {
    if (++structs > kDeepestSignature) return nullptr;
    const char* p = s + 1;
    if (p != end && *p == ')') return nullptr;
    while (p && p != end && *p != ')') p = completeType(p, end, arrays, structs);
    if (!p || p == end) return nullptr;
    return p + 1;
  }
  return nullptr;
}

bool validSignature(std::string_view signature) {
  const char* p = signature.data();
  const char* end = p + signature.size();
  while (p && p != end) p = completeType(p, end, 0, 0);
  return p == end;
}

// Where a value of the type starting at `type` is aligned.
std::size_t alignmentOf(char type) {
  switch (type) {
    case 'y':
    case 'g':
    case 'v':
      return 1;
    case 'n':
    case 'q':
      return 2;
    case 'x':
    case 't':
    case 'd':
    case '(':
    case '{':
      return 8;
    default:
      return 4;  // b, i, u, h, s, o, a
  }
}

// The size of the fixed-size types whose D-Bus bytes are their GVariant
// bytes in the machine's order (booleans are 4 bytes on the wire, 1 in a
// GVariant).
std::size_t sameBytesSize(char type) {
  switch (type) {
    case 'y':
      return 1;
    case 'n':
    case 'q':
      return 2;
    case 'i':
    case 'u':
      return 4;
    case 'x':
    case 't':
    case 'd':
      return 8;
    default:
      return 0;
  }
}

void dropAll(std::vector<GVariant*>& values) {
  for (GVariant* v : values) g_variant_unref(g_variant_ref_sink(v));
  values.clear();
}

// Reads the values of one message; alignment counts from its first byte.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size, bool bigEndian)
      : data_(data),
        size_(size),
        bigEndian_(bigEndian),
        nativeOrder_(bigEndian == (std::endian::native == std::endian::big)) {}

  std::size_t pos = 0;
  bool withHandles = false;  // file descriptors were referred to

  // Padding up to a multiple of `to`, which must be zeros.
  bool align(std::size_t to) {
    const std::size_t next = (pos + to - 1) & ~(to - 1);
    if (next > size_) return false;
    for (; pos < next; ++pos)
      if (data_[pos] != 0) return false;
    return true;
  }
  bool byte(std::uint8_t& out) {
    if (pos >= size_) return false;
    out = data_[pos++];
    return true;
  }
  // An unsigned number of `bytes` bytes, aligned to its size, in the
  // message's byte order.
  bool number(std::size_t bytes, std::uint64_t& out) {
    if (!align(bytes) || size_ - pos < bytes) return false;
    std::uint64_t v = 0;
    for (std::size_t k = 0; k < bytes; ++k) v = (v << 8) | data_[bigEndian_ ? pos + k : pos + bytes - 1 - k];
    pos += bytes;
    out = v;
    return true;
  }
  bool uint32(std::uint32_t& out) {
    std::uint64_t v = 0;
    if (!number(4, v)) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
  }
  // A string or object path: its length, its bytes (no NUL among them), a
  // NUL.
  bool text(std::string_view& out) {
    std::uint32_t length = 0;
    if (!uint32(length) || length >= size_ - pos) return false;
    const char* start = reinterpret_cast<const char*>(data_ + pos);
    if (data_[pos + length] != 0 || std::memchr(start, 0, length)) return false;
    out = std::string_view(start, length);
    pos += length + 1;
    return true;
  }
  // A signature: a one-byte length, its letters, a NUL.
  bool signature(std::string_view& out) {
    std::uint8_t length = 0;
    if (!byte(length) || length >= size_ - pos) return false;
    const char* start = reinterpret_cast<const char*>(data_ + pos);
    if (data_[pos + length] != 0) return false;
    out = std::string_view(start, length);
    pos += length + 1;
    return validSignature(out);
  }

  // One value of the complete type at `type`, from a signature already
  // checked; a floating GVariant in `out` when it is given, else only
  // checked. False when the bytes break the rules.
  bool value(const char* type, GVariant** out, int depth);

 private:
  bool array(const char* element, GVariant** out, int depth);
  bool members(const char* type, GVariant** out, int depth);

  const std::uint8_t* data_;
  std::size_t size_;
  bool bigEndian_;
  bool nativeOrder_;
};

bool Reader::value(const char* type, GVariant** out, int depth) {
  std::uint64_t n = 0;
  switch (*type) {
    case 'y': {
      std::uint8_t v = 0;
      if (!byte(v)) return false;
      if (out) *out = g_variant_new_byte(v);
      return true;
    }
    case 'b':
      if (!number(4, n) || n > 1) return false;
      if (out) *out = g_variant_new_boolean(n != 0);
      return true;
    case 'n':
    case 'q':
      if (!number(2, n)) return false;
      if (out)
        *out =
            *type == 'n' ? g_variant_new_int16(static_cast<gint16>(n)) : g_variant_new_uint16(static_cast<guint16>(n));
      return true;
    case 'i':
    case 'u':
      if (!number(4, n)) return false;
      if (out)
        *out =
            *type == 'i' ? g_variant_new_int32(static_cast<gint32>(n)) : g_variant_new_uint32(static_cast<guint32>(n));
      return true;
    case 'x':
    case 't':
    case 'd':
      if (!number(8, n)) return false;
      if (out) {
        if (*type == 'x') *out = g_variant_new_int64(static_cast<gint64>(n));
        if (*type == 't') *out = g_variant_new_uint64(n);
        if (*type == 'd') *out = g_variant_new_double(std::bit_cast<double>(n));
      }
      return true;
    case 's':
    case 'o': {
      std::string_view v;
      if (!text(v)) return false;
      if (*type == 's' && !g_utf8_validate(v.data(), static_cast<gssize>(v.size()), nullptr)) return false;
      if (*type == 'o' && !g_variant_is_object_path(v.data())) return false;
      if (out) *out = *type == 's' ? g_variant_new_string(v.data()) : g_variant_new_object_path(v.data());
      return true;
    }
    case 'g': {
      std::string_view v;
      if (!signature(v)) return false;
      if (out) *out = g_variant_new_signature(v.data());
      return true;
    }
    case 'v': {
      std::string_view inner;
      if (depth >= kDeepestValue || !signature(inner) || inner.empty() ||
          completeType(inner.data(), inner.data() + inner.size(), 0, 0) != inner.data() + inner.size())
        return false;
      GVariant* v = nullptr;
      if (!value(inner.data(), out ? &v : nullptr, depth + 1)) return false;
      if (out) *out = g_variant_new_variant(v);
      return true;
    }
    case 'a':
      return depth < kDeepestValue && array(type + 1, out, depth + 1);
    case '(':
    case '{':
      return depth < kDeepestValue && align(8) && members(type, out, depth + 1);
    case 'h':
      // An index into file descriptors, which are not taken: the message
      // stands, its arguments cannot be used.
      if (!number(4, n)) return false;
      withHandles = true;
      if (out) *out = g_variant_new_handle(static_cast<gint32>(n));
      return true;
    default:
      return false;
  }
}

bool Reader::array(const char* element, GVariant** out, int depth) {
  std::uint32_t length = 0;
  if (!uint32(length) || length > kLargestArray || !align(alignmentOf(*element)) || length > size_ - pos) return false;
  const std::size_t end = pos + length;
  // Numbers in the machine's order are copied as they are.
  const std::size_t same = nativeOrder_ ? sameBytesSize(*element) : 0;
  if (same != 0) {
    if (length % same != 0) return false;
    if (out) {
      *out =
          g_variant_new_fixed_array(reinterpret_cast<const GVariantType*>(element), data_ + pos, length / same, same);
    }
    pos = end;
    return true;
  }
  std::vector<GVariant*> items;
  while (pos < end) {
    GVariant* item = nullptr;
    if (!value(element, out ? &item : nullptr, depth)) {
      dropAll(items);
      return false;
    }
    if (item) items.push_back(item);
  }
  if (pos != end) {
    dropAll(items);
    return false;
  }
  if (out) *out = g_variant_new_array(reinterpret_cast<const GVariantType*>(element), items.data(), items.size());
  return true;
}

bool Reader::members(const char* type, GVariant** out, int depth) {
  const char close = *type == '(' ? ')' : '}';
  std::vector<GVariant*> items;
  for (const char* member = type + 1; *member != close;) {
    GVariant* item = nullptr;
    if (!value(member, out ? &item : nullptr, depth)) {
      dropAll(items);
      return false;
    }
    if (item) items.push_back(item);
    member = completeType(member, member + std::strlen(member), 0, 0);
  }
  if (!out) return true;
  if (close == '}') {
    *out = g_variant_new_dict_entry(items[0], items[1]);
  } else {
    *out = g_variant_new_tuple(items.data(), items.size());
  }
  return true;
}

// Header fields, by their codes.
enum Field : std::uint8_t {
  kPath = 1,
  kInterface = 2,
  kMember = 3,
  kErrorName = 4,
  kReplySerial = 5,
  kDestination = 6,
  kSender = 7,
  kSignature = 8,
  kUnixFds = 9
};

// The type a known header field must have; none for codes D-Bus may add.
char fieldType(std::uint8_t code) {
  switch (code) {
    case kPath:
      return 'o';
    case kInterface:
    case kMember:
    case kErrorName:
    case kDestination:
    case kSender:
      return 's';
    case kReplySerial:
    case kUnixFds:
      return 'u';
    case kSignature:
      return 'g';
    default:
      return 0;
  }
}

}  // namespace

std::size_t wireMessageLength(const char* bytes, std::size_t largest) {
  const auto* b = reinterpret_cast<const std::uint8_t*>(bytes);
  if (b[0] != 'l' && b[0] != 'B') return 0;
  Reader header(b, 16, b[0] == 'B');
  std::uint32_t body = 0;
  std::uint32_t fields = 0;
  header.pos = 4;
  if (!header.uint32(body)) return 0;
  header.pos = 12;
  if (!header.uint32(fields)) return 0;
  const std::uint64_t total = ((16ull + fields + 7) & ~7ull) + body;
  return total > largest ? 0 : static_cast<std::size_t>(total);
}

std::optional<WireMessage> readWireMessage(const char* bytes, std::size_t length) {
  if (length < 16 || wireMessageLength(bytes, length) != length) return std::nullopt;
  const auto* b = reinterpret_cast<const std::uint8_t*>(bytes);
  if (b[1] == 0 || b[3] != 1) return std::nullopt;  // type 0 is invalid; protocol version 1
  WireMessage message;
  message.type = b[1];
  Reader reader(b, length, b[0] == 'B');
  std::uint32_t bodyLength = 0;
  std::uint32_t serial = 0;
  std::uint32_t fieldsLength = 0;
  reader.pos = 4;
  if (!reader.uint32(bodyLength) || !reader.uint32(serial) || serial == 0 || !reader.uint32(fieldsLength))
    return std::nullopt;

  // Header fields: an array of (code, variant) structs.
  const std::size_t fieldsEnd = 16 + static_cast<std::size_t>(fieldsLength);
  bool seen[10] = {};
  while (reader.pos < fieldsEnd) {
    std::uint8_t code = 0;
    std::string_view type;
    if (!reader.align(8) || !reader.byte(code) || code == 0 || !reader.signature(type) || type.size() != 1 ||
        completeType(type.data(), type.data() + 1, 0, 0) == nullptr)
      return std::nullopt;
    const char expected = fieldType(code);
    if (expected != 0) {
      if (type[0] != expected || seen[code]) return std::nullopt;
      seen[code] = true;
    }
    std::uint32_t number = 0;
    std::string_view text;
    switch (expected ? code : 0) {
      case kReplySerial:
      case kUnixFds:
        if (!reader.uint32(number)) return std::nullopt;
        if (code == kReplySerial) {
          if (number == 0) return std::nullopt;
          message.replySerial = number;
        }
        if (code == kUnixFds && number != 0) reader.withHandles = true;
        break;
      case kErrorName:
        if (!reader.text(text)) return std::nullopt;
        message.errorName = text;
        break;
      case kSignature:
        if (!reader.signature(text)) return std::nullopt;
        message.signature = text;
        break;
      default:
        // Fields of no use here are checked and passed over.
        if (!reader.value(type.data(), nullptr, 1)) return std::nullopt;
    }
  }
  if (reader.pos != fieldsEnd || !reader.align(8) || length - reader.pos != bodyLength) return std::nullopt;
  // What each type of message must carry.
  switch (message.type) {
    case kCallMessage:
      if (!seen[kPath] || !seen[kMember]) return std::nullopt;
      break;
    case kReturnMessage:
      if (!seen[kReplySerial]) return std::nullopt;
      break;
    case kErrorMessage:
      if (!seen[kReplySerial] || !seen[kErrorName]) return std::nullopt;
      break;
    case kSignalMessage:
      if (!seen[kPath] || !seen[kInterface] || !seen[kMember]) return std::nullopt;
      break;
    default:
      break;
  }

  std::vector<GVariant*> arguments;
  const char* type = message.signature.c_str();
  while (*type) {
    GVariant* argument = nullptr;
    if (!reader.value(type, &argument, 0)) {
      dropAll(arguments);
      return std::nullopt;
    }
    arguments.push_back(argument);
    type = completeType(type, message.signature.c_str() + message.signature.size(), 0, 0);
  }
  if (reader.pos != length) {
    dropAll(arguments);
    return std::nullopt;
  }
  Variant all(g_variant_ref_sink(g_variant_new_tuple(arguments.data(), arguments.size())));
  if (!reader.withHandles) message.arguments = std::move(all);
  return message;
}

}  // namespace larkspire::linux_backend::atspi
