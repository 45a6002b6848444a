// Global mouse and keyboard monitors on X: XInput2 raw events selected on
// the root window, which the server sends for every button and key of
// every application.
#pragma once

#include <memory>
#include <string>

#include "platform/monitors.h"

namespace larkspire::linux_backend {

class LinuxRunLoop;

// Monitors on a display of the caller's own (the probes use this); the
// backend's makeMonitors follows the context's display and run loop.
std::unique_ptr<platform::Monitors> makeMonitors(const std::string& displayName, LinuxRunLoop& loop);

}  // namespace larkspire::linux_backend
