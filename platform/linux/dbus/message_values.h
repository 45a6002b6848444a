// The arguments of D-Bus calls from GVariants, the values the accessibility
// code builds calls from, into libdbus's messages (for the calls that are
// not written directly).
#pragma once

#include <dbus/dbus.h>
#include <gio/gio.h>

#include "platform/linux/handles.h"

namespace larkspire::linux_backend::atspi {

// Appends the members of `arguments`, a tuple, to a message; false when a
// value has a type D-Bus cannot carry (then the message is not to be sent).
bool appendArguments(DBusMessage* message, GVariant* arguments);

}  // namespace larkspire::linux_backend::atspi
