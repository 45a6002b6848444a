// Owning handles for what the backend gets from libdbus, which carries the
// calls of an application's private accessibility connection.
#pragma once

#include <dbus/dbus.h>

#include <memory>

#include "platform/linux/handles.h"

namespace larkspire::linux_backend {

namespace detail {
// A private connection is closed before its last reference goes.
inline void closeConnection(DBusConnection* connection) {
  dbus_connection_close(connection);
  dbus_connection_unref(connection);
}
}  // namespace detail

using DBusMessageHandle = std::unique_ptr<DBusMessage, Release<dbus_message_unref>>;
using PrivateDBusConnection = std::unique_ptr<DBusConnection, Release<detail::closeConnection>>;

// Where a libdbus call reports its error; freed with the slot.
class DBusErrorSlot {
 public:
  DBusErrorSlot() { dbus_error_init(&error_); }
  ~DBusErrorSlot() { dbus_error_free(&error_); }
  DBusErrorSlot(const DBusErrorSlot&) = delete;
  DBusErrorSlot& operator=(const DBusErrorSlot&) = delete;
  DBusError* out() { return &error_; }
  explicit operator bool() const { return dbus_error_is_set(&error_) != 0; }

 private:
  DBusError error_;
};

}  // namespace larkspire::linux_backend
