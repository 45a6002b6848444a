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

GVariant* read(DBusMessageIter* iter);

// The values of a container's members, in order; false when one cannot be read.
bool readMembers(DBusMessageIter* iter, std::vector<GVariant*>& out) {
  DBusMessageIter sub;
  dbus_message_iter_recurse(iter, &sub);
  for (int type = dbus_message_iter_get_arg_type(&sub); type != DBUS_TYPE_INVALID;
       dbus_message_iter_next(&sub), type = dbus_message_iter_get_arg_type(&sub)) {
    GVariant* v = read(&sub);
    if (!v) return false;
    out.push_back(v);
  }
  return true;
}

// An array, struct or dict entry, floating; null when a member cannot be
// read (the members read are freed).
GVariant* readContainer(DBusMessageIter* iter, int type) {
  std::vector<GVariant*> members;
  auto drop = [&] {
    for (GVariant* m : members) g_variant_unref(g_variant_ref_sink(m));
    return nullptr;
  };
  if (!readMembers(iter, members)) return drop();
  if (type == DBUS_TYPE_STRUCT) return g_variant_new_tuple(members.data(), members.size());
  if (type == DBUS_TYPE_DICT_ENTRY)
    return members.size() == 2 ? g_variant_new_dict_entry(members[0], members[1]) : drop();
  char* signature = dbus_message_iter_get_signature(iter);  // the array's, "a..."
  GVariant* array = g_variant_new_array(G_VARIANT_TYPE(signature + 1), members.data(), members.size());
  dbus_free(signature);
  return array;
}

// A floating value, or null.
GVariant* read(DBusMessageIter* iter) {
  const int type = dbus_message_iter_get_arg_type(iter);
  switch (type) {
    case DBUS_TYPE_BOOLEAN: {
      dbus_bool_t v = FALSE;
      dbus_message_iter_get_basic(iter, &v);
      return g_variant_new_boolean(v != 0);
    }
#define LARKSPIRE_FIXED(code, ctype, make) \
  case code: {                             \
    ctype v{};                             \
    dbus_message_iter_get_basic(iter, &v); \
    return make(v);                        \
  }
      LARKSPIRE_FIXED(DBUS_TYPE_BYTE, unsigned char, g_variant_new_byte)
      LARKSPIRE_FIXED(DBUS_TYPE_INT16, dbus_int16_t, g_variant_new_int16)
      LARKSPIRE_FIXED(DBUS_TYPE_UINT16, dbus_uint16_t, g_variant_new_uint16)
      LARKSPIRE_FIXED(DBUS_TYPE_INT32, dbus_int32_t, g_variant_new_int32)
      LARKSPIRE_FIXED(DBUS_TYPE_UINT32, dbus_uint32_t, g_variant_new_uint32)
      LARKSPIRE_FIXED(DBUS_TYPE_INT64, dbus_int64_t, g_variant_new_int64)
      LARKSPIRE_FIXED(DBUS_TYPE_UINT64, dbus_uint64_t, g_variant_new_uint64)
      LARKSPIRE_FIXED(DBUS_TYPE_DOUBLE, double, g_variant_new_double)
#undef LARKSPIRE_FIXED
    case DBUS_TYPE_STRING:
    case DBUS_TYPE_OBJECT_PATH:
    case DBUS_TYPE_SIGNATURE: {
      const char* v = nullptr;
      dbus_message_iter_get_basic(iter, &v);
      // libdbus validated the message: the text is what its type says.
      if (type == DBUS_TYPE_STRING) return g_variant_new_string(v);
      if (type == DBUS_TYPE_OBJECT_PATH) return g_variant_new_object_path(v);
      return g_variant_new_signature(v);
    }
    case DBUS_TYPE_VARIANT: {
      DBusMessageIter sub;
      dbus_message_iter_recurse(iter, &sub);
      GVariant* inner = read(&sub);
      return inner ? g_variant_new_variant(inner) : nullptr;
    }
    case DBUS_TYPE_ARRAY:
    case DBUS_TYPE_STRUCT:
    case DBUS_TYPE_DICT_ENTRY:
      return readContainer(iter, type);
    default:
      return nullptr;  // file descriptors, or nothing
  }
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

Variant argumentsOf(DBusMessage* message) {
  std::vector<GVariant*> members;
  DBusMessageIter iter;
  if (dbus_message_iter_init(message, &iter)) {
    for (int type = dbus_message_iter_get_arg_type(&iter); type != DBUS_TYPE_INVALID;
         dbus_message_iter_next(&iter), type = dbus_message_iter_get_arg_type(&iter)) {
      GVariant* v = read(&iter);
      if (!v) {
        for (GVariant* m : members) g_variant_unref(g_variant_ref_sink(m));
        return nullptr;
      }
      members.push_back(v);
    }
  }
  return Variant(g_variant_ref_sink(g_variant_new_tuple(members.data(), members.size())));
}

}  // namespace larkspire::linux_backend::atspi
