#include "platform/linux/dbus/message_values.h"

#include <string>
#include <vector>

#include "platform/linux/dbus/libdbus_handles.h"

namespace larkspire::linux_backend::atspi {
namespace {

// GVariant and D-Bus write types the same way ("a(so)", "(iiii)"); a tuple
// is a D-Bus struct, and only the message's own arguments are a bare list.
bool append(DBusMessageIter* iter, GVariant* value);

bool appendBasic(DBusMessageIter* iter, GVariant* value, int type) {
  union {
    dbus_bool_t b;
    unsigned char y;
    dbus_int16_t n;
    dbus_uint16_t q;
    dbus_int32_t i;
    dbus_uint32_t u;
    dbus_int64_t x;
    dbus_uint64_t t;
    double d;
    const char* s;
  } v{};
  switch (type) {
    case DBUS_TYPE_BOOLEAN:
      v.b = g_variant_get_boolean(value) ? TRUE : FALSE;
      break;
    case DBUS_TYPE_BYTE:
      v.y = g_variant_get_byte(value);
      break;
    case DBUS_TYPE_INT16:
      v.n = g_variant_get_int16(value);
      break;
    case DBUS_TYPE_UINT16:
      v.q = g_variant_get_uint16(value);
      break;
    case DBUS_TYPE_INT32:
      v.i = g_variant_get_int32(value);
      break;
    case DBUS_TYPE_UINT32:
      v.u = g_variant_get_uint32(value);
      break;
    case DBUS_TYPE_INT64:
      v.x = g_variant_get_int64(value);
      break;
    case DBUS_TYPE_UINT64:
      v.t = g_variant_get_uint64(value);
      break;
    case DBUS_TYPE_DOUBLE:
      v.d = g_variant_get_double(value);
      break;
    case DBUS_TYPE_STRING:
    case DBUS_TYPE_OBJECT_PATH:
    case DBUS_TYPE_SIGNATURE:
      v.s = g_variant_get_string(value, nullptr);
      break;
    default:
      return false;
  }
  return dbus_message_iter_append_basic(iter, type, &v) != 0;
}

// The members of a container, each appended in a sub-iterator of `type`.
bool appendContainer(DBusMessageIter* iter, GVariant* value, int type, const char* contained) {
  DBusMessageIter sub;
  if (!dbus_message_iter_open_container(iter, type, contained, &sub)) return false;
  bool ok = true;
  const gsize n = g_variant_n_children(value);
  for (gsize k = 0; k < n && ok; ++k) {
    Variant child(g_variant_get_child_value(value, k));
    ok = append(&sub, child.get());
  }
  if (!ok) {
    dbus_message_iter_abandon_container(iter, &sub);
    return false;
  }
  return dbus_message_iter_close_container(iter, &sub) != 0;
}

bool append(DBusMessageIter* iter, GVariant* value) {
  const GVariantType* type = g_variant_get_type(value);
  if (g_variant_type_is_basic(type)) {
    if (g_variant_type_equal(type, G_VARIANT_TYPE_HANDLE)) return false;  // no file descriptors
    return appendBasic(iter, value, g_variant_type_peek_string(type)[0]);
  }
  if (g_variant_type_is_variant(type)) {
    Variant inner(g_variant_get_variant(value));
    const std::string signature = g_variant_get_type_string(inner.get());
    DBusMessageIter sub;
    if (!dbus_message_iter_open_container(iter, DBUS_TYPE_VARIANT, signature.c_str(), &sub)) return false;
    if (!append(&sub, inner.get())) {
      dbus_message_iter_abandon_container(iter, &sub);
      return false;
    }
    return dbus_message_iter_close_container(iter, &sub) != 0;
  }
  if (g_variant_type_is_array(type)) {
    const GVariantType* element = g_variant_type_element(type);
    const std::string signature(g_variant_type_peek_string(element), g_variant_type_get_string_length(element));
    return appendContainer(iter, value, DBUS_TYPE_ARRAY, signature.c_str());
  }
  if (g_variant_type_is_dict_entry(type)) return appendContainer(iter, value, DBUS_TYPE_DICT_ENTRY, nullptr);
  // Maybe types have no D-Bus form; an empty tuple has none either.
  if (g_variant_type_is_tuple(type) && g_variant_n_children(value) > 0)
    return appendContainer(iter, value, DBUS_TYPE_STRUCT, nullptr);
  return false;
}

}  // namespace

bool appendArguments(DBusMessage* message, GVariant* arguments) {
  if (!arguments) return true;
  if (!g_variant_is_of_type(arguments, G_VARIANT_TYPE_TUPLE)) return false;
  DBusMessageIter iter;
  dbus_message_iter_init_append(message, &iter);
  const gsize n = g_variant_n_children(arguments);
  for (gsize k = 0; k < n; ++k) {
    Variant child(g_variant_get_child_value(arguments, k));
    if (!append(&iter, child.get())) return false;
  }
  return true;
}

}  // namespace larkspire::linux_backend::atspi
