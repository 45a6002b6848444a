// The workspace on a Linux desktop, for callers that bring their own
// connections (the tests); the programs use makeWorkspace of
// linux_platform.h, which takes them from the LinuxContext.
#pragma once

#include <functional>
#include <memory>

#include "platform/linux/atspi/bus_port.h"
#include "platform/linux/xdg/desktop_entry.h"
#include "platform/run_loop.h"
#include "platform/workspace.h"

typedef struct _XDisplay Display;

namespace larkspire::linux_backend {

// `display` and `accessibilityBus` are asked on every use (null: none);
// every wait (an open, an activation) is measured on `clock`; the desktop
// entries are looked for in the folders `getenv` names.
std::unique_ptr<platform::Workspace> makeXdgWorkspace(std::function<Display*()> display,
                                                      std::function<atspi::BusPort*()> accessibilityBus,
                                                      platform::Clock& clock, xdg::Getenv getenv);

}  // namespace larkspire::linux_backend
