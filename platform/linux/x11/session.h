// The session service for callers that bring their own bus (the probes);
// the programs use makeSession of linux_platform.h, which takes the display
// and the bus from the LinuxContext.
#pragma once

#include <functional>
#include <memory>

#include "platform/session.h"

typedef struct _GDBusConnection GDBusConnection;

namespace larkspire::linux_backend {

// Screen lock from the freedesktop screen saver, else GNOME's.
std::unique_ptr<platform::Session> makeScreenSaverSession(std::function<GDBusConnection*()> sessionBus);

}  // namespace larkspire::linux_backend
