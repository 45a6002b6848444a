// Owning handles for libdbus's messages: the tests and the
// fuzzer read and write D-Bus bytes with libdbus, the yardstick of what
// the backend writes and reads itself.
#pragma once

#include <dbus/dbus.h>

#include <memory>

#include "platform/linux/handles.h"

namespace larkspire::linux_backend {

using DBusMessageHandle = std::unique_ptr<DBusMessage, Release<dbus_message_unref>>;

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
