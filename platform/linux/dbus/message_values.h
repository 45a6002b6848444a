// The arguments of D-Bus messages as GVariants, the values the accessibility
// code builds calls from and reads replies with, over libdbus's messages.
#pragma once

#include <dbus/dbus.h>
#include <gio/gio.h>

#include "platform/linux/handles.h"

namespace larkspire::linux_backend::atspi {

// Appends the members of `arguments`, a tuple, to a message; false when a
// value has a type D-Bus cannot carry (then the message is not to be sent).
bool appendArguments(DBusMessage* message, GVariant* arguments);
// The arguments of a message as one tuple; null when one cannot be read.
Variant argumentsOf(DBusMessage* message);

}  // namespace larkspire::linux_backend::atspi
