// The events' port on a real X server (XTest, the core keyboard map, pings).
#pragma once

#include <functional>

#include "platform/linux/x11/events.h"
#include "platform/run_loop.h"

namespace larkspire::linux_backend {

// The port of the display `display` answers, made on first use once that
// display is there and has XTest; null until then. Its waits for the
// focused application are measured on `clock`.
std::function<InputPort*()> xtestPortSource(std::function<Display*()> display, platform::Clock& clock);

}  // namespace larkspire::linux_backend
